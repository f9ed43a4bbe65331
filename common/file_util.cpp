#include "common/file_util.h"

#include <sys/stat.h>

extern "C" {

int orvex_mkdir(const char* path) { return mkdir(path, 0770); }

int orvex_file_exists(const char* path) {
  struct stat sb;
  return stat(path, &sb) == 0;
}

int is_file_follow_symlinks(const char* path) {
  struct stat sb;
  return stat(path, &sb) == 0 && S_ISREG(sb.st_mode);
}

int is_dir_follow_symlinks(const char* path) {
  struct stat sb;
  return stat(path, &sb) == 0 && S_ISDIR(sb.st_mode);
}
}
