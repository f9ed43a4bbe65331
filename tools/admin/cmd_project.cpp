// path and url: where a file lives in the hashed trees; stop and start: the
// trigger files that stop the daemons and the scheduler.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error_numbers.h"
#include "daemon/daemon_control.h"
#include "daemon/dir_hier.h"
#include "settings/paramdeck.h"
#include "tools/admin/admin.h"

namespace admin {

int cmd_path(const CommandLine& cl, bool url) {
  if (cl.positional.size() != 2) {
    return usage_error(cl, "expected download or upload, and a file name");
  }
  const std::string& tree = cl.positional[0];
  const std::string& name = cl.positional[1];
  bool download = tree == "download";
  if (!download && tree != "upload") {
    return usage_error(cl, "unknown tree '%s' (download or upload)",
                       tree.c_str());
  }
  if (name.empty()) return usage_error(cl, "the file name is empty");

  SettingsFiles files = find_settings_files(cl.project);
  if (!load_settings_or_fail(files, true)) return EXIT_FAIL;
  const char* key;
  const char* root;
  if (url) {
    key = download ? "download_url" : "upload_url";
    root = download ? config.download_url : config.upload_url;
  } else {
    key = download ? "download_dir" : "upload_dir";
    root = download ? config.download_dir : config.upload_dir;
  }
  if (!*root) {
    fail("%s is not set in %s", key, files.main_path.c_str());
    return EXIT_FAIL;
  }
  char out[DIR_HIER_PATH_LEN];
  errno = 0;
  int retval;
  if (url) {
    retval = dir_hier_url(name.c_str(), root, config.uldl_dir_fanout, out);
  } else if (cl.has("--create")) {
    retval = download ? config.download_path(name.c_str(), out)
                      : config.upload_path(name.c_str(), out);
  } else {
    retval =
        dir_hier_path(name.c_str(), root, config.uldl_dir_fanout, out, false);
  }
  if (retval) {
    // The library's own line gives mkdir's errno as a number; say why.
    int err = errno;
    fail("cannot place '%s' in the %s tree under %s (%s%s%s)", name.c_str(),
         tree.c_str(), root, orvexerror(retval), err ? ": " : "",
         err ? strerror(err) : "");
    return EXIT_FAIL;
  }
  printf("%s\n", out);
  return EXIT_OK;
}

int cmd_trigger(const CommandLine& cl, bool stop) {
  if (cl.positional.size() != 1) {
    return usage_error(cl, "expected daemons or sched");
  }
  const std::string& what = cl.positional[0];
  bool daemons = what == "daemons";
  if (!daemons && what != "sched") {
    return usage_error(cl, "unknown target '%s' (daemons or sched)",
                       what.c_str());
  }
  // The settings may move the project directory (project_dir); the trigger
  // must be where the daemons look. A broken document must not keep an
  // operator from stopping them, though.
  SettingsFiles files = find_settings_files(cl.project);
  // By the marks the server programs find a project by: no daemon ever
  // looks for a trigger in a directory without them.
  if (!is_project_dir(files.dir.c_str())) {
    fail(
        "%s is not a project directory (it needs the file %s and the "
        "directory cgi-bin); nothing done",
        files.dir.c_str(), CONFIG_FILE);
    return EXIT_FAIL;
  }
  int retval = load_settings(files, true);
  if (retval) {
    fprintf(stderr, "orvex-admin: warning: %s; using %s\n",
            load_failure_reason(files, retval).c_str(), files.dir.c_str());
  }
  settle_project_dir(files);
  std::string path = config.project_path(
      "%s", daemons ? STOP_DAEMONS_FILENAME : STOP_SCHED_FILENAME);
  const char* effect =
      daemons ? "the daemons end at their next check" : "the scheduler stops";
  // As the daemons see it: a dangling symbolic link is a trigger too.
  bool existed = trigger_file_present(path.c_str());
  if (stop) {
    if (!existed) {
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0664);
      if (fd < 0 && errno != EEXIST) {
        fail("cannot create %s: %s", path.c_str(), strerror(errno));
        return EXIT_FAIL;
      }
      existed = fd < 0;  // made meanwhile by someone else
      if (fd >= 0) close(fd);
    }
    if (existed) {
      printf("%s was already there; left as it is (%s)\n", path.c_str(),
             effect);
    } else {
      printf("created %s, which was not there before (%s)\n", path.c_str(),
             effect);
    }
    return EXIT_OK;
  }
  if (!existed) {
    printf("%s was not there; nothing to remove\n", path.c_str());
    return EXIT_OK;
  }
  if (unlink(path.c_str())) {
    fail("cannot remove %s: %s", path.c_str(), strerror(errno));
    return EXIT_FAIL;
  }
  printf("removed %s, which was there before\n", path.c_str());
  return EXIT_OK;
}

}  // namespace admin
