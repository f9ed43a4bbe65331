// Daemon life: stop triggers and SIGHUP, sleeping between passes, the pid
// file, an exclusive file lock, per-host log paths, and small start-up aids.
//
// A daemon installs the stop-signal handler, writes its pid file, then loops:
// one pass of work, then daemon_sleep(). A SIGHUP or the trigger file
// "stop_daemons" in the project directory ends it with exit status 0 after
// one log line, at the next check; work in progress is never interrupted.
#ifndef ORVEX_DAEMON_DAEMON_CONTROL_H
#define ORVEX_DAEMON_DAEMON_CONTROL_H

#include <sys/types.h>

#include <cstdio>
#include <ctime>

// Set by the stop-signal handler; volatile so that every check reads it anew.
extern volatile bool caught_stop_signal;

extern const char* STOP_SCHED_FILENAME;    // "stop_sched"
extern const char* STOP_DAEMONS_FILENAME;  // "stop_daemons"

// Size that the callers of get_log_path give for its result.
constexpr int LOG_PATH_MAX = 4096;

// The per-host log directory in the project directory, from the short host
// name (get_log_path; orvex-admin status reads the logs there).
constexpr const char* LOG_DIR_FORMAT = "log_%s";

// Whether a trigger file is present at path: anything at that name counts,
// a symbolic link included whether or not its target exists (an operator
// who made the link meant to stop). The one rule of the daemons' checks and
// of orvex-admin's stop and start. False when path cannot be looked at.
bool trigger_file_present(const char* path);

// True when the trigger file "stop_sched" is present in the project
// directory (trigger_file_present).
bool check_stop_sched();

// Returns when no stop is requested. Otherwise logs why ("Quitting due to
// SIGHUP" or "Quitting because trigger file '...' is present") and exits
// with status 0. The signal is tested first; the file as
// trigger_file_present sees it. Ends the process with status 1
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
// The handler leaves errno as it found it, even when its write fails.
void install_stop_signal_handler();

// Creates or truncates `path` and writes the process id and a newline. A file
// that cannot be opened is logged as critical ("Couldn't write pid file");
// a failed write or close (a full disk) as critical with the path and the
// system's reason, and the file may then be empty or cut. The caller is
// not told either way.
void write_pid_file(const char* path);

// The pid file and the lock of a daemon, in one call: opens path (created
// with mode 0644; a symbolic link or anything but a regular file is
// refused), takes an exclusive lock on the whole file without waiting, and
// writes "<pid>\n" into it through the locked descriptor. That descriptor
// stays open, close-on-exec, for the process's life, so the lock lasts as
// long as the process and ends with it, however it ends (kill -9
// included). The lock is an open file description lock: unlike a lock of
// mylockf, closing another descriptor of the file (write_pid_file on the
// same path, a reader of it) does not drop it, and forked children neither
// share nor keep it. At a normal exit of the process (exit(), also from
// check_stop_daemons, or a return from main) the file is removed, unless
// it is no longer the file that was locked. Call it once per process.
//   0                    locked and written;
//   ERR_ALREADY_RUNNING  another process holds the lock; *holder (when not
//                        null) gets the pid written in the file, or 0;
//   ERR_FILE_OPEN        the file cannot be opened or created, or is not
//                        a regular file; errno says why;
//   ERR_FILE_WRITE       the file cannot be locked (for a reason other than
//                        a holder) or written; errno says why.
// Nothing is written, truncated or removed unless the lock was taken. A
// file left by a daemon that was killed is simply taken over. Removing
// the file of a running daemon lets a second copy start: its lock is on
// the removed file.
int lock_pid_file(const char* path, int* holder = nullptr);

// A pid file as another process sees it.
struct PID_FILE_STATE {
  bool exists = false;
  bool locked = false;  // a process holds a lock on it: the daemon runs
  int pid = 0;          // the pid written in it, 0 when there is none
  time_t written = 0;   // when it was last written (the daemon's start)
};
// Looks at the pid file at path without locking or changing it (for
// another process than its daemon: the descriptor it opens is closed again,
// which would drop a mylockf lock of the caller's own on the file). 0; or
// ERR_FILE_OPEN, with state.exists false, when there is no regular file
// there.
int read_pid_file(const char* path, PID_FILE_STATE& state);

// Places an exclusive lock on the whole file `fd` without waiting. 0: the
// lock is held while fd stays open (closing ANY descriptor of the file in
// this process drops it); > 0: the pid of a process holding a conflicting
// lock; -1: neither, and errno tells why: EAGAIN or EACCES when a
// conflicting lock is held by a holder the system does not name (an open
// file description lock, a lock over the network) or was released between
// the attempt and the query; the system's code (EBADF, ENOLCK, ...) when the
// lock could not be tried or queried at all.
int mylockf(int fd);

// This machine's host name up to its first '.', as the log directories are
// named ("unknown" when the system gives none), into host (size bytes).
void short_host_name(char* host, size_t size);

// Writes into path (LOG_PATH_MAX bytes) the project directory's
// "log_<short host name>/<filename>", and creates that directory with mode
// 01770 whatever the umask when it is missing. Returns 0; -1 with an empty
// path, and nothing created, when the path would not fit.
int get_log_path(char* path, const char* filename);

// Opens path with mode into f. 0 on success; ERR_FILE_OPEN when the file
// cannot be opened but its directory can; ERR_DIR_OPEN when the directory
// cannot be opened either (or its name is 4096 bytes or longer). f is null
// on failure. The directory is the text before the last '/', "." when there
// is none, and "/" for a name directly under the root ("/name" is looked
// for in "/", not in an empty directory name, which never opens).
int try_fopen(const char* path, FILE*& f, const char* mode);

// True when word is "--" or "-" followed by name exactly. A name longer than
// 253 bytes never matches.
bool is_arg(const char* word, const char* name);

#endif
