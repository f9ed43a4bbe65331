// Small helpers shared by the tests: reading a file whole, capturing what
// the log or standard error receives, and a server that never answers.
#ifndef ORVEX_TESTS_TEST_UTIL_H
#define ORVEX_TESTS_TEST_UTIL_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "log/sched_msg_log.h"

// Defined in the AddressSanitizer build, where heap figures come from the
// sanitizer's allocator rather than the C library's.
#if defined(__SANITIZE_ADDRESS__)
#define ORVEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVEX_ASAN 1
#endif
#endif

namespace orvex_test {

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string read_stream(FILE* f) {
  fflush(f);
  rewind(f);
  std::string out;
  for (int c; (c = fgetc(f)) != EOF;) out += static_cast<char>(c);
  return out;
}

inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    n++;
  }
  return n;
}

// Writes text to path, replacing what was there.
inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

// The number of descriptors this process has open.
inline int count_open_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') n++;
  }
  closedir(d);
  return n - 1;  // the directory stream's own descriptor
}

// A fresh directory under /tmp, removed with everything in it when the
// object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "_XXXXXX";
    if (mkdtemp(&tmpl[0])) {
      path_ = tmpl;
    } else {
      ADD_FAILURE() << "cannot make a directory like " << tmpl;
    }
  }
  ~TempDir() {
    if (path_.empty()) return;
    EXPECT_EQ(system(("rm -rf '" + path_ + "'").c_str()), 0) << path_;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The log's lines while it lives (log_messages writes to a temporary file).
class LogCapture {
 public:
  LogCapture() : saved_(log_messages.output), file_(tmpfile()) {
    log_messages.output = file_;
  }
  ~LogCapture() {
    log_messages.output = saved_;
    fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() { return read_stream(file_); }
  int count(const std::string& what) { return count_of(text(), what); }

 private:
  FILE* saved_;
  FILE* file_;
};

// Standard error's text while it lives (file descriptor 2 redirected, so
// that direct writes are caught too). text() ends the capture.
class StderrCapture {
 public:
  StderrCapture() : file_(tmpfile()) {
    fflush(stderr);
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() {
    restore();
    return read_stream(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

// A TCP listener on 127.0.0.1 that never sends a byte: the kernel completes
// connections (64 waiting) and no one speaks, as at a frozen server or a
// hung proxy. Closed (waiting connections reset) when it goes.
struct SilentListener {
  SilentListener() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    EXPECT_TRUE(fd >= 0 && !bind(fd, reinterpret_cast<sockaddr*>(&a), n) &&
                !listen(fd, 64) &&
                !getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n));
    port = ntohs(a.sin_port);
  }
  ~SilentListener() { close(fd); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port); }
  int fd, port;
};

}  // namespace orvex_test

#endif
