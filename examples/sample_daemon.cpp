// sample-daemon: a small but complete server daemon, written the way the
// library means daemons to be written. Each pass it counts the results that
// wait to be sent, per application, and logs one line; between passes it
// sleeps, and it ends with status 0 on the "stop_daemons" trigger file or
// SIGHUP.
//
//   sample-daemon [--sleep SECONDS] [--once] [-d LEVEL]
//
// Run it from the project directory (or a directory below it), or name the
// project with ORVEX_PROJECT_DIR. Copy its shape for a daemon of your own.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "common/db_rows.h"
#include "common/error_numbers.h"
#include "daemon/daemon_control.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck.h"

namespace {

const char* const USAGE =
    "usage: sample-daemon [--sleep SECONDS] [--once] [-d LEVEL]"
    " (SECONDS from 1 to 86400, LEVEL from 1 to 3)\n";

// A whole number from min to max, all of text: atoi would take "abc" as 0
// and "5x" as 5, and a sleep of 0 turns the daemon into a busy loop.
bool parse_number(const char* text, int min, int max, int& out) {
  char* end;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end || errno || value < min || value > max) return false;
  out = static_cast<int>(value);
  return true;
}

// A start-up failure: on the terminal, where whoever started the daemon
// looks, and in its log once that is a file of its own. Exits with status 1.
[[noreturn]] void fail(const char* fmt, ...)
    __attribute__((format(printf, 1, 2)));
void fail(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  fprintf(stderr, "sample-daemon: %s\n", text);
  if (log_messages.output != stderr)
    log_messages.printf(KIND_CRITICAL, "%s\n", text);
  exit(1);
}

// One pass: the unsent results, counted per application. Streaming reads one
// row at a time, so the pass needs little memory however many rows wait.
void count_unsent(int pass, DB_CONN& db) {
  DB_RESULT result(&db);
  std::map<int, int> per_app;
  char clause[64];
  snprintf(clause, sizeof clause, "where server_state=%d",
           RESULT_SERVER_STATE_UNSENT);
  int retval;
  while ((retval = result.enumerate(clause, true)) == 0)
    per_app[result.appid]++;
  if (retval != ERR_DB_NO_ROW) {
    // The code's meaning, then the connection's own words for this failure.
    log_messages.printf(KIND_CRITICAL, "pass %d: enumeration failed: %s (%s)\n",
                        pass, orvexerror(retval), db.error_string());
    return;
  }
  int total = 0;
  for (const auto& app : per_app) total += app.second;
  log_messages.printf(KIND_NORMAL,
                      "pass %d: %d unsent results in %zu applications\n", pass,
                      total, per_app.size());
  log_messages.set_indent_level(2);
  for (const auto& app : per_app) {
    log_messages.printf(KIND_DEBUG, "application %d: %d unsent\n", app.first,
                        app.second);
  }
  log_messages.set_indent_level(0);
}

}  // namespace

int main(int argc, char** argv) {
  int sleep_seconds = 5;
  bool once = false;
  for (int i = 1; i < argc; i++) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (is_arg(argv[i], "sleep") && value &&
        parse_number(value, 1, 86400, sleep_seconds)) {
      i++;
    } else if (is_arg(argv[i], "once")) {
      once = true;
    } else if (is_arg(argv[i], "d") && value &&
               parse_number(value, KIND_CRITICAL, KIND_DEBUG,
                            log_messages.debug_level)) {
      i++;
    } else {
      bool valued = value && (is_arg(argv[i], "sleep") || is_arg(argv[i], "d"));
      fprintf(stderr, "sample-daemon: bad argument: %s%s%s\n%s", argv[i],
              valued ? " " : "", valued ? value : "", USAGE);
      return 2;
    }
  }

  // 1. The settings: the project directory is found as every program finds it.
  int retval = config.parse_file(nullptr);
  if (retval) {
    fail("cannot load the settings from %s: %s",
         config.project_path("%s", CONFIG_FILE), orvexerror(retval));
  }

  // 2. Stop requests: SIGHUP sets a flag that the next check honours.
  install_stop_signal_handler();

  // 3. The log, in the per-host log directory, a line at a time. It is
  // opened for appending, so a log rotated by copying and truncating goes on
  // at the start of the emptied file.
  char log_path[LOG_PATH_MAX];
  if (get_log_path(log_path, "sample_daemon.log") != 0)
    fail("no room for the log's path");
  FILE* log = fopen(log_path, "a");
  if (!log) fail("cannot open the log %s: %s", log_path, strerror(errno));
  setvbuf(log, nullptr, _IOLBF, 0);
  log_messages.output = log;
  log_messages.printf(KIND_NORMAL, "starting, pid %d\n",
                      static_cast<int>(getpid()));

  // 4. One copy at a time, with its pid where operators (and orvex-admin
  // status) look for it. The lock lasts while the process lives; the file
  // goes at a clean exit.
  char pid_path[PROJECT_PATH_LEN];
  snprintf(pid_path, sizeof pid_path, "%s",
           config.project_path("sample_daemon.pid"));
  int holder = 0;
  retval = lock_pid_file(pid_path, &holder);
  if (retval == ERR_ALREADY_RUNNING) {
    if (holder) fail("another copy is running (pid %d)", holder);
    fail("another copy is running (it holds %s)", pid_path);
  }
  if (retval) fail("cannot take %s: %s", pid_path, strerror(errno));

  // 5. The database that the settings name.
  retval = orvex_db.open(config.db_name, config.db_host, config.db_user,
                         config.db_passwd);
  if (retval) {
    fail("cannot open database '%s' on %s as '%s': %s (%s)", config.db_name,
         config.db_host[0] ? config.db_host : "the default host",
         config.db_user, orvexerror(retval), orvex_db.connect_error());
  }

  // 6. Reading only, the daemon can use a replica, when the settings name
  // one apart from the main database (the replica settings default to it).
  DB_CONN replica;
  DB_CONN* reader = &orvex_db;
  if (strcmp(config.replica_db_host, config.db_host) ||
      strcmp(config.replica_db_name, config.db_name)) {
    retval = replica.open(config.replica_db_name, config.replica_db_host,
                          config.replica_db_user, config.replica_db_passwd);
    if (retval) {
      fail("cannot open the replica '%s' on %s: %s (%s)",
           config.replica_db_name, config.replica_db_host, orvexerror(retval),
           replica.connect_error());
    }
    reader = &replica;
    log_messages.printf(KIND_NORMAL, "reading counts from the replica on %s\n",
                        config.replica_db_host);
  }

  // 7. Work, then sleep; daemon_sleep ends the process on a stop request.
  // On a server list the connection may move to another server.
  std::string server;
  for (int pass = 1;; pass++) {
    check_stop_daemons();
    count_unsent(pass, *reader);
    if (server != reader->server()) {
      server = reader->server();
      log_messages.printf(KIND_NORMAL, "reading from %s\n", server.c_str());
    }
    if (once) break;
    daemon_sleep(sleep_seconds);
  }
  replica.close();
  orvex_db.close();
  return 0;
}
