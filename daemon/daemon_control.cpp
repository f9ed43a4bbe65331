#include "daemon/daemon_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck.h"

volatile bool caught_stop_signal = false;
const char* STOP_SCHED_FILENAME = "stop_sched";
const char* STOP_DAEMONS_FILENAME = "stop_daemons";

bool trigger_file_present(const char* path) {
  struct stat sb;
  return lstat(path, &sb) == 0;  // a link is not followed: dangling counts
}

bool check_stop_sched() {
  return trigger_file_present(config.project_path("%s", STOP_SCHED_FILENAME));
}

void check_stop_daemons() {
  if (caught_stop_signal) {
    log_messages.printf(KIND_NORMAL, "Quitting due to SIGHUP\n");
    exit(0);
  }
  const char* trigger = config.project_path("%s", STOP_DAEMONS_FILENAME);
  if (trigger_file_present(trigger)) {
    log_messages.printf(KIND_NORMAL,
                        "Quitting because trigger file '%s' is present\n",
                        trigger);
    exit(0);
  }
}

void daemon_sleep(int seconds) {
  if (seconds <= 0) return;
  // SIGHUP is held back between a check and the wait, and let in by the wait
  // itself: a signal that lands just after a check still cuts the wait short
  // and is seen at the next check, not a second later.
  sigset_t hup, caller_mask;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, &caller_mask);
  for (int i = 0; i < seconds; i++) {
    check_stop_daemons();
    struct timespec one_second = {1, 0};
    ppoll(nullptr, 0, &one_second, &caller_mask);  // EINTR ends the step early
  }
  pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
}

// Runs asynchronously: only async-signal-safe calls, then the flag. errno
// is put back, since the main flow may be between a call and its errno
// test (dir_hier_path tells EEXIST from a failure that way).
static void stop_signal_handler(int) {
  int saved_errno = errno;
  static const char msg[] = "GOT STOP SIGNAL\n";
  ssize_t written = write(STDERR_FILENO, msg, sizeof msg - 1);
  (void)written;  // nothing useful can be done about a failed write here
  caught_stop_signal = true;
  errno = saved_errno;
}

void install_stop_signal_handler() { signal(SIGHUP, stop_signal_handler); }

void write_pid_file(const char* path) {
  FILE* f = fopen(path, "w");
  if (!f) {
    log_messages.printf(KIND_CRITICAL, "Couldn't write pid file\n");
    return;
  }
  // A full disk shows only at the flush, inside fclose.
  bool written = fprintf(f, "%d\n", static_cast<int>(getpid())) > 0;
  int err = written ? 0 : errno;
  if (fclose(f) != 0 && written) {
    written = false;
    err = errno;
  }
  if (!written) {
    log_messages.printf(KIND_CRITICAL, "Couldn't write pid file %s: %s\n", path,
                        strerror(err));
  }
}

int mylockf(int fd) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end of the file, however it grows
  if (fcntl(fd, F_SETLK, &fl) == 0) return 0;
  int set_errno = errno;
  if (fcntl(fd, F_GETLK, &fl) != 0) return -1;  // errno: why the query failed
  if (fl.l_type != F_UNLCK && fl.l_pid > 0) return fl.l_pid;
  // A holder without a name, or gone meanwhile: the attempt's reason.
  errno = set_errno;
  return -1;
}

int get_log_path(char* path, const char* filename) {
  char host[256];
  if (gethostname(host, sizeof host) != 0)
    strlcpy(host, "unknown", sizeof host);
  host[sizeof host - 1] = 0;  // a cut host name need not be terminated
  char* dot = strchr(host, '.');
  if (dot) *dot = 0;

  char dir[LOG_PATH_MAX];
  strlcpy(dir, config.project_path("log_%s", host), sizeof dir);
  // A project_path result of full length may have been cut: refuse it too,
  // since a cut path names another directory.
  size_t dir_len = strlen(dir), name_len = strlen(filename);
  if (dir_len + 1 >= sizeof dir || dir_len + 1 + name_len + 1 > sizeof dir) {
    path[0] = 0;
    return -1;
  }
  memcpy(path, dir, dir_len);
  path[dir_len] = '/';
  memcpy(path + dir_len + 1, filename, name_len + 1);

  mode_t old_mask = umask(0);
  mkdir(dir, 01770);  // an existing directory is the normal case
  umask(old_mask);
  return 0;
}

int try_fopen(const char* path, FILE*& f, const char* mode) {
  f = fopen(path, mode);
  if (f) return 0;
  char dir[4096] = {0};
  const char* slash = strrchr(path, '/');
  if (!slash) {
    strlcpy(dir, ".", sizeof dir);
  } else {
    size_t len = static_cast<size_t>(slash - path);
    // No system opens a directory name this long (PATH_MAX).
    if (len >= sizeof dir) return ERR_DIR_OPEN;
    memcpy(dir, path, len);
    dir[len] = 0;
    if (len == 0) strlcpy(dir, "/", sizeof dir);  // "/name" lives in the root
  }
  DIR* d = opendir(dir);
  if (!d) return ERR_DIR_OPEN;
  closedir(d);
  return ERR_FILE_OPEN;
}

bool is_arg(const char* word, const char* name) {
  char buf[256];
  int n = snprintf(buf, sizeof buf, "--%s", name);
  if (n < 0 || n >= static_cast<int>(sizeof buf)) return false;
  return !strcmp(word, buf) || !strcmp(word, buf + 1);
}
