#include "daemon/daemon_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

// An open file description lock: closing another descriptor of the file in
// this process does not drop it (Linux has them since 3.15).
constexpr int kSetLock = F_OFD_SETLK;

struct flock whole_file(short type) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;  // start 0, length 0: the whole file, as it grows
  return fl;
}

// The pid written in the file fd: its first line, a decimal number; 0 when
// it holds none (empty, being written, or not a pid).
int pid_written(int fd) {
  char text[32] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = 0;
  char* end;
  errno = 0;
  long pid = strtol(text, &end, 10);
  bool whole = end != text && (*end == '\n' || *end == 0);
  return whole && errno == 0 && pid > 0 && pid <= INT_MAX
             ? static_cast<int>(pid)
             : 0;
}

// The pid file this process holds, removed at a normal exit.
struct HELD_PID_FILE {
  int fd = -1;
  pid_t owner = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;
} held_pid_file;

void remove_held_pid_file() {
  HELD_PID_FILE& h = held_pid_file;
  if (h.fd < 0 || getpid() != h.owner) return;  // a forked child's exit
  struct stat sb;
  // Only the file that was locked: an operator may have replaced it.
  if (stat(h.path.c_str(), &sb) == 0 && sb.st_dev == h.dev &&
      sb.st_ino == h.ino) {
    unlink(h.path.c_str());
  }
}

// A forked child does not keep the daemon's lock alive after the daemon.
void close_held_pid_file_in_child() {
  if (held_pid_file.fd >= 0) {
    close(held_pid_file.fd);
    held_pid_file.fd = -1;
  }
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int lock_pid_file(const char* path, int* holder) {
  if (holder) *holder = 0;
  // A daemon that exits removes its file after this open and before the
  // lock: the lock is then on a removed file, and the open is done again.
  for (int attempt = 0;; attempt++) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return ERR_FILE_OPEN;
    struct stat sb = {};
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
      int err = S_ISREG(sb.st_mode) ? errno : EINVAL;
      close(fd);
      errno = err;
      return ERR_FILE_OPEN;
    }
    struct flock fl = whole_file(F_WRLCK);
    if (fcntl(fd, kSetLock, &fl) != 0) {
      int err = errno;
      if (err == EAGAIN || err == EACCES) {
        if (holder) {
          *holder = pid_written(fd);
          struct flock q = whole_file(F_WRLCK);
          if (!*holder && fcntl(fd, F_GETLK, &q) == 0 && q.l_pid > 0) {
            *holder = q.l_pid;
          }
        }
        close(fd);  // this process holds no lock on the file to lose
        return ERR_ALREADY_RUNNING;
      }
      close(fd);
      errno = err;
      return ERR_FILE_WRITE;
    }
    struct stat now;
    if (attempt < 5 && (stat(path, &now) != 0 || !same_file(now, sb))) {
      close(fd);
      continue;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, n, 0) != n) {
      int err = errno ? errno : EIO;
      close(fd);
      errno = err;
      return ERR_FILE_WRITE;
    }
    static bool registered = false;
    if (!registered) {
      registered = true;
      atexit(remove_held_pid_file);
      pthread_atfork(nullptr, nullptr, close_held_pid_file_in_child);
    }
    HELD_PID_FILE& h = held_pid_file;
    if (h.fd >= 0) close(h.fd);
    h.fd = fd;
    h.owner = getpid();
    h.dev = sb.st_dev;
    h.ino = sb.st_ino;
    h.path = path;
    return 0;
  }
}

int read_pid_file(const char* path, PID_FILE_STATE& state) {
  state = PID_FILE_STATE();
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return ERR_FILE_OPEN;
  struct stat sb;
  if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
    close(fd);
    return ERR_FILE_OPEN;
  }
  state.exists = true;
  state.written = sb.st_mtime;
  state.pid = pid_written(fd);
  // Any lock counts: this one's, and mylockf's of daemons written before it.
  struct flock q = whole_file(F_WRLCK);
  state.locked = fcntl(fd, F_GETLK, &q) == 0 && q.l_type != F_UNLCK;
  if (state.locked && !state.pid && q.l_pid > 0) state.pid = q.l_pid;
  close(fd);
  return 0;
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

void short_host_name(char* host, size_t size) {
  if (!size) return;
  if (gethostname(host, size) != 0) strlcpy(host, "unknown", size);
  host[size - 1] = 0;  // a cut host name need not be terminated
  char* dot = strchr(host, '.');
  if (dot) *dot = 0;
}

int get_log_path(char* path, const char* filename) {
  char host[256];
  short_host_name(host, sizeof host);

  char dir[LOG_PATH_MAX];
  strlcpy(dir, config.project_path(LOG_DIR_FORMAT, host), sizeof dir);
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
