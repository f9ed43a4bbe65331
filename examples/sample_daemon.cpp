// sample-daemon: a small but complete server daemon, written the way the
// library means daemons to be written. Each pass it counts the results that
// wait to be sent, per application, and logs one line; between passes it
// sleeps, and it ends with status 0 on the "stop_daemons" trigger file or
// SIGHUP.
//
//   sample-daemon [--sleep SECONDS] [--once]
//
// Run it from the project directory (or a directory below it), or name the
// project with ORVEX_PROJECT_DIR. Copy its shape for a daemon of your own.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/db_rows.h"
#include "common/error_numbers.h"
#include "daemon/daemon_control.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck.h"

namespace {

// Takes the daemon's lock and writes its pid into the pid file. The lock is
// a POSIX record lock, which the process loses as soon as it closes ANY
// descriptor of the file (a second fopen/fclose of the same path would do
// it), so the pid is written through the locked descriptor, which stays
// open for the daemon's life. Returns the descriptor, or -1 after saying why.
int lock_pid_file(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "sample-daemon: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  int holder = mylockf(fd);
  if (holder != 0) {
    if (holder > 0) {
      fprintf(stderr, "sample-daemon: another copy is running (pid %d)\n", holder);
    } else {
      fprintf(stderr, "sample-daemon: cannot lock %s: %s\n", path, strerror(errno));
    }
    close(fd);
    return -1;
  }
  char pid[32];
  int n = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, n, 0) != n) {
    fprintf(stderr, "sample-daemon: cannot write %s\n", path);
    close(fd);
    return -1;
  }
  return fd;
}

// One pass: the unsent results, counted per application. Streaming reads one
// row at a time, so the pass needs little memory however many rows wait.
void count_unsent(int pass) {
  DB_RESULT result;  // uses orvex_db
  std::map<int, int> per_app;
  char clause[64];
  snprintf(clause, sizeof clause, "where server_state=%d", RESULT_SERVER_STATE_UNSENT);
  int retval;
  while ((retval = result.enumerate(clause, true)) == 0) per_app[result.appid]++;
  if (retval != ERR_DB_NO_ROW) {
    log_messages.printf(KIND_CRITICAL, "pass %d: enumeration failed: %d\n", pass, retval);
    return;
  }
  int total = 0;
  for (const auto& app : per_app) total += app.second;
  log_messages.printf(KIND_NORMAL, "pass %d: %d unsent results in %zu applications\n",
                      pass, total, per_app.size());
  log_messages.set_indent_level(2);
  for (const auto& app : per_app) {
    log_messages.printf(KIND_DEBUG, "application %d: %d unsent\n", app.first, app.second);
  }
  log_messages.set_indent_level(0);
}

}  // namespace

int main(int argc, char** argv) {
  int sleep_seconds = 5;
  bool once = false;
  for (int i = 1; i < argc; i++) {
    if (is_arg(argv[i], "sleep") && i + 1 < argc) {
      sleep_seconds = atoi(argv[++i]);
    } else if (is_arg(argv[i], "once")) {
      once = true;
    } else if (is_arg(argv[i], "d") && i + 1 < argc) {
      log_messages.debug_level = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: sample-daemon [--sleep SECONDS] [--once] [-d LEVEL]\n");
      return 2;
    }
  }

  // 1. The settings: the project directory is found as every program finds it.
  int retval = config.parse_file(nullptr);
  if (retval) {
    fprintf(stderr, "sample-daemon: cannot load the settings: %d\n", retval);
    return 1;
  }

  // 2. Stop requests: SIGHUP sets a flag that the next check honours.
  install_stop_signal_handler();

  // 3. One copy at a time, with its pid where operators look for it.
  char pid_path[PROJECT_PATH_LEN];
  snprintf(pid_path, sizeof pid_path, "%s", config.project_path("sample_daemon.pid"));
  int pid_fd = lock_pid_file(pid_path);
  if (pid_fd < 0) return 1;

  // 4. The log, in the per-host log directory, a line at a time.
  char log_path[LOG_PATH_MAX];
  if (get_log_path(log_path, "sample_daemon.log") == 0) {
    FILE* log = fopen(log_path, "a");
    if (log) {
      setvbuf(log, nullptr, _IOLBF, 0);
      log_messages.output = log;
    }
  }
  log_messages.printf(KIND_NORMAL, "starting, pid %d\n", static_cast<int>(getpid()));

  // 5. The database that the settings name.
  retval = orvex_db.open(config.db_name, config.db_host, config.db_user, config.db_passwd);
  if (retval) {
    log_messages.printf(KIND_CRITICAL, "cannot open the database: %d\n", retval);
    return 1;
  }

  // 6. Work, then sleep; daemon_sleep ends the process on a stop request.
  for (int pass = 1;; pass++) {
    check_stop_daemons();
    count_unsent(pass);
    if (once) break;
    daemon_sleep(sleep_seconds);
  }
  orvex_db.close();
  close(pid_fd);
  return 0;
}
