// The hashed upload/download trees. With a fan-out N > 0 a file F under the
// root R lives in R/B/F, where the bucket B is a number from 0 to N-1 taken
// from the MD5 digest of F's name and written in lower-case hex without
// leading zeros; with N = 0 the tree is flat (R/F). URLs mirror the layout
// under a URL root, so every program that knows a name finds the file and
// its URL without any lookup.
#ifndef ORVEX_DAEMON_DIR_HIER_H
#define ORVEX_DAEMON_DIR_HIER_H

// Size of the result buffers that callers of dir_hier_path and dir_hier_url
// give: at least this many bytes. Nothing beyond it is ever written.
constexpr int DIR_HIER_PATH_LEN = 4096;

// Writes the path of `filename` in the tree under `root` into `path`
// (at least DIR_HIER_PATH_LEN bytes). With `create` and a nonzero fan-out
// it first makes the bucket directory (one level: the root must exist); an
// existing bucket, also one made by a concurrent process, is fine.
// filename is a name in the tree, often one a host sent: a name that would
// leave its bucket (empty, ".", "..", or one holding a '/') is refused.
// Results:
//   0               the path was written;
//   ERR_NAME_LEAVES_TREE  the name would leave its tree: a critical line in
//                   the log (the name quoted, at most 100 bytes of it),
//                   `path` set empty, nothing created;
//   ERR_DIR_CREATE  the bucket directory could not be made: a line
//                   "orvex_mkdir(R/B): <text>: errno <n>" on standard error,
//                   `path` is left as it was, and errno is mkdir's <n>;
//   ERR_DIR_CREATE  the path (or the bucket directory's path) would not fit
//                   in DIR_HIER_PATH_LEN bytes: `path` is set empty,
//                   nothing is created and errno is ENAMETOOLONG. A cut path
//                   would name another file, and callers already treat this
//                   code as "the file has no place in the tree", so no new code
//                   is needed.
int dir_hier_path(const char* filename, const char* root, int fanout,
                  char* path, bool create = false);

// Writes the URL of `filename` under the URL root `root` into `url` (at
// least DIR_HIER_PATH_LEN bytes); touches no file. 0; ERR_NAME_LEAVES_TREE
// (logged likewise) for a name dir_hier_path refuses; ERR_DIR_CREATE when
// the URL would not fit (never cut short); `url` set empty on failure.
int dir_hier_url(const char* filename, const char* root, int fanout, char* url);

#endif
