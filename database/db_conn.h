// One connection to the project database. Every statement of the server
// programs passes through DB_CONN::do_query, which echoes it on request and
// reports it when the server refuses it.
#ifndef ORVEX_DATABASE_DB_CONN_H
#define ORVEX_DATABASE_DB_CONN_H

#include <mysql.h>

// Sizes of the fixed statement buffers of the database layer, terminator
// included. A statement that would not fit is refused, never sent cut short.
constexpr int QUERY_TEXT_MAX = 262144;
constexpr int INSERT_TEXT_MAX = 524288;

// Returned instead of sending a statement that does not fit its buffer.
constexpr int ERR_DB_QUERY_TOO_LONG = -1;

// While true, every statement is written to standard error as
// "query: <statement>\n" before it runs. Programs set it for debugging.
extern bool g_print_queries;

// A fixed underlying type, so that any int cast to it is a valid value that
// set_isolation_level can refuse.
enum ISOLATION_LEVEL : int {
  READ_UNCOMMITTED = 0,
  READ_COMMITTED = 1,
  REPEATABLE_READ = 2,
  SERIALIZABLE = 3
};

// Character set pinned on every connection before it is made. In UTF-8 every
// byte of a multi-byte character is 0x80 or above, so no character can hide
// a quote or a backslash from the escaping of sql_escape.h.
constexpr const char* DB_CONN_CHARSET = "utf8mb4";

class DB_CONN {
 public:
  DB_CONN();

  // Connects to database db_name on db_host as db_user. db_host may carry a
  // port after a colon ("db.example.org:3307"); without one, or with no
  // digits after it, the library's default port is used. A host text over
  // 255 bytes is refused. Automatic reconnection is switched on, the
  // character set is pinned to DB_CONN_CHARSET, and the server reports
  // matched rather than changed rows after an UPDATE.
  // Returns 0; ERR_DB_INIT when the library gives no handle; ERR_DB_CONNECT
  // when the connection cannot be made or the server reads backslashes
  // literally (sql_mode NO_BACKSLASH_ESCAPES, reported with one line on
  // standard error). On failure the handle is released and left null.
  // Does not close an earlier connection: callers close first.
  int open(const char* db_name, const char* db_host, const char* db_user,
           const char* db_passwd);

  // Ends the connection and clears handle; harmless when not connected.
  void close();

  // 0 when the server answers (the library may reconnect a lost link on the
  // way, also inside a transaction, which then stays lost; see below), else
  // ERR_DB_CONNECT. Prints nothing.
  int ping();

  // Runs sql exactly as given; values inside must already be escaped.
  // Returns 0, or the library's nonzero result after writing
  // "Database error: <error>\nquery=<sql>\n" to standard error.
  // Not connected: the same report with "Not connected", and ERR_DB_CONNECT.
  // Inside a lost transaction (see below): the same report, nothing sent,
  // and CR_SERVER_LOST.
  int do_query(const char* sql);

  // The library's text of the last failure, or "Not connected". The text
  // belongs to the library and lives until the next call on the connection.
  const char* error_string();

  // Writes "<context>: Database error: <error_string()>\n" to standard error.
  void print_error(const char* context);

  // Rows matched by the last UPDATE, rows of the last stored result, or rows
  // written by the last other statement; -1 after a failure or when not
  // connected.
  int affected_rows();

  // The id the server gave to this connection's last insert. The failure
  // value of do_query when the lookup statement fails; ERR_DB_NO_ROW when it
  // yields nothing.
  int insert_id();

  // "START TRANSACTION", "COMMIT", "ROLLBACK": the result of do_query.
  // Between a successful start_transaction and a successful commit, or any
  // rollback, automatic reconnection is off, so that no statement meant for
  // the transaction runs alone on a new session. If the session is lost all
  // the same (ping reconnects), the transaction is lost: every statement,
  // COMMIT included, is refused until rollback_transaction or a new
  // start_transaction, so that nothing reports success for work the server
  // dropped. A failed COMMIT leaves the transaction open: roll it back.
  int start_transaction();
  int commit_transaction();
  int rollback_transaction();

  // Sets the level of this connection's later transactions: the result of
  // do_query, or -1 without a statement for a value outside the enumeration.
  int set_isolation_level(ISOLATION_LEVEL iso_level);

  MYSQL* handle;  // null while not connected
  // Server thread id of the session that holds the open transaction; 0 when
  // none was opened by start_transaction.
  unsigned long transaction_session;

 private:
  // The library's automatic reconnection gives a new session the server's
  // defaults. After every call that may have reconnected, a new session is
  // checked as open checks a first one (a NO_BACKSLASH_ESCAPES server closes
  // the connection: ERR_DB_CONNECT, with a report) and given this
  // connection's isolation level again. The statement that met the new
  // session has already run on it by then.
  int check_session();
  unsigned long session;  // thread id of the session last checked
  int isolation;          // level set by set_isolation_level, or -1

  // True when a transaction was opened on a session that is gone.
  bool transaction_lost();
  // Forgets the transaction and switches reconnection back on.
  void end_transaction();
};

#endif
