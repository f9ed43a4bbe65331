#include "daemon/dir_hier.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "common/error_numbers.h"
#include "common/file_util.h"
#include "common/str_util.h"
#include "log/sched_msg_log.h"

namespace {

// The bucket name of `filename` (fanout nonzero) into `bucket`; returns its
// length (1 to 8). The bucket number is hex digits 1..7 of the name's MD5
// text, a 28-bit number (never negative, so neither is the remainder):
// that is the low half of the digest's first byte and the next three bytes,
// read here from the digest itself rather than from its text. Formatted by
// hand: this runs for every file a server places, and printf would cost
// more than the digest.
int filename_hash(const char* filename, size_t len, int fanout, char* bucket) {
  unsigned char digest[16];
  md5_digest(reinterpret_cast<const unsigned char*>(filename),
             static_cast<int>(len), digest);
  int n =
      (digest[0] & 0x0F) << 24 | digest[1] << 16 | digest[2] << 8 | digest[3];
  unsigned bucket_number = static_cast<unsigned>(n % fanout);
  char digits[8];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[bucket_number & 15];
    bucket_number >>= 4;
  } while (bucket_number);
  for (int i = 0; i < count; i++) bucket[i] = digits[count - 1 - i];
  bucket[count] = 0;
  return count;
}

// Joins the parts with '/' into out (DIR_HIER_PATH_LEN bytes). False, with
// out empty, when the whole would not fit.
bool join(char* out,
          std::initializer_list<std::pair<const char*, size_t>> parts) {
  size_t total = parts.size() - 1;  // the slashes
  for (const auto& p : parts) total += p.second;
  if (total >= static_cast<size_t>(DIR_HIER_PATH_LEN)) {
    out[0] = 0;
    return false;
  }
  char* at = out;
  for (const auto& p : parts) {
    if (at != out) *at++ = '/';
    memcpy(at, p.first, p.second);
    at += p.second;
  }
  *at = 0;
  return true;
}

// A name that would name the bucket, its parent or another directory's
// file. Names come from hosts, so these are refused, never joined.
bool leaves_tree(const char* filename, const char* call) {
  if (*filename && strcmp(filename, ".") && strcmp(filename, "..") &&
      !strchr(filename, '/')) {
    return false;
  }
  size_t len = strnlen(filename, 101);
  std::string shown = quoted_text(std::string(filename, len > 100 ? 100 : len));
  log_messages.printf(KIND_CRITICAL,
                      "%s: refused the file name %s%s: it would leave its "
                      "tree (empty, \".\", \"..\" or a '/')\n",
                      call, shown.c_str(), len > 100 ? "..." : "");
  return true;
}

// Names longer than any path are refused before they are hashed (the
// digest takes an int length).
bool name_fits(const char* filename, size_t& len) {
  len = strnlen(filename, DIR_HIER_PATH_LEN);
  return len < static_cast<size_t>(DIR_HIER_PATH_LEN);
}

}  // namespace

int dir_hier_path(const char* filename, const char* root, int fanout,
                  char* path, bool create) {
  if (leaves_tree(filename, "dir_hier_path")) {
    path[0] = 0;
    return ERR_NAME_LEAVES_TREE;
  }
  size_t name_len, root_len = strlen(root);
  if (!name_fits(filename, name_len)) {
    path[0] = 0;
    errno = ENAMETOOLONG;
    return ERR_DIR_CREATE;
  }
  if (fanout == 0) {
    if (join(path, {{root, root_len}, {filename, name_len}})) return 0;
    errno = ENAMETOOLONG;
    return ERR_DIR_CREATE;
  }
  char bucket[16];
  size_t bucket_len = filename_hash(filename, name_len, fanout, bucket);
  char dir[DIR_HIER_PATH_LEN], whole[DIR_HIER_PATH_LEN];
  // Both are checked before anything is made: a too-long name must not
  // leave a bucket behind.
  if (!join(dir, {{root, root_len}, {bucket, bucket_len}}) ||
      !join(whole, {{dir, root_len + 1 + bucket_len}, {filename, name_len}})) {
    path[0] = 0;
    errno = ENAMETOOLONG;
    return ERR_DIR_CREATE;
  }
  if (create) {
    int retval = orvex_mkdir(dir);
    if (retval && errno != EEXIST) {
      int err = errno;
      fprintf(stderr, "orvex_mkdir(%s): %s: errno %d\n", dir,
              orvexerror(retval), err);
      errno = err;  // the caller may say why in the system's words
      return ERR_DIR_CREATE;
    }
  }
  memcpy(path, whole, strlen(whole) + 1);
  return 0;
}

int dir_hier_url(const char* filename, const char* root, int fanout,
                 char* url) {
  if (leaves_tree(filename, "dir_hier_url")) {
    url[0] = 0;
    return ERR_NAME_LEAVES_TREE;
  }
  size_t name_len, root_len = strlen(root);
  if (!name_fits(filename, name_len)) {
    url[0] = 0;
    return ERR_DIR_CREATE;
  }
  bool fits;
  if (fanout == 0) {
    fits = join(url, {{root, root_len}, {filename, name_len}});
  } else {
    char bucket[16];
    size_t bucket_len = filename_hash(filename, name_len, fanout, bucket);
    fits = join(url,
                {{root, root_len}, {bucket, bucket_len}, {filename, name_len}});
  }
  return fits ? 0 : ERR_DIR_CREATE;
}
