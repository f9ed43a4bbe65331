// Health that every process of a host shares: a small record of the
// database servers that recently failed to answer, so that a program run
// once per request (the scheduler) tries the others first instead of paying
// a dead server's connect bound on every request. It is only a hint: it
// orders servers, it never makes a program skip one.
//
// Where it lives: the file that ORVEX_DB_HEALTH_FILE names (set but empty:
// no record is read or written), else /dev/shm/orvex-db-health.<euid>.
// /dev/shm is per host (unlike a project directory that several hosts may
// share), in memory, and the same inside services run with PrivateTmp
// (whose /tmp is their own). One record per user: only a file that the
// process's own user wrote is trusted, and the scheduler's and the daemons'
// users each keep theirs.
//
// A record is trusted only when it is a regular file (never followed
// through a symbolic link, never a directory or a FIFO), owned by the
// effective user, writable by no one else, at most DB_HEALTH_FILE_MAX bytes,
// and whole: a header line, entries, and an end line carrying a checksum
// of everything before it. Anything else (torn, cut, garbage, hostile) is
// ignored as a whole, with the reason in DB_HEALTH::problem. Entries expire
// DB_HEALTH_TTL seconds after they were written; an entry dated more than
// DB_HEALTH_SKEW seconds in the future (a clock set back, or a forged one)
// is dropped.
//
// File format, text, one line each: "orvex-db-health 1", then one
// "<unix seconds> <server>" per server marked down (server as written in
// db_host, "db2:3306"), then "end <8 lower-case hex digits>" (FNV-1a of the
// bytes before that line).
//
// Writers replace the file whole (a new file, then rename), holding an
// exclusive flock on the record for the read-modify-write, so hundreds of
// them at once lose no entry; readers take no lock and always see one whole
// version. A writer waits at most DB_HEALTH_LOCK_WAIT_MS in all for the
// lock (a frozen writer never wedges the others), then gives up.
#ifndef ORVEX_DATABASE_SERVER_HEALTH_H
#define ORVEX_DATABASE_SERVER_HEALTH_H

#include <cstddef>
#include <string>
#include <vector>

constexpr const char* DB_HEALTH_ENV = "ORVEX_DB_HEALTH_FILE";
constexpr int DB_HEALTH_MAX_SERVERS = 24;  // the oldest entry goes first
constexpr int DB_HEALTH_SERVER_MAX = 256;  // a server text, terminator incl.
constexpr int DB_HEALTH_FILE_MAX = 8192;   // a larger file is ignored
constexpr long long DB_HEALTH_TTL = 60;    // seconds an entry counts
constexpr long long DB_HEALTH_SKEW = 5;    // seconds of clock skew allowed
constexpr int DB_HEALTH_LOCK_WAIT_MS = 1000;

struct DB_HEALTH_ENTRY {
  char server[DB_HEALTH_SERVER_MAX];
  long long down_since;  // unix seconds of the failure last noted
};

// The live entries of a record, oldest note first.
struct DB_HEALTH {
  int count = 0;
  DB_HEALTH_ENTRY entries[DB_HEALTH_MAX_SERVERS];
  // Why the file was not trusted ("" when it was read, or there is none).
  char problem[160] = {};
};

// The record's path into path (size bytes). False when the record is off
// (ORVEX_DB_HEALTH_FILE set but empty) or the path does not fit.
bool db_health_path(char* path, size_t size);

// Parses len bytes of text (any content) as of time now into h. True when
// the text is a whole record (then h holds its live entries); false with h
// empty and the reason in h.problem. Pure: no file, no clock.
bool db_health_parse(const char* text, size_t len, long long now, DB_HEALTH& h);

// The record's text for h into buf (DB_HEALTH_FILE_MAX bytes): its length.
size_t db_health_format(const DB_HEALTH& h, char* buf);

// The entry of server in h, or null.
const DB_HEALTH_ENTRY* db_health_find(const DB_HEALTH& h, const char* server);

// The order in which to try servers: indices into servers, first those h
// does not mark down, then those it does, each group in the given order.
// Every index appears once: with all marked down, the given order.
void db_health_order(const DB_HEALTH& h,
                     const std::vector<std::string>& servers,
                     std::vector<size_t>& order);

// Reads the record as of now (unix seconds): one open, one fstat and one
// read of at most DB_HEALTH_FILE_MAX + 1 bytes, no lock; never blocks. A
// missing file or a record that is off gives no entries and no problem; an
// untrusted one no entries and the reason. About 5 us on tmpfs.
void db_health_read(DB_HEALTH& h, long long now);

enum DB_HEALTH_WRITE {
  DB_HEALTH_WRITTEN,    // the record now says so
  DB_HEALTH_UNCHANGED,  // it said so already (an up server not in it)
  DB_HEALTH_OFF,        // the record is off
  DB_HEALTH_REFUSED,    // not a file this user may trust or write, or a
                        // server text that cannot be an entry (empty, over
                        // 255 bytes, a control byte)
  DB_HEALTH_BUSY        // the lock was not had in DB_HEALTH_LOCK_WAIT_MS
};

// Marks server down as of now, or up (its entry is removed). A note that
// the record holds already (down, noted less than DB_HEALTH_TTL / 2 ago; up,
// not in it) is seen by a read without the lock and writes nothing, so a
// crowd of processes meeting one dead server costs one write. Expired entries
// are dropped on the way, and an untrusted record of this user's own (garbage,
// cut) is replaced by a good one; a record of another owner, a symbolic link or
// a directory is never written. Cost: a lock, a read and a rename; call it when
// a server fails to answer or answers again after being marked, not on every
// open. DB_HEALTH_BUSY after DB_HEALTH_LOCK_WAIT_MS at most.
DB_HEALTH_WRITE db_health_note(const char* server, bool down, long long now);

// Removes the record (a symbolic link there: the link itself, never its
// target; a directory is refused). DB_HEALTH_UNCHANGED when there was none.
DB_HEALTH_WRITE db_health_clear();

#endif
