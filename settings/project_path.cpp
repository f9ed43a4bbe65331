// Finding the project directory and building paths in it.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/file_util.h"
#include "common/str_util.h"
#include "daemon/dir_hier.h"
#include "settings/paramdeck.h"

// A name too long for the test paths is not a project directory.
bool is_project_dir(const char* dir) {
  char path[1024];
  int n = snprintf(path, sizeof path, "%s/%s", dir, CONFIG_FILE);
  if (n < 0 || n >= static_cast<int>(sizeof path)) return false;
  if (!is_file_follow_symlinks(path)) return false;
  n = snprintf(path, sizeof path, "%s/cgi-bin", dir);
  if (n < 0 || n >= static_cast<int>(sizeof path)) return false;
  return is_dir_follow_symlinks(path);
}

const char* PARAMDECK::project_path(const char* fmt, ...) {
  static char path[PROJECT_PATH_LEN];
  if (!project_dir[0]) {
    const char* env = getenv("ORVEX_PROJECT_DIR");
    if (env) {
      if (!is_project_dir(env)) {
        fprintf(stderr,
                "ORVEX_PROJECT_DIR env var exists but is not a project dir\n");
        exit(1);
      }
      strlcpy(project_dir, env, sizeof project_dir);
    } else if (is_project_dir(".")) {
      strlcpy(project_dir, ".", sizeof project_dir);
    } else if (is_project_dir("..")) {
      strlcpy(project_dir, "..", sizeof project_dir);
    } else {
      fprintf(stderr, "Not in a project directory or subdirectory\n");
      exit(1);
    }
  }
  // Built aside and copied at the end, so that an argument that points into
  // the shared buffer (an earlier result) is read before it is overwritten.
  char text[PROJECT_PATH_LEN];
  int n = snprintf(text, sizeof text, "%.255s/", project_dir);
  va_list args;
  va_start(args, fmt);
  vsnprintf(text + n, sizeof text - n, fmt, args);
  va_end(args);
  memcpy(path, text, strlen(text) + 1);
  return path;
}

int PARAMDECK::download_path(const char* name, char* path) {
  return dir_hier_path(name, download_dir, uldl_dir_fanout, path, true);
}

int PARAMDECK::upload_path(const char* name, char* path) {
  return dir_hier_path(name, upload_dir, uldl_dir_fanout, path, true);
}
