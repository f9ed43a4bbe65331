#include "database/db_conn.h"

#include <errmsg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"

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

void set_reconnect(MYSQL* mysql, bool on) {
  my_bool value = on ? 1 : 0;
  mysql_options(mysql, MYSQL_OPT_RECONNECT, &value);
}

void enable_reconnect(MYSQL* mysql) { set_reconnect(mysql, true); }

constexpr int kHostTextMax = 256;
constexpr unsigned kPortMax = 65535;

// Splits "name[:port]" in place. The port is the run of decimal digits after
// the first colon (0 when there is none). False for a port above 65535,
// which would otherwise wrap to some other port.
bool split_host_port(char* host, unsigned& port) {
  port = 0;
  char* colon = strchr(host, ':');
  if (!colon) return true;
  *colon = '\0';
  for (const char* p = colon + 1; *p >= '0' && *p <= '9'; ++p) {
    port = port * 10 + static_cast<unsigned>(*p - '0');
    if (port > kPortMax) return false;
  }
  return true;
}

}  // namespace

DB_CONN::DB_CONN()
    : handle(nullptr), transaction_session(0), session(0), isolation(-1) {}

namespace {

const char* const kIsolationText[] = {"READ UNCOMMITTED", "READ COMMITTED",
                                      "REPEATABLE READ", "SERIALIZABLE"};

void report_no_backslash_escapes(const char* what) {
  fprintf(stderr,
          "Database error: the server's sql_mode has NO_BACKSLASH_ESCAPES, "
          "under which escaped texts are unsafe; connection %s\n",
          what);
}

}  // namespace

int DB_CONN::open(const char* db_name, const char* db_host, const char* db_user,
                  const char* db_passwd) {
  transaction_session = 0;
  isolation = -1;
  handle = mysql_init(nullptr);
  if (!handle) return ERR_DB_INIT;

  // Any failure below releases the library object and leaves no handle.
  auto fail = [this](int code) {
    mysql_close(handle);
    handle = nullptr;
    return code;
  };

  if (kReconnect == Reconnect::kBeforeConnect) enable_reconnect(handle);
  // An option rather than a statement, so that it also holds after an
  // automatic reconnection.
  if (mysql_options(handle, MYSQL_SET_CHARSET_NAME, DB_CONN_CHARSET) != 0) {
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

  if (!mysql_real_connect(handle, host_arg, db_user, db_passwd, db_name, port,
                          nullptr, CLIENT_FOUND_ROWS)) {
    return fail(ERR_DB_CONNECT);
  }

  // Under NO_BACKSLASH_ESCAPES the server takes a backslash literally, and a
  // text escaped with backslashes can end its quotes early: refuse rather
  // than hand back a connection open to injection.
  if (handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    report_no_backslash_escapes("refused");
    return fail(ERR_DB_CONNECT);
  }

  if (kReconnect == Reconnect::kAfterConnect) enable_reconnect(handle);
  session = mysql_thread_id(handle);
  return 0;
}

int DB_CONN::check_session() {
  if (!handle) return ERR_DB_CONNECT;
  unsigned long id = mysql_thread_id(handle);
  if (id == session) return 0;
  session = id;
  if (handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    report_no_backslash_escapes("closed");
    close();
    return ERR_DB_CONNECT;
  }
  if (isolation >= 0) {
    char query[256];
    snprintf(query, sizeof query, "SET SESSION TRANSACTION ISOLATION LEVEL %s",
             kIsolationText[isolation]);
    if (mysql_query(handle, query)) {
      fprintf(stderr, "Database error: %s\nquery=%s\n", error_string(), query);
    }
  }
  return 0;
}

void DB_CONN::close() {
  if (handle) mysql_close(handle);
  handle = nullptr;
  transaction_session = 0;
}

int DB_CONN::ping() {
  if (!handle) return ERR_DB_CONNECT;
  // A dead link comes back even inside a transaction; the session's id then
  // differs and the transaction counts as lost.
  if (transaction_session) set_reconnect(handle, true);
  int retval = mysql_ping(handle);
  if (transaction_session) set_reconnect(handle, false);
  if (retval == 0) retval = check_session();
  return retval ? ERR_DB_CONNECT : 0;
}

bool DB_CONN::transaction_lost() {
  return handle && transaction_session &&
         mysql_thread_id(handle) != transaction_session;
}

void DB_CONN::end_transaction() {
  if (transaction_session && handle) {
    set_reconnect(handle, kReconnect != Reconnect::kNever);
  }
  transaction_session = 0;
}

int DB_CONN::do_query(const char* sql) {
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql);
  if (transaction_lost()) {
    fprintf(stderr,
            "Database error: the session was lost inside a transaction, "
            "whose work is gone; roll it back\nquery=%s\n",
            sql);
    return CR_SERVER_LOST;
  }
  int retval = handle ? mysql_query(handle, sql) : ERR_DB_CONNECT;
  if (retval) {
    fprintf(stderr, "Database error: %s\nquery=%s\n", error_string(), sql);
  } else if (check_session()) {
    return ERR_DB_CONNECT;  // reported; the connection is closed
  }
  return retval;
}

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

int DB_CONN::start_transaction() {
  end_transaction();  // a lost one is given up; a live one the server commits
  int retval = do_query("START TRANSACTION");
  if (retval == 0) {
    transaction_session = mysql_thread_id(handle);
    set_reconnect(handle, false);
  }
  return retval;
}

int DB_CONN::commit_transaction() {
  int retval = do_query("COMMIT");
  if (retval == 0) end_transaction();
  return retval;
}

int DB_CONN::rollback_transaction() {
  // Whatever ROLLBACK answers, a lost session's work is gone already.
  end_transaction();
  return do_query("ROLLBACK");
}

int DB_CONN::set_isolation_level(ISOLATION_LEVEL iso_level) {
  if (iso_level < READ_UNCOMMITTED || iso_level > SERIALIZABLE) return -1;
  char query[256];
  snprintf(query, sizeof query, "SET SESSION TRANSACTION ISOLATION LEVEL %s",
           kIsolationText[iso_level]);
  int retval = do_query(query);
  if (retval == 0) isolation = iso_level;
  return retval;
}
