// File-system tests and directory creation, with plain C linkage.
#ifndef ORVEX_COMMON_FILE_UTIL_H
#define ORVEX_COMMON_FILE_UTIL_H

extern "C" {

// Creates one directory level with mode 0770 (less the umask): the project's
// owner and the web server's group share the trees. 0, or -1 with errno set
// (EEXIST when the path already exists).
int orvex_mkdir(const char* path);

// Nonzero when path names an existing file of any kind. No other effect.
int orvex_file_exists(const char* path);

// Nonzero when path, after following symbolic links, is a regular file.
int is_file_follow_symlinks(const char* path);

// Nonzero when path, after following symbolic links, is a directory.
int is_dir_follow_symlinks(const char* path);
}

#endif
