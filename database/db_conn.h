// One connection to the project database. Every statement of the server
// programs passes through DB_CONN::do_query, which echoes it on request and
// reports it when the server refuses it.
#ifndef ORVEX_DATABASE_DB_CONN_H
#define ORVEX_DATABASE_DB_CONN_H

#include <mysql.h>

#include <string>
#include <vector>

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

// The servers of a db_host text as DB_CONN::open reads it: split at commas,
// blanks around each dropped, in order; a text without a comma is one
// server (the empty text and null too: the library's default host). False,
// with servers emptied, for a text over 255 bytes, an empty server in a
// list (",,", a leading or trailing comma), or a port outside 0..65535.
bool split_db_hosts(const char* db_host, std::vector<std::string>& servers);

// The session layer. A DB_CONN drives one session of the server at a time;
// the client library replaces a lost session by itself (automatic
// reconnection), and everything a new session needs is handed to the
// library as init commands, which it runs on every connect and reconnect
// before the statement that met the loss:
//   - the escaping guard: sql_mode loses NO_BACKSLASH_ESCAPES and the
//     character set is DB_CONN_CHARSET again (kForceEscapes in db_conn.cpp),
//     whatever the server's default, its global mode or its init_connect
//     made of them;
//   - the isolation level of set_isolation_level, once set;
//   - causal reads of set_causal_reads, once asked for.
// No statement of the layer ever runs between a program's statement and its
// result, so result sets and affected-rows counts belong to the program.
// After every statement (a free read of the status flags the server sent)
// the layer checks that backslashes still escape.
//
// Server lists: db_host may name several servers, "db1:3306,db2,db3". open
// takes the first, in order, that answers and is ready; a Galera node is
// ready when it belongs to the primary component (one query on each new
// session of a list, none on a single server and none per statement). A
// session on a list that is lost outside a transaction (the server went
// away, or answers 1047 "not yet prepared") is not replaced on the same
// server: the statement that met the loss fails as on one server, and the
// next statement, or ping, first opens a session on the
// next server of the list that answers and is ready, wrapping around so that
// the lost one is tried last ("fail over"). The new session gets the same
// init commands. A statement is never run again. No server ready: the
// statement is refused, nothing sent (ERR_DB_CONNECT), and the next one
// tries again. A whole enumeration open on the lost session goes on to
// its end (its rows were all fetched); a streamed one is ended. A session
// killed on a server that still answers may be replaced there by the
// client library, without the readiness query; should that node no longer
// be ready, its first refusal (1047) moves the connection on.
//
// TLS and other client options: when the environment variable
// ORVEX_DB_OPTION_FILE names a file, every session reads the [orvex] group
// (and the [client] groups) of that file only, as the client library reads
// option files: "ssl-ca=...", "ssl-verify-server-cert" and the like. The
// system's option files are never read.
//
// States (state_) and transitions:
//   CLOSED         no handle: after construction, a failed open, or close.
//                  open succeeds -> READY. Statements and ping: ERR_DB_CONNECT.
//   READY          statements run; a lost session is replaced (on one
//                  server by the library, on the same server; on a list by
//                  the next statement or ping, on the next server ready).
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
//                  told by a COMMIT (on a list, the next session will be on
//                  the next server ready). Every statement is refused, nothing
//                  sent (CR_SERVER_LOST), and ping gives ERR_DB_CONNECT,
//                  except: COMMIT is refused -> COMMIT_FAILED; rollback ->
//                  READY; start_transaction -> READY, then as from READY.
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

  // Connects to database db_name on db_host as db_user. db_host is one
  // server or a comma-separated list of them (see above), blanks around each
  // dropped. Each may carry a port after a colon ("db.example.org:3307"),
  // read as atoi reads it (leading blanks and a sign are skipped); without
  // one, or with no digits after it, the library's default port is used. A
  // host text over 255 bytes, an empty server in a list (",," or a trailing
  // comma), or a port outside 0..65535 is refused. Automatic reconnection
  // is switched on, the character set is pinned to DB_CONN_CHARSET, the
  // server reports matched rather than changed rows after an UPDATE, and
  // sql_mode loses NO_BACKSLASH_ESCAPES on this and every later session.
  // Returns 0; ERR_DB_INIT when the library gives no handle; ERR_DB_CONNECT
  // when the connection cannot be made (or the session still reads
  // backslashes literally, reported with one line on standard error; or the
  // option file is not a readable regular file, or changed the character
  // set). Prints nothing else: connect_error() says why each server was not
  // taken. On failure the handle is released and left null. Does not close
  // an earlier connection: callers close first.
  int open(const char* db_name, const char* db_host, const char* db_user,
           const char* db_passwd);

  // Ends every enumeration open on the connection, ends the connection and
  // clears handle; harmless when not connected.
  void close();

  // 0 when the next statement can run: the server answers (the library may
  // replace a lost session on the way) and the state lets statements
  // through. ERR_DB_CONNECT otherwise (CLOSED, UNSAFE, TRANSACTION_LOST, a
  // server that does not answer, or a lost session inside a transaction,
  // which then becomes TRANSACTION_LOST). On a list, a lost session outside
  // a transaction fails over first (0 when a server was ready). It does not
  // ask a Galera node whether it is still ready: the first statement it
  // refuses with 1047 moves the connection on. Prints nothing.
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
  // yields nothing, or (with a report) when the session of the insert was
  // replaced before the lookup: its id is gone with it.
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

  // Causal reads on a Galera node: every read waits until the node has
  // applied what the cluster committed before it (wsrep_sync_wait=1), on
  // this session and every later one, also after a fail over. Off again with
  // false. Turning them on asks the server first (one statement): a server
  // that is not a running Galera node (a replica, a plain server) cannot
  // give them and is refused with ERR_DB_NOT_GALERA and one report line,
  // nothing changed; a failed statement gives do_query's result. On a list,
  // a fail over then skips servers that are not Galera nodes.
  int set_causal_reads(bool on);

  State state() const { return state_; }

  // The server of db_host in use, as written there ("db2:3306"), "" when
  // closed. Belongs to the connection, valid until the next open or fail
  // over.
  const char* server() const;

  // Why the last open or fail over did not take a server: one
  // "<server>: <reason>" per server tried, joined by "; ", cut at 1023
  // bytes; "" when the last one succeeded. Belongs to the connection.
  const char* connect_error() const { return connect_error_; }

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
  void echo_init_commands() const;
  void refuse(const char* sql, const char* why);
  void end_enumerations();
  // Before a fail over: ends the streamed enumerations, keeps the whole ones.
  void leave_enumerations();
  void set_reconnect(bool on);
  // One session on servers_[k], with every option and init command of the
  // connection: 0 and out set, or ERR_DB_INIT/ERR_DB_CONNECT with the
  // reason appended to connect_error_.
  int connect_server(size_t k, MYSQL*& out);
  void note_failure(size_t k, const char* why, const char* detail);
  // Moves to the next server of the list that answers and is ready.
  bool fail_over();

  struct Server {
    std::string text;  // as written in db_host, blanks dropped
    std::string host;  // without the port
    unsigned port;
  };
  std::vector<Server> servers_;
  bool null_host_;  // db_host was null: the library's default host
  std::string name_, user_, passwd_, option_file_;
  bool null_name_, null_user_, null_passwd_;
  size_t current_;         // index in servers_ of the session's server
  bool failover_pending_;  // the session on a list was lost
  State state_;
  unsigned long session_;  // thread id of the session last seen
  int isolation_;          // level handed to the library, or -1
  bool causal_;            // causal reads asked for
  CURSOR* cursors_;        // enumerations open on this connection
  char connect_error_[1024];
};

#endif
