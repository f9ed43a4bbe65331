#include "database/db_conn.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/str_util.h"
#include "database/readiness.h"
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
// init_connect gave the session, keeping every other mode; and sets the
// character set again, which the server's init_connect may have changed
// behind the client's back (in GBK a backslash can end a character).
#define ORVEX_NAMES "utf8mb4"
const char* const kForceEscapes =
    "SET NAMES " ORVEX_NAMES
    ", SESSION sql_mode=TRIM(BOTH ',' FROM REPLACE("
    "CONCAT(',', @@SESSION.sql_mode, ','), ',NO_BACKSLASH_ESCAPES,', ','))";

constexpr bool same_text(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || same_text(a + 1, b + 1));
}
static_assert(same_text(ORVEX_NAMES, DB_CONN_CHARSET),
              "the init command sets the character set the client pins");
#undef ORVEX_NAMES

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
const char* const kInsertLostText =
    "the session of the last insert was lost, and its id with it";
const char* const kCommitFailedText =
    "the transaction was lost and its COMMIT has failed already; nothing to "
    "commit";

// Errors after which the session is gone (the server was left, killed the
// session, or went away).
bool session_gone(unsigned err) {
  return err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST ||
         err == CR_SERVER_LOST_EXTENDED || err == ER_CONNECTION_KILLED;
}

// Errors after which a server list moves on: the session is gone, the
// library could not replace it on the same server, or a Galera node outside
// the primary component answers "not yet prepared".
bool server_unusable(unsigned err) {
  return session_gone(err) || err == CR_CONNECTION_ERROR ||
         err == CR_CONN_HOST_ERROR || err == ER_UNKNOWN_COM_ERROR;
}

// Causal reads: wait for what the cluster committed before each read.
const char* const kCausalOn = "SET SESSION wsrep_sync_wait=1";
const char* const kCausalOff = "SET SESSION wsrep_sync_wait=0";

// Names the option file every session reads (TLS and the like); unset, none
// is read, the system's neither.
const char* const kOptionFileEnv = "ORVEX_DB_OPTION_FILE";
const char* const kOptionGroup = "orvex";

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

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)); }

void switch_reconnect(MYSQL* m, bool on) {
  if (kReconnect == Reconnect::kNever) return;
  // The library will not replace a session that it last saw inside a
  // transaction; once the layer has taken that transaction as lost, the flag
  // is stale.
  if (on) m->server_status &= ~SERVER_STATUS_IN_TRANS;
  my_bool value = on ? 1 : 0;
  mysql_options(m, MYSQL_OPT_RECONNECT, &value);
}

void assign(std::string& to, bool& null, const char* from) {
  null = from == nullptr;
  to = from ? from : "";
}

}  // namespace

DB_CONN::DB_CONN()
    : handle(nullptr),
      null_host_(true),
      null_name_(true),
      null_user_(true),
      null_passwd_(true),
      current_(0),
      failover_pending_(false),
      state_(CLOSED),
      session_(0),
      isolation_(-1),
      causal_(false),
      cursors_(nullptr) {
  connect_error_[0] = '\0';
}

void DB_CONN::set_reconnect(bool on) { switch_reconnect(handle, on); }

bool split_db_hosts(const char* db_host, std::vector<std::string>& servers) {
  servers.clear();
  char buf[kHostTextMax];
  if (strlcpy(buf, db_host ? db_host : "", sizeof buf) >= sizeof buf) {
    return false;
  }
  bool list = strchr(buf, ',') != nullptr;
  for (char* item = buf;;) {
    char* comma = strchr(item, ',');
    if (comma) *comma = '\0';
    while (is_blank(*item)) ++item;
    char* end = item + strlen(item);
    while (end > item && is_blank(end[-1])) *--end = '\0';
    servers.push_back(item);
    unsigned port;
    if ((list && *item == '\0') || !split_host_port(item, port)) {
      servers.clear();
      return false;
    }
    if (!comma) return true;
    item = comma + 1;
  }
}

void DB_CONN::note_failure(size_t k, const char* why, const char* detail) {
  size_t used = strlen(connect_error_);
  if (used + 1 >= sizeof connect_error_) return;
  snprintf(connect_error_ + used, sizeof connect_error_ - used, "%s%s: %s%s",
           used ? "; " : "",
           null_host_ ? "(default host)" : servers_[k].text.c_str(), why,
           detail);
}

int DB_CONN::connect_server(size_t k, MYSQL*& out) {
  MYSQL* m = mysql_init(nullptr);
  if (!m) {
    note_failure(k, "the client library gives no handle", "");
    return ERR_DB_INIT;
  }
  auto fail = [&](const char* why, const char* detail) {
    note_failure(k, why, detail);
    mysql_close(m);
    return ERR_DB_CONNECT;
  };

  if (kReconnect == Reconnect::kBeforeConnect) switch_reconnect(m, true);
  // Options rather than statements, so that they also hold after an
  // automatic reconnection.
  char isolation[kIsolationQueryMax];
  if (isolation_ >= 0) isolation_query(isolation, isolation_);
  if (mysql_options(m, MYSQL_SET_CHARSET_NAME, DB_CONN_CHARSET) != 0 ||
      mysql_options(m, MYSQL_INIT_COMMAND, kForceEscapes) != 0 ||
      (isolation_ >= 0 && mysql_options(m, MYSQL_INIT_COMMAND, isolation)) ||
      (causal_ && mysql_options(m, MYSQL_INIT_COMMAND, kCausalOn))) {
    return fail(mysql_error(m), "");
  }
  if (!option_file_.empty() &&
      (mysql_options(m, MYSQL_READ_DEFAULT_FILE, option_file_.c_str()) ||
       mysql_options(m, MYSQL_READ_DEFAULT_GROUP, kOptionGroup))) {
    return fail(mysql_error(m), "");
  }

  echo_init_commands();
  const Server& s = servers_[k];
  if (!mysql_real_connect(m, null_host_ ? nullptr : s.host.c_str(),
                          null_user_ ? nullptr : user_.c_str(),
                          null_passwd_ ? nullptr : passwd_.c_str(),
                          null_name_ ? nullptr : name_.c_str(), s.port, nullptr,
                          CLIENT_FOUND_ROWS)) {
    // A server that requires TLS refuses a plain connection with the very
    // error of a wrong password (1045); said only where it may be so: the
    // connection went out plain to a server whose greeting offered TLS.
    unsigned long caps = 0;
    bool plain =
        option_file_.empty() && mysql_errno(m) == ER_ACCESS_DENIED_ERROR &&
        mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_CAPABILITIES, &caps) ==
            0 &&
        (caps & CLIENT_SSL);
    return fail(mysql_error(m),
                plain ? " (or, since this connection was not encrypted and "
                        "the server offers TLS: the server requires secure "
                        "transport, which it answers with this same error; "
                        "see ORVEX_DB_OPTION_FILE)"
                      : "");
  }
  // The init commands ran last, so their status flags are the session's.
  if (m->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    fprintf(stderr, "Database error: %s\n", kUnsafeText);
    return fail(kUnsafeText, "");
  }
  // An init command of the option file may set another character set after
  // ours (the server reports it); escaping relies on this one.
  if (strcmp(mysql_character_set_name(m), DB_CONN_CHARSET) != 0) {
    return fail("the option file changed the character set", "");
  }
  if (servers_.size() > 1) {
    DB_READINESS ready;
    if (probe_readiness(m, causal_, false, ready) != DB_READY) {
      return fail(ready.reason, "");
    }
  }
  // Again after connecting: an option file read while connecting may say
  // reconnect=0, and a lost session would then never be replaced.
  switch_reconnect(m, true);
  out = m;
  return 0;
}

int DB_CONN::open(const char* db_name, const char* db_host, const char* db_user,
                  const char* db_passwd) {
  state_ = CLOSED;
  isolation_ = -1;
  causal_ = false;
  failover_pending_ = false;
  current_ = 0;
  connect_error_[0] = '\0';
  handle = nullptr;
  servers_.clear();
  assign(name_, null_name_, db_name);
  assign(user_, null_user_, db_user);
  assign(passwd_, null_passwd_, db_passwd);

  null_host_ = db_host == nullptr;
  if (null_host_) {
    servers_.push_back(Server{"", "", 0});
  } else {
    std::vector<std::string> texts;
    if (!split_db_hosts(db_host, texts)) {
      // Cut, an empty item or a port that would wrap: it could name another
      // server.
      snprintf(connect_error_, sizeof connect_error_,
               "db_host: not a server list (over %d bytes, an empty server, "
               "or a port above %ld)",
               kHostTextMax - 1, kPortMax);
      return ERR_DB_CONNECT;
    }
    for (const std::string& text : texts) {
      char host[kHostTextMax];
      unsigned port;
      strlcpy(host, text.c_str(), sizeof host);
      split_host_port(host, port);
      servers_.push_back(Server{text, host, port});
    }
  }

  const char* file = getenv(kOptionFileEnv);
  option_file_ = file ? file : "";
  // The client library skips a file it cannot read as text (a directory)
  // without a word, and the connection would go out without its TLS.
  struct stat st;
  errno = 0;
  if (!option_file_.empty() &&
      (stat(file, &st) != 0 || access(file, R_OK) != 0 ||
       !S_ISREG(st.st_mode))) {
    snprintf(connect_error_, sizeof connect_error_, "%s=%s: %s", kOptionFileEnv,
             file, errno ? strerror(errno) : "not a regular file");
    return ERR_DB_CONNECT;
  }

  int retval = ERR_DB_CONNECT;
  for (size_t k = 0; k < servers_.size(); k++) {
    MYSQL* m = nullptr;
    retval = connect_server(k, m);
    if (retval == ERR_DB_INIT) return retval;
    if (retval == 0) {
      handle = m;
      current_ = k;
      session_ = mysql_thread_id(handle);
      connect_error_[0] = '\0';
      state_ = READY;
      return 0;
    }
  }
  return retval;
}

bool DB_CONN::fail_over() {
  connect_error_[0] = '\0';
  for (size_t i = 1; i <= servers_.size(); i++) {
    size_t k = (current_ + i) % servers_.size();
    MYSQL* m = nullptr;
    if (connect_server(k, m) != 0) continue;
    leave_enumerations();
    mysql_close(handle);
    handle = m;
    current_ = k;
    session_ = mysql_thread_id(handle);
    failover_pending_ = false;
    connect_error_[0] = '\0';
    return true;
  }
  return false;
}

const char* DB_CONN::server() const {
  return state_ == CLOSED || servers_.empty() ? ""
                                              : servers_[current_].text.c_str();
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

void DB_CONN::end_enumerations() {
  while (CURSOR* cursor = cursors_) {
    // Detached from the handle, a streamed result is released without
    // reading the rest of its rows from a server about to be left.
    cursor->result_set->handle = nullptr;
    mysql_free_result(cursor->result_set);
    cursor->result_set = nullptr;
    cursor->active = false;
    enumeration_ended(cursor);
  }
}

void DB_CONN::leave_enumerations() {
  for (CURSOR* cursor = cursors_; cursor;) {
    CURSOR* next = cursor->next_open;
    // A whole result set holds its rows already: the program reads it to
    // the end, else its next enumerate would run the selection again on the
    // new server and deliver rows twice. Detached, it no longer points at
    // the session about to be closed.
    cursor->result_set->handle = nullptr;
    if (!cursor->result_set->data) {  // streamed: its rows are on the old one
      mysql_free_result(cursor->result_set);
      cursor->result_set = nullptr;
      cursor->active = false;
      enumeration_ended(cursor);
    }
    cursor = next;
  }
}

void DB_CONN::close() {
  end_enumerations();
  if (handle) mysql_close(handle);
  handle = nullptr;
  state_ = CLOSED;
  failover_pending_ = false;
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
    // The library ran them on the new session, before the statement.
    echo_init_commands();
  }
  if (handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    state_ = UNSAFE;
    if (!quiet) fprintf(stderr, "Database error: %s\n", kUnsafeText);
    return false;
  }
  return true;
}

void DB_CONN::echo_init_commands() const {
  if (!g_print_queries) return;
  fprintf(stderr, "query: %s\n", kForceEscapes);
  if (isolation_ >= 0) {
    char query[kIsolationQueryMax];
    isolation_query(query, isolation_);
    fprintf(stderr, "query: %s\n", query);
  }
  if (causal_) fprintf(stderr, "query: %s\n", kCausalOn);
}

int DB_CONN::ping() {
  if (state_ == CLOSED || state_ == UNSAFE || state_ == TRANSACTION_LOST) {
    return ERR_DB_CONNECT;
  }
  bool list = servers_.size() > 1;
  if (failover_pending_ && state_ != IN_TRANSACTION) {
    return fail_over() ? 0 : ERR_DB_CONNECT;
  }
  if (mysql_ping(handle)) {
    unsigned err = mysql_errno(handle);
    if (state_ == IN_TRANSACTION) {
      if (session_gone(err)) {
        state_ = TRANSACTION_LOST;
        failover_pending_ = list;
      }
    } else if (list && server_unusable(err)) {
      failover_pending_ = true;
      return fail_over() ? 0 : ERR_DB_CONNECT;
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
  if (failover_pending_ && state_ != IN_TRANSACTION && !fail_over()) {
    refuse(sql, connect_error_);
    return ERR_DB_CONNECT;
  }

  int retval = mysql_query(handle, sql);
  if (retval) {
    fprintf(stderr, "Database error: %s\nquery=%s\n", error_string(), sql);
    if (servers_.size() > 1 && server_unusable(mysql_errno(handle))) {
      failover_pending_ = true;  // for the next statement
    }
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
  unsigned long session = session_;
  int retval = do_query("select LAST_INSERT_ID()");
  if (retval) return retval;
  MYSQL_RES* result = mysql_store_result(handle);
  if (session_ != session) {
    // Replaced on the way (reconnection or fail over): the new session
    // answers 0, which would read as an id.
    mysql_free_result(result);
    fprintf(stderr, "Database error: %s\nquery=select LAST_INSERT_ID()\n",
            kInsertLostText);
    return ERR_DB_NO_ROW;
  }
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

int DB_CONN::set_causal_reads(bool on) {
  if (on) {
    // wsrep_sync_wait exists on most servers and does nothing without a
    // running cluster: a reader of a replica would think itself causal.
    int retval = do_query("SELECT @@global.wsrep_on");
    bool galera = false;
    if (retval == 0) {
      MYSQL_RES* res = mysql_store_result(handle);
      MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
      galera = row && row[0] && strcmp(row[0], "1") == 0;
      mysql_free_result(res);
    }
    if (!galera) {
      fprintf(stderr,
              "Database error: causal reads need a Galera cluster node; %s is "
              "not one\n",
              server());
      return retval ? retval : ERR_DB_NOT_GALERA;
    }
  }
  int retval = do_query(on ? kCausalOn : kCausalOff);
  if (retval == 0 && on != causal_) {
    // Also for every later session the library opens on this server.
    mysql_options(handle, MYSQL_INIT_COMMAND, on ? kCausalOn : kCausalOff);
    causal_ = on;
  }
  return retval;
}
