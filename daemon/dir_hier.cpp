#include "daemon/dir_hier.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "common/file_util.h"
#include "common/str_util.h"

namespace {

// The bucket name of `filename` (fanout nonzero) into `bucket` (>= 9
// bytes: at most 7 hex digits). Digits 1..7 of the MD5 text give a 28-bit
// number, never negative, so the remainder is never negative either.
void filename_hash(const char* filename, int fanout, char* bucket,
                   size_t bucket_len) {
  char md5[MD5_HEX_LEN + 1];
  md5_string(reinterpret_cast<const unsigned char*>(filename),
             static_cast<int>(strlen(filename)), md5);
  char digits[8];
  memcpy(digits, md5 + 1, 7);
  digits[7] = 0;
  int n = static_cast<int>(strtol(digits, nullptr, 16));
  snprintf(bucket, bucket_len, "%x", n % fanout);
}

// Formats into out (DIR_HIER_PATH_LEN bytes); false, with out empty, when
// the text does not fit.
template <typename... Args>
bool format_whole(char* out, const char* format, Args... args) {
  int n = snprintf(out, DIR_HIER_PATH_LEN, format, args...);
  if (n < 0 || n >= DIR_HIER_PATH_LEN) {
    out[0] = 0;
    return false;
  }
  return true;
}

// Names longer than any path are refused before they are hashed (the
// digest takes an int length).
bool name_fits(const char* filename) {
  return strnlen(filename, DIR_HIER_PATH_LEN) < DIR_HIER_PATH_LEN;
}

}  // namespace

int dir_hier_path(const char* filename, const char* root, int fanout,
                  char* path, bool create) {
  if (!name_fits(filename)) {
    path[0] = 0;
    return ERR_DIR_CREATE;
  }
  if (fanout == 0) {
    return format_whole(path, "%s/%s", root, filename) ? 0 : ERR_DIR_CREATE;
  }
  char bucket[256];
  filename_hash(filename, fanout, bucket, sizeof bucket);
  char dir[DIR_HIER_PATH_LEN], whole[DIR_HIER_PATH_LEN];
  // Both are checked before anything is made: a too-long name must not
  // leave a bucket behind.
  if (!format_whole(dir, "%s/%s", root, bucket) ||
      !format_whole(whole, "%s/%s", dir, filename)) {
    path[0] = 0;
    return ERR_DIR_CREATE;
  }
  if (create) {
    int retval = orvex_mkdir(dir);
    if (retval && errno != EEXIST) {
      int err = errno;
      fprintf(stderr, "orvex_mkdir(%s): %s: errno %d\n", dir,
              orvexerror(retval), err);
      return ERR_DIR_CREATE;
    }
  }
  memcpy(path, whole, strlen(whole) + 1);
  return 0;
}

int dir_hier_url(const char* filename, const char* root, int fanout,
                 char* url) {
  if (!name_fits(filename)) {
    url[0] = 0;
    return ERR_DIR_CREATE;
  }
  if (fanout == 0) {
    return format_whole(url, "%s/%s", root, filename) ? 0 : ERR_DIR_CREATE;
  }
  char bucket[256];
  filename_hash(filename, fanout, bucket, sizeof bucket);
  return format_whole(url, "%s/%s/%s", root, bucket, filename) ? 0
                                                               : ERR_DIR_CREATE;
}
