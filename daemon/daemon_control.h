// Daemon life: stop triggers and SIGHUP, sleeping between passes, the pid
// file, an exclusive file lock, per-host log paths, and small start-up aids.
//
// A daemon installs the stop-signal handler, writes its pid file, then loops:
// one pass of work, then daemon_sleep(). A SIGHUP or the trigger file
// "stop_daemons" in the project directory ends it with exit status 0 after
// one log line, at the next check; work in progress is never interrupted.
#ifndef ORVEX_DAEMON_DAEMON_CONTROL_H
#define ORVEX_DAEMON_DAEMON_CONTROL_H

#include <cstdio>

// Set by the stop-signal handler; volatile so that every check reads it anew.
extern volatile bool caught_stop_signal;

extern const char* STOP_SCHED_FILENAME;    // "stop_sched"
extern const char* STOP_DAEMONS_FILENAME;  // "stop_daemons"

// Size that the callers of get_log_path give for its result.
constexpr int LOG_PATH_MAX = 4096;

// True when the trigger file "stop_sched" exists in the project directory.
bool check_stop_sched();

// Returns when no stop is requested. Otherwise logs why ("Quitting due to
// SIGHUP" or "Quitting because trigger file '...' is present") and exits
// with status 0. The signal is tested first. Ends the process with status 1
// when no project directory can be found.
void check_stop_daemons();

// Sleeps `seconds` one-second steps, calling check_stop_daemons before each.
// A count of 0 or less returns at once without a check. A SIGHUP that comes
// at any moment of the sleep (also between a check and the next step) ends
// the step at once; SIGHUP is blocked only between a check and its wait, and
// the caller's signal mask is back when it returns.
void daemon_sleep(int seconds);

// Installs the SIGHUP handler, which writes "GOT STOP SIGNAL\n" to standard
// error and sets caught_stop_signal. The process ends at its next check.
void install_stop_signal_handler();

// Creates or truncates `path` and writes the process id and a newline. A file
// that cannot be opened is logged as critical and otherwise ignored.
void write_pid_file(const char* path);

// Places an exclusive lock on the whole file `fd` without waiting. 0: the
// lock is held while fd stays open (closing ANY descriptor of the file in
// this process drops it); > 0: the pid of a process holding a conflicting
// lock; -1: neither (errno tells why).
int mylockf(int fd);

// Writes into path (LOG_PATH_MAX bytes) the project directory's
// "log_<short host name>/<filename>", and creates that directory with mode
// 01770 whatever the umask when it is missing. Returns 0; -1 with an empty
// path, and nothing created, when the path would not fit.
int get_log_path(char* path, const char* filename);

// Opens path with mode into f. 0 on success; ERR_FILE_OPEN when the file
// cannot be opened but its directory can; ERR_DIR_OPEN when the directory
// cannot be opened either (or its name is 4096 bytes or longer). f is null
// on failure.
int try_fopen(const char* path, FILE*& f, const char* mode);

// True when word is "--" or "-" followed by name exactly. A name longer than
// 253 bytes never matches.
bool is_arg(const char* word, const char* name);

#endif
