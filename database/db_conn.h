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

#include "common/error_numbers.h"

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

struct CURSOR;

// The session layer. A DB_CONN drives one session of the server at a time;
// the client library replaces a lost session by itself (automatic
// reconnection), and everything a new session needs is handed to the
// library as init commands, which it runs on every connect and reconnect
// before the statement that met the loss:
//   - the escaping guard: sql_mode loses NO_BACKSLASH_ESCAPES (kForceEscapes
//     in db_conn.cpp), whatever the server's default, its global mode or its
//     init_connect made of it;
//   - the isolation level of set_isolation_level, once set.
// No statement of the layer ever runs between a program's statement and its
// result, so result sets and affected-rows counts belong to the program.
// After every statement (a free read of the status flags the server sent)
// the layer checks that backslashes still escape.
//
// States (state_) and transitions:
//   CLOSED         no handle: after construction, a failed open, or close.
//                  open succeeds -> READY. Statements and ping: ERR_DB_CONNECT.
//   READY          statements run; a lost session is replaced.
//                  A statement after which the server reports an open
//                  transaction (start_transaction, the program's own BEGIN,
//                  a write with autocommit off) -> IN_TRANSACTION.
//   IN_TRANSACTION automatic reconnection is off, so that no statement meant
//                  for the transaction runs alone on a new session.
//                  A statement after which the server reports no open
//                  transaction (COMMIT, ROLLBACK), or any failed ROLLBACK
//                  -> READY.
//                  COMMIT fails with the session gone -> COMMIT_FAILED.
//                  another statement, or ping, finds the session gone
//                  -> TRANSACTION_LOST (that statement fails).
//   TRANSACTION_LOST  the server dropped the work; the caller has not been
//                  told by a COMMIT. Every statement is refused, nothing sent
//                  (CR_SERVER_LOST), and ping gives ERR_DB_CONNECT, except:
//                  COMMIT is refused -> COMMIT_FAILED; rollback -> READY;
//                  start_transaction -> READY, then as from READY.
//   COMMIT_FAILED  as READY (a lost session is replaced, ping answers for
//                  the server), except that a COMMIT is refused, nothing
//                  sent, so that a retried COMMIT never reports dropped work
//                  done. Any other statement that runs, a rollback or a
//                  start_transaction -> READY.
//   UNSAFE         a statement left the session reading backslashes
//                  literally (the program's own SET of sql_mode): that
//                  statement and every later one answer ERR_DB_CONNECT with
//                  a report, nothing sent; ping gives ERR_DB_CONNECT.
//                  close (then open) -> CLOSED.
// From every state, close -> CLOSED and ends every enumeration open on the
// connection (see TABLEROW), so row objects may be destroyed afterwards in
// any order.
class DB_CONN {
 public:
  enum State {
    CLOSED,
    READY,
    IN_TRANSACTION,
    TRANSACTION_LOST,
    COMMIT_FAILED,
    UNSAFE
  };

  DB_CONN();

  // Connects to database db_name on db_host as db_user. db_host may carry a
  // port after a colon ("db.example.org:3307"), read as atoi reads it
  // (leading blanks and a sign are skipped); without one, or with no digits
  // after it, the library's default port is used. A host text over 255
  // bytes, or a port outside 0..65535, is refused. Automatic reconnection
  // is switched on, the character set is pinned to DB_CONN_CHARSET, the
  // server reports matched rather than changed rows after an UPDATE, and
  // sql_mode loses NO_BACKSLASH_ESCAPES on this and every later session.
  // Returns 0; ERR_DB_INIT when the library gives no handle; ERR_DB_CONNECT
  // when the connection cannot be made (or the session still reads
  // backslashes literally, reported with one line on standard error). On
  // failure the handle is released and left null. Does not close an earlier
  // connection: callers close first.
  int open(const char* db_name, const char* db_host, const char* db_user,
           const char* db_passwd);

  // Ends every enumeration open on the connection, ends the connection and
  // clears handle; harmless when not connected.
  void close();

  // 0 when the next statement can run: the server answers (the library may
  // replace a lost session on the way) and the state lets statements
  // through. ERR_DB_CONNECT otherwise (CLOSED, UNSAFE, TRANSACTION_LOST, a
  // server that does not answer, or a lost session inside a transaction,
  // which then becomes TRANSACTION_LOST). Prints nothing.
  int ping();

  // Runs sql exactly as given; values inside must already be escaped.
  // Returns 0, or the library's nonzero result after writing
  // "Database error: <error>\nquery=<sql>\n" to standard error. States that
  // refuse a statement (see above) write the same report with their reason
  // and return ERR_DB_CONNECT (CLOSED, UNSAFE) or CR_SERVER_LOST (a lost
  // transaction, a retried COMMIT).
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

  // "START TRANSACTION", "COMMIT", "ROLLBACK": the result of do_query, with
  // the transitions above. do_query knows these texts (and "BEGIN") in any
  // case, so a program that sends them itself gets the same transitions. A
  // COMMIT that fails on a live session leaves the transaction to the server's
  // rules (IN_TRANSACTION): roll it back.
  int start_transaction();
  int commit_transaction();
  int rollback_transaction();

  // Sets the level of this connection's later transactions, on this session
  // and on every later one: the result of do_query, or -1 without a
  // statement for a value outside the enumeration. Each change of level adds
  // one statement to those a new session runs (the last one counts).
  int set_isolation_level(ISOLATION_LEVEL iso_level);

  State state() const { return state_; }

  // Called by TABLEROW when an enumeration takes or gives back a result set
  // of this connection, so that close can end it. The cursor is linked into
  // the connection's list; ended, it is unlinked.
  void enumeration_started(CURSOR* cursor);
  void enumeration_ended(CURSOR* cursor);

  MYSQL* handle;  // null while not connected

 private:
  // What a statement does to the state, beyond running.
  enum Kind { kOther, kStart, kCommit, kRollback };
  static Kind kind_of(const char* sql);
  int run(const char* sql, Kind kind);
  // Echoes the init commands of a new session under g_print_queries, and
  // moves to UNSAFE when the session reads backslashes literally. False,
  // with a report unless quiet, when the statement's session cannot serve.
  bool after_statement(bool quiet);
  void refuse(const char* sql, const char* why);
  void set_reconnect(bool on);

  State state_;
  unsigned long session_;  // thread id of the session last seen
  int isolation_;          // level handed to the library, or -1
  CURSOR* cursors_;        // enumerations open on this connection
};

#endif
