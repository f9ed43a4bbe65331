#include "database/db_conn.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/str_util.h"
#include "database/tablerow.h"

bool g_print_queries = false;

namespace {

// When automatic reconnection is switched on depends on the client library
// the program is built against: some versions reset the option while
// connecting, others need it before.
enum class Reconnect { kNever, kAfterConnect, kBeforeConnect };

constexpr Reconnect reconnect_for(long version) {
  if (version <= 50012) return Reconnect::kNever;
  if (version <= 50018) return Reconnect::kAfterConnect;
  if (version <= 50099) return Reconnect::kBeforeConnect;
  if (version <= 50105) return Reconnect::kAfterConnect;
  return Reconnect::kBeforeConnect;
}

constexpr Reconnect kReconnect = reconnect_for(MYSQL_VERSION_ID);

// Run by the library first on every new session: takes NO_BACKSLASH_ESCAPES
// out of whatever sql_mode the server's default, its global mode or its
// init_connect gave the session, keeping every other mode.
const char* const kForceEscapes =
    "SET SESSION sql_mode=TRIM(BOTH ',' FROM REPLACE(CONCAT(',', "
    "@@SESSION.sql_mode, ','), ',NO_BACKSLASH_ESCAPES,', ','))";

const char* const kIsolationText[] = {"READ UNCOMMITTED", "READ COMMITTED",
                                      "REPEATABLE READ", "SERIALIZABLE"};

constexpr int kIsolationQueryMax = 64;

void isolation_query(char (&buf)[kIsolationQueryMax], int level) {
  snprintf(buf, sizeof buf, "SET SESSION TRANSACTION ISOLATION LEVEL %s",
           kIsolationText[level]);
}

const char* const kUnsafeText =
    "the session's sql_mode has NO_BACKSLASH_ESCAPES, under which escaped "
    "texts are unsafe; reopen the connection";
const char* const kLostText =
    "the session was lost inside a transaction, whose work is gone; roll it "
    "back";
const char* const kCommitFailedText =
    "the transaction was lost and its COMMIT has failed already; nothing to "
    "commit";

// Errors after which the session is gone (the server was left, killed the
// session, or went away).
bool session_gone(unsigned err) {
  return err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST ||
         err == CR_SERVER_LOST_EXTENDED || err == ER_CONNECTION_KILLED;
}

constexpr int kHostTextMax = 256;
constexpr long kPortMax = 65535;

// Splits "name[:port]" in place. The port is read as atoi reads it: leading
// blanks, an optional sign, then decimal digits (0 when there are none).
// False for a port outside 0..65535, which would wrap to another port.
bool split_host_port(char* host, unsigned& port) {
  port = 0;
  char* colon = strchr(host, ':');
  if (!colon) return true;
  *colon = '\0';
  const char* p = colon + 1;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > kPortMax) return false;
  }
  if (negative && value != 0) return false;
  port = static_cast<unsigned>(value);
  return true;
}

}  // namespace

DB_CONN::DB_CONN()
    : handle(nullptr),
      state_(CLOSED),
      session_(0),
      isolation_(-1),
      cursors_(nullptr) {}

void DB_CONN::set_reconnect(bool on) {
  if (kReconnect == Reconnect::kNever) return;
  // The library will not replace a session that it last saw inside a
  // transaction; once the layer has taken that transaction as lost, the flag
  // is stale.
  if (on) handle->server_status &= ~SERVER_STATUS_IN_TRANS;
  my_bool value = on ? 1 : 0;
  mysql_options(handle, MYSQL_OPT_RECONNECT, &value);
}

int DB_CONN::open(const char* db_name, const char* db_host, const char* db_user,
                  const char* db_passwd) {
  state_ = CLOSED;
  isolation_ = -1;
  handle = mysql_init(nullptr);
  if (!handle) return ERR_DB_INIT;

  // Any failure below releases the library object and leaves no handle.
  auto fail = [this](int code) {
    mysql_close(handle);
    handle = nullptr;
    return code;
  };

  if (kReconnect == Reconnect::kBeforeConnect) set_reconnect(true);
  // Options rather than statements, so that they also hold after an
  // automatic reconnection.
  if (mysql_options(handle, MYSQL_SET_CHARSET_NAME, DB_CONN_CHARSET) != 0 ||
      mysql_options(handle, MYSQL_INIT_COMMAND, kForceEscapes) != 0) {
    return fail(ERR_DB_CONNECT);
  }

  char host[kHostTextMax];
  const char* host_arg = nullptr;
  unsigned port = 0;
  if (db_host) {
    if (strlcpy(host, db_host, sizeof host) >= sizeof host) {
      return fail(ERR_DB_CONNECT);  // cut, it could name another host
    }
    if (!split_host_port(host, port)) return fail(ERR_DB_CONNECT);
    host_arg = host;
  }

  if (g_print_queries) fprintf(stderr, "query: %s\n", kForceEscapes);
  if (!mysql_real_connect(handle, host_arg, db_user, db_passwd, db_name, port,
                          nullptr, CLIENT_FOUND_ROWS)) {
    return fail(ERR_DB_CONNECT);
  }
  // The init command ran last, so its status flags are the session's.
  if (handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    fprintf(stderr, "Database error: %s\n", kUnsafeText);
    return fail(ERR_DB_CONNECT);
  }

  if (kReconnect == Reconnect::kAfterConnect) set_reconnect(true);
  session_ = mysql_thread_id(handle);
  state_ = READY;
  return 0;
}

void DB_CONN::enumeration_started(CURSOR* cursor) {
  cursor->owner = this;
  cursor->prev_open = nullptr;
  cursor->next_open = cursors_;
  if (cursors_) cursors_->prev_open = cursor;
  cursors_ = cursor;
}

void DB_CONN::enumeration_ended(CURSOR* cursor) {
  if (cursor->prev_open) {
    cursor->prev_open->next_open = cursor->next_open;
  } else {
    cursors_ = cursor->next_open;
  }
  if (cursor->next_open) cursor->next_open->prev_open = cursor->prev_open;
  cursor->owner = nullptr;
  cursor->prev_open = cursor->next_open = nullptr;
}

void DB_CONN::close() {
  while (CURSOR* cursor = cursors_) {
    // Detached from the handle, a streamed result is released without
    // reading the rest of its rows from a server about to be left.
    cursor->result_set->handle = nullptr;
    mysql_free_result(cursor->result_set);
    cursor->result_set = nullptr;
    cursor->active = false;
    enumeration_ended(cursor);
  }
  if (handle) mysql_close(handle);
  handle = nullptr;
  state_ = CLOSED;
}

bool DB_CONN::after_statement(bool quiet) {
  unsigned long id = mysql_thread_id(handle);
  if (id != session_) {
    session_ = id;
    if (state_ == IN_TRANSACTION) {
      // Not expected with reconnection off; the statement ran outside the
      // transaction all the same.
      state_ = TRANSACTION_LOST;
      if (!quiet) fprintf(stderr, "Database error: %s\n", kLostText);
      return false;
    }
    if (g_print_queries) {
      // The library ran them on the new session, before the statement.
      fprintf(stderr, "query: %s\n", kForceEscapes);
      if (isolation_ >= 0) {
        char query[kIsolationQueryMax];
        isolation_query(query, isolation_);
        fprintf(stderr, "query: %s\n", query);
      }
    }
  }
  if (handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    state_ = UNSAFE;
    if (!quiet) fprintf(stderr, "Database error: %s\n", kUnsafeText);
    return false;
  }
  return true;
}

int DB_CONN::ping() {
  if (state_ == CLOSED || state_ == UNSAFE || state_ == TRANSACTION_LOST) {
    return ERR_DB_CONNECT;
  }
  if (mysql_ping(handle)) {
    if (state_ == IN_TRANSACTION && session_gone(mysql_errno(handle))) {
      state_ = TRANSACTION_LOST;
    }
    return ERR_DB_CONNECT;
  }
  return after_statement(true) ? 0 : ERR_DB_CONNECT;
}

void DB_CONN::refuse(const char* sql, const char* why) {
  fprintf(stderr, "Database error: %s\nquery=%s\n", why, sql);
}

int DB_CONN::run(const char* sql, Kind kind) {
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql);
  switch (state_) {
    case CLOSED: refuse(sql, "Not connected"); return ERR_DB_CONNECT;
    case UNSAFE: refuse(sql, kUnsafeText); return ERR_DB_CONNECT;
    case TRANSACTION_LOST:
      if (kind == kOther) {
        refuse(sql, kLostText);
        return CR_SERVER_LOST;
      }
      set_reconnect(true);
      state_ = READY;
      if (kind == kCommit) {  // the caller is told now
        state_ = COMMIT_FAILED;
        refuse(sql, kLostText);
        return CR_SERVER_LOST;
      }
      break;
    case COMMIT_FAILED:
      if (kind == kCommit) {
        refuse(sql, kCommitFailedText);
        return CR_SERVER_LOST;
      }
      state_ = READY;
      break;
    case READY:
    case IN_TRANSACTION: break;
  }

  int retval = mysql_query(handle, sql);
  if (retval) {
    fprintf(stderr, "Database error: %s\nquery=%s\n", error_string(), sql);
    if (state_ == IN_TRANSACTION) {
      if (kind == kRollback) {
        set_reconnect(true);
        state_ = READY;
      } else if (session_gone(mysql_errno(handle))) {
        if (kind == kCommit) {
          set_reconnect(true);
          state_ = COMMIT_FAILED;
        } else {
          state_ = TRANSACTION_LOST;
        }
      }
    }
    return retval;
  }
  if (!after_statement(false)) {
    return state_ == UNSAFE ? ERR_DB_CONNECT : CR_SERVER_LOST;
  }
  // The server says with every answer whether a transaction is open, also
  // one that a statement of the program's own opened ("BEGIN", autocommit
  // off): the state follows, at no cost.
  bool open_transaction = handle->server_status & SERVER_STATUS_IN_TRANS;
  if (state_ == READY && open_transaction) {
    state_ = IN_TRANSACTION;
    set_reconnect(false);
  } else if (state_ == IN_TRANSACTION && !open_transaction) {
    state_ = READY;
    set_reconnect(true);
  }
  return 0;
}

// The statements that end or start a transaction, in any case, with blanks
// around them; "ROLLBACK TO SAVEPOINT" and the like are other statements.
DB_CONN::Kind DB_CONN::kind_of(const char* sql) {
  static const struct {
    const char* text;
    Kind kind;
  } kTexts[] = {{"COMMIT", kCommit},
                {"ROLLBACK", kRollback},
                {"START TRANSACTION", kStart},
                {"BEGIN", kStart}};
  while (isspace(static_cast<unsigned char>(*sql))) ++sql;
  for (const auto& t : kTexts) {
    size_t n = strlen(t.text);
    if (strncasecmp(sql, t.text, n) != 0) continue;
    const char* rest = sql + n;
    while (isspace(static_cast<unsigned char>(*rest))) ++rest;
    if (*rest == '\0') return t.kind;
  }
  return kOther;
}

int DB_CONN::do_query(const char* sql) { return run(sql, kind_of(sql)); }

const char* DB_CONN::error_string() {
  return handle ? mysql_error(handle) : "Not connected";
}

void DB_CONN::print_error(const char* context) {
  fprintf(stderr, "%s: Database error: %s\n", context, error_string());
}

int DB_CONN::affected_rows() {
  if (!handle) return -1;
  return static_cast<int>(mysql_affected_rows(handle));
}

int DB_CONN::insert_id() {
  int retval = do_query("select LAST_INSERT_ID()");
  if (retval) return retval;
  MYSQL_RES* result = mysql_store_result(handle);
  if (!result) return ERR_DB_NO_ROW;
  MYSQL_ROW row = mysql_fetch_row(result);
  int id = (row && row[0]) ? atoi(row[0]) : ERR_DB_NO_ROW;
  mysql_free_result(result);
  return id;
}

int DB_CONN::start_transaction() { return do_query("START TRANSACTION"); }

int DB_CONN::commit_transaction() { return do_query("COMMIT"); }

int DB_CONN::rollback_transaction() { return do_query("ROLLBACK"); }

int DB_CONN::set_isolation_level(ISOLATION_LEVEL iso_level) {
  if (iso_level < READ_UNCOMMITTED || iso_level > SERIALIZABLE) return -1;
  char query[kIsolationQueryMax];
  isolation_query(query, iso_level);
  int retval = do_query(query);
  if (retval == 0 && iso_level != isolation_) {
    // Also for every later session; the library keeps the statements it is
    // given in order, so the last level wins.
    mysql_options(handle, MYSQL_INIT_COMMAND, query);
    isolation_ = iso_level;
  }
  return retval;
}
