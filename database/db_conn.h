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
#include "database/server_list.h"
#include "database/session_changes.h"
#include "database/session_open.h"

// While true, every statement is written to standard error as
// "query: <statement>\n" before it runs, the layer's own too (the set-up of
// a new session, the readiness query). Programs set it for debugging.
extern bool g_print_queries;

// A fixed underlying type, so that any int cast to it is a valid value that
// set_isolation_level can refuse.
enum ISOLATION_LEVEL : int {
  READ_UNCOMMITTED = 0,
  READ_COMMITTED = 1,
  REPEATABLE_READ = 2,
  SERIALIZABLE = 3
};

// Character set pinned on every session. In UTF-8 every byte of a
// multi-byte character is 0x80 or above, so no character can hide a quote
// or a backslash from the escaping of sql_escape.h.
constexpr const char* DB_CONN_CHARSET = "utf8mb4";

// ---------------------------------------------------------------------------
// What a program may change in its session. The server reports, in the
// answer to each statement, every session variable the statement changed
// (session tracking, switched on for every variable by the set-up of each
// session). After each statement the layer reads those reports and applies
// this table, first row of the name wins, the last row for every other name:
//   CARRIED  the change is kept and written again, in the set-up statement,
//            into every later session (a session replaced after a loss, or
//            after a fail over) before any statement of the program. A new
//            value replaces the old, so nothing grows with the changes.
//   GUARDED  carried while the value passes the row's test; any other value
//            makes the session unsafe for escaped texts: the connection
//            moves to UNSAFE (that statement and every later one refused).
//   IGNORED  not carried: its meaning ends with the session.
// The default database a program's USE selects is carried too (the next
// session opens on it). After any statement that reported a change of
// state at all (a SET, a user variable, PREPARE, a temporary table, a write
// with autocommit off), or that failed (an error answer carries no
// reports), the layer asks the server one question: the GUARDED values, so
// that a change the server could not report (the session stopped
// reporting) is found, and the carried values as they stand, so that what
// is carried is the session's value and type (a SET STATEMENT's change
// ends with its statement). It is asked at once after a statement that
// left nothing to read (a SET, a USE), else before the next statement: one
// round trip, only then. A result set's reports come after its rows: they
// are read at the next call. Carried values are written into a later
// session as numbers or as hexadecimal literals, which read the same
// whatever character set and sql_mode that session starts with. The same
// rules judge what an option file's init-command does to each new session,
// and the program's changes are written again after the file's.
enum SESSION_RULE { SESSION_CARRIED, SESSION_GUARDED, SESSION_IGNORED };
enum SESSION_TEST { SESSION_VALUE_IS, SESSION_LIST_LACKS };

struct SESSION_VARIABLE_RULE {
  const char* name;  // as the server reports it; null for every other name
  SESSION_RULE rule;
  SESSION_TEST test;   // GUARDED rows: what the value must pass
  const char* text;    // the value it must be, or the item it must lack
  bool empty_is_null;  // an empty report stands for NULL (written so again)
  const char* why;
};

inline constexpr SESSION_VARIABLE_RULE kSessionRules[] = {
    {"character_set_client", SESSION_GUARDED, SESSION_VALUE_IS, "utf8mb4",
     false,
     "statements are read in this character set, and escaping relies on the "
     "pinned one (in GBK or Big5 a quote can hide in a character)"},
    {"sql_mode", SESSION_GUARDED, SESSION_LIST_LACKS, "NO_BACKSLASH_ESCAPES",
     false, "under NO_BACKSLASH_ESCAPES escaped texts are unsafe"},
    {"session_track_system_variables", SESSION_GUARDED, SESSION_VALUE_IS, "*",
     false, "the layer would no longer see what statements change"},
    {"session_track_schema", SESSION_GUARDED, SESSION_VALUE_IS, "ON", false,
     "the layer would no longer see the program's USE"},
    {"session_track_state_change", SESSION_GUARDED, SESSION_VALUE_IS, "ON",
     false, "the layer would no longer see what statements change"},
    {"character_set_results", SESSION_CARRIED, SESSION_VALUE_IS, nullptr, true,
     "results only: escaping does not depend on it"},
    {"character_set_connection", SESSION_CARRIED, SESSION_VALUE_IS, nullptr,
     false, "literals are converted after escaping has been read"},
    {"autocommit", SESSION_CARRIED, SESSION_VALUE_IS, nullptr, false,
     "a program with autocommit off relies on ROLLBACK undoing its writes"},
    {"time_zone", SESSION_CARRIED, SESSION_VALUE_IS, nullptr, false,
     "times read and written would shift"},
    {"tx_isolation", SESSION_CARRIED, SESSION_VALUE_IS, nullptr, false,
     "set_isolation_level and the program's own SET SESSION TRANSACTION"},
    {"wsrep_sync_wait", SESSION_CARRIED, SESSION_VALUE_IS, nullptr, false,
     "causal reads (set_causal_reads) must survive a fail over"},
    {"insert_id", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "an id for the next insert of that session"},
    {"last_insert_id", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "the id of that session's insert; insert_id() refuses it on another"},
    {"timestamp", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "a pinned clock replayed later would stand at a past time"},
    {"rand_seed1", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "seeds one RAND() sequence"},
    {"rand_seed2", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "seeds one RAND() sequence"},
    {"character_set_database", SESSION_IGNORED, SESSION_VALUE_IS, nullptr,
     false, "follows the default database, which is carried"},
    {"collation_database", SESSION_IGNORED, SESSION_VALUE_IS, nullptr, false,
     "follows the default database, which is carried"},
    {nullptr, SESSION_CARRIED, SESSION_VALUE_IS, nullptr, false,
     "a session variable the program set holds for its whole session"},
};

struct CURSOR;

// ---------------------------------------------------------------------------
// The session layer. A DB_CONN drives one session of a server at a time and
// replaces a lost one itself; the client library's own reconnection is
// always off, since it would give the program a session without the
// program's changes. Every new session is made by open_session
// (session_open.h): the character set pinned, one set-up statement (the
// escaping guard, session tracking, and the carried changes above), the
// option file's checks, on a list the readiness probe.
//
// A session is lost when a statement or ping meets a server that went away
// or killed the session, or when, before a statement is sent, the session's
// socket shows that the server has closed it (one poll with no wait, the
// check the client library's own reconnection makes). Outside a
// transaction a lost session is replaced before the next statement: on one
// server on the same server, on a list on the next server that answers and
// is ready, wrapping around so that the lost one is tried last ("fail
// over"). The statement that met the loss fails; a statement is never sent
// twice. No server ready: the statement is refused, nothing sent
// (ERR_DB_CONNECT, with each server's reason in connect_error()), and the
// next one tries again. A whole enumeration open on the lost session goes on
// to its end (its rows were all fetched); a streamed one is ended. Inside a
// transaction a loss is the transaction's loss (TRANSACTION_LOST).
//
// Bounded waits (set_timeouts): a connect, with its greeting, login and
// set-up, waits at most the connect bound; a server that does not answer is
// passed over, and on a list the next is tried. A statement, and the rows
// the layer reads for it (store_result, fetch_row), waits at most the wait
// bound for each answer; then the layer asks the server on a new connection
// (within the connect bound) whether it still answers. A busy server does,
// and the wait goes on, however long the statement takes; one that does not
// is gone, and its session is lost. A statement whose answer was lost after
// it was sent may have taken effect: outside a transaction such a statement
// (other than SELECT and SHOW) answers ERR_DB_OUTCOME_UNKNOWN, and so does a
// COMMIT; look before doing the work again.
//
// Inside a transaction, an error after which the server has rolled the whole
// transaction back (a deadlock victim or a Galera conflict, 1213; a lock
// wait timeout, 1205, when the server says the transaction ended with it)
// moves the connection to TRANSACTION_ABORTED, so that no later statement of
// the transaction runs alone with autocommit.
//
// No statement of the layer ever runs between a program's statement and its
// result set, affected-rows count or insert id, which belong to the
// program; the question after a statement that left none of them is the
// one exception.
//
// States (state_), with what holds in each (check_invariants) and the
// transitions:
//   CLOSED         no handle, no enumeration, no retired session.
//                  open succeeds -> READY. Statements and ping: ERR_DB_CONNECT.
//   READY          a handle, no transaction open by the server's last word.
//                  A statement after which the server reports an open
//                  transaction (start_transaction, the program's own BEGIN,
//                  a write with autocommit off) -> IN_TRANSACTION. A
//                  refused change (above) -> UNSAFE.
//   IN_TRANSACTION a handle, the session not lost, no replacement pending.
//                  A statement after which the server reports no open
//                  transaction (COMMIT, ROLLBACK) -> READY. A failed ROLLBACK
//                  on a live session ends the session, so that the server
//                  drops the work -> READY. COMMIT meets a lost session ->
//                  COMMIT_FAILED (ERR_DB_OUTCOME_UNKNOWN when it was sent).
//                  A ROLLBACK first ends a streamed enumeration still open,
//                  which would otherwise hold the session.
//                  The server rolled the transaction back ->
//                  TRANSACTION_ABORTED. Another statement, or ping, meets a
//                  lost session -> TRANSACTION_LOST (that statement fails).
//   TRANSACTION_LOST  the server dropped the work; the caller has not been
//                  told by a COMMIT. A replacement is pending. Every
//                  statement is refused, nothing sent (CR_SERVER_LOST), and
//                  ping gives ERR_DB_CONNECT, except: COMMIT is refused ->
//                  COMMIT_FAILED; rollback or start_transaction -> READY,
//                  then as from READY.
//   COMMIT_FAILED  as READY, except that a COMMIT is refused, nothing sent,
//                  so that a retried COMMIT never reports dropped work done.
//                  Any other statement that runs, a rollback or a
//                  start_transaction -> READY.
//   UNSAFE         a handle; the session may read escaped texts wrongly. That
//                  statement and every later one answer ERR_DB_CONNECT with
//                  a report, nothing sent; ping gives ERR_DB_CONNECT.
//   TRANSACTION_ABORTED  a handle, the session live: the server rolled the
//                  transaction back (the statement failed with 1213, or
//                  1205 and the server says no transaction is open). Every
//                  statement is refused, nothing sent, and answers 1213
//                  (DB_CONFLICT_ERRNO, retry.h), a COMMIT too, so that it
//                  reads as the conflict it is; ping answers for the server.
//                  rollback or start_transaction -> READY, then as from
//                  READY.
// In every state with a handle: the client library's reconnection is off,
// the server in use is one of the list, the carried changes pass the rules,
// and a lost session holds no streamed enumeration. From every state, close
// -> CLOSED and ends every enumeration open on the connection (see
// TABLEROW), so row objects may be destroyed afterwards in any order.
class DB_CONN {
 public:
  enum State {
    CLOSED,
    READY,
    IN_TRANSACTION,
    TRANSACTION_LOST,
    COMMIT_FAILED,
    UNSAFE,
    TRANSACTION_ABORTED
  };

  DB_CONN();

  // Connects to database db_name on db_host as db_user. db_host is one
  // server or a comma-separated list of them (read_db_servers), each with an
  // optional port. The server reports matched rather than changed rows
  // after an UPDATE. Returns 0; ERR_DB_INIT when the library gives no
  // handle; ERR_DB_CONNECT when no session can be made: db_host refused,
  // the option file not a readable regular file, or every server refused
  // (connect_error() says why, server by server; a session that fails the
  // escaping guard also writes one line on standard error). Prints nothing
  // else. On failure the handle is left null. Does not close an earlier
  // connection: callers close first.
  int open(const char* db_name, const char* db_host, const char* db_user,
           const char* db_passwd);

  // Ends every enumeration open on the connection, ends the connection and
  // clears handle; harmless when not connected.
  void close();

  // 0 when the next statement can run: the server answers (a lost session
  // outside a transaction is replaced on the way) and the state lets
  // statements through. ERR_DB_CONNECT otherwise (CLOSED, UNSAFE,
  // TRANSACTION_LOST, no server answers, or a lost session inside a
  // transaction, which then becomes TRANSACTION_LOST). It does not ask a
  // Galera node whether it is still ready: the first statement it refuses
  // with 1047 moves the connection on. Prints nothing.
  int ping();

  // Runs sql exactly as given; values inside must already be escaped.
  // Returns 0, or the library's nonzero result after writing
  // "Database error: <error>\nquery=<sql>\n" to standard error. States that
  // refuse a statement (see above) write the same report with their reason
  // and return ERR_DB_CONNECT (CLOSED, UNSAFE, no server) or CR_SERVER_LOST
  // (a lost transaction, a retried COMMIT). A statement whose reported
  // change the rules refuse ran, but answers ERR_DB_CONNECT (UNSAFE).
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
  // COMMIT that fails on a live session leaves the transaction to the
  // server's rules (IN_TRANSACTION): roll it back.
  int start_transaction();
  int commit_transaction();
  int rollback_transaction();

  // Sets the level of this connection's later transactions, on this session
  // and on every later one (a carried change): the result of do_query, or -1
  // without a statement for a value outside the enumeration.
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

  // The bounds of every later session and statement, in seconds (0 keeps
  // one as it is): connect, for a connect with its greeting, login and
  // set-up (default DB_CONNECT_BOUND, 5); wait, for each answer of a
  // statement before the layer asks whether the server is gone (default
  // DB_WAIT_BOUND, 10). The option file's connect-timeout and read-timeout
  // override them. The library's own blocking calls on handle (a program's
  // mysql_store_result) wait at most the wait bound and are then cut; the
  // layer's calls (do_query, store_result, fetch_row) are not.
  void set_timeouts(unsigned connect, unsigned wait);

  // The result of the statement just run, read whole (mysql_store_result,
  // with the layer's bounded waits): null when there is none or reading it
  // failed (mysql_errno then says which). The caller frees it.
  MYSQL_RES* store_result();
  // The next row of result (mysql_fetch_row); a streamed one (of
  // mysql_use_result) is read with the layer's waits.
  MYSQL_ROW fetch_row(MYSQL_RES* result, bool streamed = false);

  // How many transactions this connection has seen committed: by COMMIT, or
  // by a statement that commits (START TRANSACTION inside one, DDL, SET
  // autocommit=1). run_transaction tells from it a body that committed.
  unsigned long commits() const { return commits_; }

  // Null when every invariant of the current state (see above) holds, else
  // the text of the first that does not. For tests, after each operation.
  const char* check_invariants() const;

  // The server of db_host in use, as written there ("db2:3306"), "" when
  // closed. Belongs to the connection, valid until the next open or fail
  // over.
  const char* server() const;

  // Why the last open or replacement passed over the servers it did not
  // take: one "<server>: <reason>" per server, joined by "; ", cut at 1023
  // bytes; "" when it took the first one it tried. Belongs to the
  // connection.
  const char* connect_error() const { return connect_error_; }

  // How the session in use is encrypted (session_open.h); DB_TLS_NONE when
  // closed.
  DB_TLS tls() const;

  // Called by TABLEROW when an enumeration takes a result set of this
  // connection (the cursor is linked into the connection's list, so that
  // close can end it) and when it is done with it (the result set is freed
  // and the cursor unlinked).
  void enumeration_started(CURSOR* cursor);
  void enumeration_ended(CURSOR* cursor);

  MYSQL* handle;  // null while not connected

 private:
  // What a statement does to the state, beyond running.
  // kRead: SELECT and SHOW, whose lost answer changed nothing.
  enum Kind { kOther, kRead, kStart, kCommit, kRollback };
  static Kind kind_of(const char* sql);
  int run(const char* sql, Kind kind);
  // The one place the state changes, with what goes with the new state.
  void enter(State next);
  // The session met a loss: what follows from the state (see above).
  void session_lost(Kind kind);
  // A session on the first server of order that is ready, or else on the
  // first that serves but may lag: 0 with it taken, or ERR_DB_INIT /
  // ERR_DB_CONNECT with each server's reason in connect_error_.
  int connect_first(const std::vector<size_t>& order);
  // A session on the next server that is ready (on one server, the same).
  bool replace_session();
  // Makes m, on servers_[k], the session in use, leaving the one before.
  void take(MYSQL* m, size_t k);
  // Ends the enumerations on session m (all, or only the streamed ones) and
  // closes m, or keeps it retired while a whole result set still needs it.
  void leave_session(MYSQL* m, bool all);
  void close_retired();
  bool streaming() const;
  // Ends the streamed enumerations of the session in use (read to their
  // end, with the layer's waits).
  void end_streams();
  // After a successful statement: the server's reports against the rules,
  // its transaction flag, and the question when due. False (with a report)
  // when the session is unsafe or lost now.
  bool after_statement(Kind kind);
  // The reports and flags of the last answer (reports: also the session
  // changes); false when the session is unsafe now.
  bool judge_answer(Kind kind, bool reports);
  // The reports a result set left after its rows, once they are read.
  void catch_up();
  // The question of the session's values (SESSION_CHANGES::verify); false
  // when the session is unsafe or lost now.
  bool verify_session();
  void make_unsafe(const std::string& why);
  // The report of a statement the library refused, and what follows from
  // its error; retval passed up.
  // sent: the statement may have reached the server.
  int failed(const char* sql, Kind kind, int retval, bool sent);
  // The report of a statement the layer refuses; error_string() says why.
  void refuse(const char* sql, const char* why);
  // One wait of a non-blocking call on the session (see set_timeouts): the
  // status to go on with.
  int wait_step(int status);
  // Whether the server still holds this session's transaction open (one
  // question, after a lock wait timeout, which may have ended it).
  bool transaction_open();
  void note_failure(size_t k, const char* why);

  std::vector<DB_SERVER> servers_;
  SESSION_PLAN plan_;
  SESSION_CHANGES changes_;
  size_t current_;  // index in servers_ of the session's server
  bool lost_;       // the session is gone; replaced before a statement
  State state_;
  unsigned long serial_;         // counts the sessions made, for insert_id
  CURSOR* cursors_;              // enumerations open on this connection
  std::vector<MYSQL*> retired_;  // left sessions whole results still read
  const char* refused_;  // why the layer refused the last statement, or null
  unsigned connect_bound_, wait_bound_;  // the program's, for the next open
  bool timed_out_;         // the last call's wait found the server gone
  bool ask_transaction_;   // a lock wait timeout may have ended it
  bool rows_reports_;      // the last result set's reports are still to read
  unsigned long commits_;  // transactions seen committed
  unsigned long insert_serial_;  // the session that made the last insert
  std::string unsafe_why_;       // why the connection is UNSAFE
  char connect_error_[1024];
};

#endif
