#include "database/server_health.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/str_util.h"

namespace {

const char kHeader[] = "orvex-db-health 1\n";
constexpr size_t kHeaderLen = sizeof kHeader - 1;
const char kEnd[] = "end ";
constexpr size_t kEndLineLen = 4 + 8 + 1;  // "end " hex8 "\n"
constexpr int kMaxDigits = 18;             // no overflow of long long

unsigned fnv1a(const char* p, size_t n) {
  unsigned h = 2166136261u;
  for (size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 16777619u;
  }
  return h;
}

bool valid_server(const char* s, size_t n) {
  if (n == 0 || n >= static_cast<size_t>(DB_HEALTH_SERVER_MAX)) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool refuse(DB_HEALTH& h, const char* why) {
  h.count = 0;
  snprintf(h.problem, sizeof h.problem, "%s", why);
  return false;
}

// Only a regular file of this user that no one else may write is trusted.
const char* untrusted(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    return S_ISDIR(st.st_mode) ? "a directory" : "not a regular file";
  }
  if (st.st_uid != geteuid()) return "owned by another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by other users";
  return nullptr;
}

const char* open_error(int err) {
  return err == ELOOP ? "a symbolic link" : strerror(err);
}

// Drops the entry at i, keeping the order of the others.
void remove_at(DB_HEALTH& h, int i) {
  memmove(&h.entries[i], &h.entries[i + 1],
          sizeof h.entries[0] * static_cast<size_t>(h.count - i - 1));
  h.count--;
}

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// The lock on fd by the deadline (monotonic ms), polled so that a frozen
// holder costs a bounded wait; backing off, so that a crowd of waiters
// does not keep both cores busy waking up.
bool lock(int fd, long long deadline) {
  for (int pause_us = 500;;
       pause_us = pause_us < 16000 ? pause_us * 2 : 16000) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (now_ms() >= deadline) return false;
    usleep(static_cast<useconds_t>(pause_us));
  }
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Replaces the record at path with h: a new file beside it, then rename, so
// that readers see the old record or the new one, never a part.
DB_HEALTH_WRITE replace(const char* path, const DB_HEALTH& h) {
  char tmp[PATH_MAX];
  if (snprintf(tmp, sizeof tmp, "%s.new", path) >= static_cast<int>(sizeof tmp))
    return DB_HEALTH_REFUSED;
  char text[DB_HEALTH_FILE_MAX];
  size_t len = db_health_format(h, text);
  // A file left by a writer killed here is ours to remove (we hold the
  // lock); another user's stays, and O_EXCL then refuses it.
  unlink(tmp);
  int fd =
      open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return DB_HEALTH_REFUSED;
  bool ok = write_all(fd, text, len);
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return DB_HEALTH_REFUSED;
  }
  return DB_HEALTH_WRITTEN;
}

}  // namespace

bool db_health_path(char* path, size_t size) {
  const char* env = getenv(DB_HEALTH_ENV);
  int n = env ? snprintf(path, size, "%s", env)
              : snprintf(path, size, "/dev/shm/orvex-db-health.%u",
                         static_cast<unsigned>(geteuid()));
  return n > 0 && static_cast<size_t>(n) < size;
}

bool db_health_parse(const char* text, size_t len, long long now,
                     DB_HEALTH& h) {
  h.count = 0;
  h.problem[0] = '\0';
  if (len > static_cast<size_t>(DB_HEALTH_FILE_MAX)) {
    return refuse(h, "larger than a record can be");
  }
  if (len < kHeaderLen + kEndLineLen ||
      memcmp(text, kHeader, kHeaderLen) != 0) {
    return refuse(h, "not a health record (no header)");
  }
  // The end line, and the checksum of everything before it.
  size_t body_end = len - kEndLineLen;
  const char* end = text + body_end;
  if (memcmp(end, kEnd, 4) != 0 || end[kEndLineLen - 1] != '\n' ||
      (body_end > 0 && text[body_end - 1] != '\n')) {
    return refuse(h, "cut short or damaged (no end line)");
  }
  char hex[9];
  snprintf(hex, sizeof hex, "%08x", fnv1a(text, body_end));
  if (memcmp(end + 4, hex, 8) != 0) {
    return refuse(h, "damaged (its checksum does not match)");
  }
  for (const char* p = text + kHeaderLen; p < end;) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', end - p));
    if (!nl) return refuse(h, "damaged (a line without its end)");
    const char* q = p;
    long long t = 0;
    for (; q < nl && *q >= '0' && *q <= '9' && q - p < kMaxDigits; q++) {
      t = t * 10 + (*q - '0');
    }
    if (q == p || q >= nl || *q != ' ' ||
        !valid_server(q + 1, static_cast<size_t>(nl - q - 1))) {
      return refuse(h, "damaged (an entry that is not \"<seconds> <server>\")");
    }
    size_t n = static_cast<size_t>(nl - q - 1);
    char server[DB_HEALTH_SERVER_MAX];
    memcpy(server, q + 1, n);
    server[n] = '\0';
    if (db_health_find(h, server)) {
      return refuse(h, "damaged (a server listed twice)");
    }
    if (h.count == DB_HEALTH_MAX_SERVERS) {
      return refuse(h, "more entries than a record holds");
    }
    if (t <= now + DB_HEALTH_SKEW && now - t < DB_HEALTH_TTL) {
      DB_HEALTH_ENTRY& e = h.entries[h.count++];
      memcpy(e.server, server, n + 1);
      e.down_since = t;
    }
    p = nl + 1;
  }
  return true;
}

size_t db_health_format(const DB_HEALTH& h, char* buf) {
  size_t len = kHeaderLen;
  memcpy(buf, kHeader, kHeaderLen);
  for (int i = 0; i < h.count && i < DB_HEALTH_MAX_SERVERS; i++) {
    // Entries fit by the sizes above: 24 * (18 + 1 + 255 + 1) < 8192 - 32.
    int n = snprintf(buf + len, DB_HEALTH_FILE_MAX - kEndLineLen - len,
                     "%lld %s\n", h.entries[i].down_since, h.entries[i].server);
    if (n < 0 || len + n >= DB_HEALTH_FILE_MAX - kEndLineLen) break;
    len += static_cast<size_t>(n);
  }
  len += static_cast<size_t>(snprintf(buf + len, DB_HEALTH_FILE_MAX - len,
                                      "end %08x\n", fnv1a(buf, len)));
  return len;
}

const DB_HEALTH_ENTRY* db_health_find(const DB_HEALTH& h, const char* server) {
  for (int i = 0; i < h.count; i++) {
    if (strcmp(h.entries[i].server, server) == 0) return &h.entries[i];
  }
  return nullptr;
}

void db_health_order(const DB_HEALTH& h,
                     const std::vector<std::string>& servers,
                     std::vector<size_t>& order) {
  order.clear();
  for (int pass = 0; pass < 2; pass++) {
    for (size_t k = 0; k < servers.size(); k++) {
      bool down = db_health_find(h, servers[k].c_str()) != nullptr;
      if (down == (pass == 1)) order.push_back(k);
    }
  }
}

void db_health_read(DB_HEALTH& h, long long now) {
  h.count = 0;
  h.problem[0] = '\0';
  char path[PATH_MAX];
  if (!db_health_path(path, sizeof path) || !path[0]) return;
  // O_NONBLOCK: a FIFO put there must not stop the program.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) refuse(h, open_error(errno));
    return;
  }
  struct stat st;
  char text[DB_HEALTH_FILE_MAX + 1];
  ssize_t n = -1;
  const char* why = fstat(fd, &st) != 0 ? strerror(errno) : untrusted(st);
  if (!why) n = read(fd, text, sizeof text);
  close(fd);
  if (why) {
    refuse(h, why);
  } else if (n < 0) {
    refuse(h, strerror(errno));
  } else {
    db_health_parse(text, static_cast<size_t>(n), now, h);
  }
}

DB_HEALTH_WRITE db_health_note(const char* server, bool down, long long now) {
  if (!server || !valid_server(server, strlen(server))) {
    return DB_HEALTH_REFUSED;
  }
  char path[PATH_MAX];
  if (!db_health_path(path, sizeof path) || !path[0]) return DB_HEALTH_OFF;
  // Most notes say what the record says already (a crowd of processes
  // meeting the same dead server): seen without the lock, they write
  // nothing.
  {
    DB_HEALTH seen;
    db_health_read(seen, now);
    const DB_HEALTH_ENTRY* e = db_health_find(seen, server);
    if (!seen.problem[0] &&
        (down ? e && now - e->down_since < DB_HEALTH_TTL / 2 : !e)) {
      return DB_HEALTH_UNCHANGED;
    }
  }
  long long deadline = now_ms() + DB_HEALTH_LOCK_WAIT_MS;
  // The lock is on the record's inode, which a writer's rename replaces:
  // after taking it, a writer checks that the path still names that inode.
  while (now_ms() < deadline) {
    int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags | (down ? O_CREAT : 0), 0600);
    if (fd < 0) {
      return !down && errno == ENOENT ? DB_HEALTH_UNCHANGED : DB_HEALTH_REFUSED;
    }
    struct stat st, now_st;
    if (fstat(fd, &st) != 0 || untrusted(st)) {
      close(fd);
      return DB_HEALTH_REFUSED;
    }
    if (!lock(fd, deadline)) {
      close(fd);
      return DB_HEALTH_BUSY;
    }
    if (lstat(path, &now_st) != 0 || now_st.st_ino != st.st_ino ||
        now_st.st_dev != st.st_dev) {
      close(fd);
      continue;
    }
    char text[DB_HEALTH_FILE_MAX + 1];
    ssize_t n = pread(fd, text, sizeof text, 0);
    DB_HEALTH h;
    // An untrusted text of our own is replaced: it holds nothing to keep.
    // Expired entries go with the next change.
    bool changed =
        n != 0 &&
        (n < 0 || !db_health_parse(text, static_cast<size_t>(n), now, h));
    for (int i = 0; i < h.count; i++) {
      if (strcmp(h.entries[i].server, server) == 0) {
        remove_at(h, i);
        changed = true;
        break;
      }
    }
    if (down) {
      if (h.count == DB_HEALTH_MAX_SERVERS) remove_at(h, 0);
      DB_HEALTH_ENTRY& e = h.entries[h.count++];
      strlcpy(e.server, server, sizeof e.server);
      e.down_since = now;
      changed = true;
    }
    DB_HEALTH_WRITE result = changed ? replace(path, h) : DB_HEALTH_UNCHANGED;
    close(fd);
    return result;
  }
  return DB_HEALTH_BUSY;
}

DB_HEALTH_WRITE db_health_clear() {
  char path[PATH_MAX];
  if (!db_health_path(path, sizeof path) || !path[0]) return DB_HEALTH_OFF;
  struct stat st;
  if (lstat(path, &st) != 0) {
    return errno == ENOENT ? DB_HEALTH_UNCHANGED : DB_HEALTH_REFUSED;
  }
  if (S_ISDIR(st.st_mode) || unlink(path) != 0) return DB_HEALTH_REFUSED;
  char tmp[PATH_MAX];
  if (snprintf(tmp, sizeof tmp, "%s.new", path) < static_cast<int>(sizeof tmp))
    unlink(tmp);
  return DB_HEALTH_WRITTEN;
}
