#include "database/db_conn.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "database/server_health.h"
#include "database/tablerow.h"

bool g_print_queries = false;

namespace {

const char* const kUnsafeText =
    "the session's sql_mode has NO_BACKSLASH_ESCAPES, under which escaped "
    "texts are unsafe; reopen the connection";
const char* const kLostText =
    "the session was lost inside a transaction, whose work is gone; roll it "
    "back";
const char* const kCommitFailedText =
    "the transaction was lost and its COMMIT has failed already, or its "
    "answer was lost; nothing is left to commit";
const char* const kAbortedText =
    "the server rolled this transaction back (a deadlock or a conflict with "
    "another); roll back, then run it again";
const char* const kStreamingText =
    "Commands out of sync: a streamed enumeration is open on the connection; "
    "read it to its end or end it first";

// Errors after which the session is gone (the server was left, killed the
// session, or went away).
bool session_gone(unsigned err) {
  return err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST ||
         err == CR_SERVER_LOST_EXTENDED || err == ER_CONNECTION_KILLED;
}

// Errors after which a server list moves on: the session is gone, or a
// Galera node outside the primary component answers "not yet prepared".
bool server_unusable(unsigned err) {
  return session_gone(err) || err == ER_UNKNOWN_COM_ERROR;
}

}  // namespace

DB_CONN::DB_CONN()
    : handle(nullptr),
      current_(0),
      lost_(false),
      state_(CLOSED),
      serial_(0),
      cursors_(nullptr),
      refused_(nullptr),
      connect_bound_(DB_CONNECT_BOUND),
      wait_bound_(DB_WAIT_BOUND),
      timed_out_(false),
      ask_transaction_(false),
      rows_reports_(false),
      commits_(0),
      insert_serial_(0) {
  connect_error_[0] = '\0';
}

void DB_CONN::enter(State next) {
  if (next == CLOSED) {
    leave_session(handle, true);
    close_retired();
    handle = nullptr;
    lost_ = false;
  }
  if (next == TRANSACTION_LOST) lost_ = true;
  state_ = next;
}

void DB_CONN::session_lost(Kind kind) {
  lost_ = true;
  // Nothing more is read from it: the rest of a streamed result is dropped
  // without waiting for a server that stopped answering, and a server that
  // still holds a transaction drops it.
  session_cut(handle);
  for (CURSOR* c = cursors_; c;) {
    CURSOR* next = c->next_open;
    if (c->streamed && c->session == handle) enumeration_ended(c);
    c = next;
  }
  if (state_ != IN_TRANSACTION) return;
  enter(kind == kCommit     ? COMMIT_FAILED
        : kind == kRollback ? READY
                            : TRANSACTION_LOST);
}

void DB_CONN::close() { enter(CLOSED); }

void DB_CONN::refuse(const char* sql, const char* why) {
  refused_ = why;
  fprintf(stderr, "Database error: %s\nquery=%s\n", why, sql);
}

void DB_CONN::make_unsafe(const std::string& why) {
  unsafe_why_ = why +
                "; the connection refuses every statement until it is "
                "opened again";
  enter(UNSAFE);
  fprintf(stderr, "Database error: %s\n", unsafe_why_.c_str());
}

bool DB_CONN::judge_answer(Kind kind, bool reports) {
  std::string what;
  const char* why = reports ? changes_.read(handle, true, &what) : nullptr;
  if (why) {
    make_unsafe("a statement set " + what + ", and " + why);
    return false;
  }
  unsigned status = session_status(handle);
  if (status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    make_unsafe(kUnsafeText);
    return false;
  }
  // The server says with every answer whether a transaction is open, also
  // one that a statement of the program's own opened ("BEGIN", autocommit
  // off): the state follows, at no cost. A transaction that ended otherwise
  // than by ROLLBACK was committed; so was one a new one replaced, or one
  // a COMMIT AND CHAIN followed.
  bool open_transaction = status & SERVER_STATUS_IN_TRANS;
  if (state_ == IN_TRANSACTION && kind != kRollback &&
      (!open_transaction || kind == kStart || kind == kCommit)) {
    commits_++;
  }
  if (state_ == READY && open_transaction) {
    enter(IN_TRANSACTION);
  } else if (state_ == IN_TRANSACTION && !open_transaction) {
    enter(READY);
  }
  return true;
}

bool DB_CONN::after_statement(Kind kind) {
  if (mysql_insert_id(handle)) insert_serial_ = serial_;
  // A result set's reports come after its rows: read once the program has
  // them (catch_up).
  bool rows = mysql_field_count(handle) > 0;
  rows_reports_ = rows;
  if (!judge_answer(kind, !rows)) return false;
  // A statement that changed the session and left nothing to read (a SET, a
  // USE) is asked about at once, so that its values and types are known
  // before the session could be lost; any other, before the next statement.
  // The statement itself succeeded, whatever the question then met.
  if (!rows && changes_.verify_pending() && mysql_affected_rows(handle) == 0) {
    verify_session();
  }
  return state_ != UNSAFE;
}

void DB_CONN::catch_up() {
  if (!rows_reports_ || lost_ || streaming()) return;
  rows_reports_ = false;
  judge_answer(kOther, true);
}

bool DB_CONN::verify_session() {
  const char* why = nullptr;
  std::string what;
  switch (changes_.verify(handle, &why, &what)) {
    case SESSION_CHANGES::kSafe: return true;
    case SESSION_CHANGES::kUnsafe:
      make_unsafe("an earlier statement set " + what + ", and " + why);
      return false;
    case SESSION_CHANGES::kFailed: break;
  }
  // The question met a loss, or the server refused it: the session cannot
  // be vouched for. A node that does not serve now (outside the primary
  // component, or a causal wait ran out) gets its session replaced, not
  // refused for good: what is carried is what the reports said, less what
  // a failed statement changed unreported.
  unsigned err = mysql_errno(handle);
  if (session_gone(err) || silent_error(err) || err == ER_UNKNOWN_COM_ERROR ||
      err == ER_LOCK_WAIT_TIMEOUT) {
    session_lost(kOther);
  } else {
    make_unsafe(std::string("the session's values could not be read (") +
                mysql_error(handle) + ")");
  }
  return false;
}

int DB_CONN::wait_step(int status) {
  int ready = session_wait(handle, status, plan_.wait_bound * 1000);
  while (ready == MYSQL_WAIT_TIMEOUT) {
    if (!server_answers(plan_, servers_[current_])) {
      // Gone: the library's call ends with its error once it reads.
      timed_out_ = true;
      if (plan_.list) {
        db_health_note(servers_[current_].text.c_str(), true,
                       static_cast<long long>(time(nullptr)));
      }
      session_cut(handle);
      return status;
    }
    ready = session_wait(handle, status, plan_.wait_bound * 1000);
  }
  return ready;
}

bool DB_CONN::transaction_open() {
  const char* sql = "SELECT @@in_transaction";
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql);
  int ret = 0;
  int status = mysql_real_query_start(&ret, handle, sql, strlen(sql));
  while (status)
    status = mysql_real_query_cont(&ret, handle, wait_step(status));
  if (ret) return true;  // unknown: the statement will meet what is there
  MYSQL_RES* res = store_result();
  MYSQL_ROW row = res ? fetch_row(res) : nullptr;
  bool open = !row || !row[0] || strcmp(row[0], "0") != 0;
  mysql_free_result(res);
  return open;
}

int DB_CONN::run(const char* sql, Kind kind) {
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql);
  timed_out_ = false;
  catch_up();
  if (ask_transaction_ && state_ == IN_TRANSACTION && !lost_) {
    ask_transaction_ = false;
    if (kind != kRollback && kind != kStart && !transaction_open()) {
      enter(TRANSACTION_ABORTED);
    }
  }
  switch (state_) {
    case CLOSED: refuse(sql, "Not connected"); return ERR_DB_CONNECT;
    case UNSAFE: refuse(sql, unsafe_why_.c_str()); return ERR_DB_CONNECT;
    case TRANSACTION_LOST:
      if (kind == kOther || kind == kRead) {
        refuse(sql, kLostText);
        return CR_SERVER_LOST;
      }
      if (kind == kCommit) {  // the caller is told now
        enter(COMMIT_FAILED);
        refuse(sql, kLostText);
        return CR_SERVER_LOST;
      }
      enter(READY);
      break;
    case COMMIT_FAILED:
      if (kind == kCommit) {
        refuse(sql, kCommitFailedText);
        return CR_SERVER_LOST;
      }
      enter(READY);
      break;
    case TRANSACTION_ABORTED:
      if (kind != kRollback && kind != kStart) {
        refuse(sql, kAbortedText);
        return ER_LOCK_DEADLOCK;
      }
      enter(READY);
      break;
    case READY:
    case IN_TRANSACTION: break;
  }
  // A rollback must reach the server, whatever walk the failed work left.
  if (kind == kRollback) end_streams();
  // Refused here rather than by the library, whose error would then read as
  // the cut of the stream.
  if (streaming()) {
    refuse(sql, kStreamingText);
    return CR_COMMANDS_OUT_OF_SYNC;
  }
  if (!lost_ && !session_alive(handle)) {
    bool in_transaction = state_ == IN_TRANSACTION;
    session_lost(kind);
    if (in_transaction && kind != kRollback) {
      refuse(sql, kLostText);
      return CR_SERVER_LOST;
    }
  }
  if (lost_ && !replace_session()) {
    refuse(sql, connect_error_);
    return ERR_DB_CONNECT;
  }
  refused_ = nullptr;
  if (changes_.verify_pending() && !verify_session()) {
    // Nothing of the program's was sent: a lost session outside a
    // transaction is replaced as above.
    if (state_ == UNSAFE) {
      refuse(sql, unsafe_why_.c_str());
      return ERR_DB_CONNECT;
    }
    if (state_ == TRANSACTION_LOST) {
      refuse(sql, kLostText);
      return CR_SERVER_LOST;
    }
    if (!replace_session()) {
      refuse(sql, connect_error_);
      return ERR_DB_CONNECT;
    }
  }
  int retval = 0;
  int status = mysql_real_query_start(&retval, handle, sql, strlen(sql));
  while (status) {
    status = mysql_real_query_cont(&retval, handle, wait_step(status));
  }
  if (retval) return failed(sql, kind, retval, true);
  return after_statement(kind) ? 0 : ERR_DB_CONNECT;
}

int DB_CONN::failed(const char* sql, Kind kind, int retval, bool sent) {
  unsigned err = mysql_errno(handle);
  fprintf(stderr, "Database error: %s\nquery=%s\n", mysql_error(handle), sql);
  // The answer was lost after the statement went out, or a Galera node left
  // the primary component under it (1047; at a commit 1180, "Not connected
  // to Primary Component"), when its write set may have reached the nodes
  // that kept it: either way it may have run.
  bool left = err == ER_UNKNOWN_COM_ERROR ||
              (kind != kRead && err == ER_ERROR_DURING_COMMIT);
  bool unknown = sent && (timed_out_ || err == CR_SERVER_LOST ||
                          err == CR_SERVER_LOST_EXTENDED || left);
  if (state_ == IN_TRANSACTION) {
    // A node outside the primary component commits nothing more: the
    // transaction is lost with the session, as for a server gone.
    if (session_gone(err) || timed_out_ || left) {
      session_lost(kind);
      if (kind == kCommit && unknown) return ERR_DB_OUTCOME_UNKNOWN;
    } else if (kind == kRollback) {
      // The server may still hold the transaction open: ending the session
      // makes it drop the work, where READY alone would let the next
      // statement run inside it.
      session_lost(kind);
    } else if (err == ER_LOCK_DEADLOCK) {
      enter(TRANSACTION_ABORTED);  // the server rolled it all back
    } else if (err == ER_LOCK_WAIT_TIMEOUT) {
      ask_transaction_ = true;  // it did, if innodb_rollback_on_timeout
    }
  } else if (session_gone(err) || timed_out_ ||
             (plan_.list && server_unusable(err))) {
    session_lost(kind);
    if (unknown && kind == kOther) return ERR_DB_OUTCOME_UNKNOWN;
  } else if (unknown && kind == kOther) {
    return ERR_DB_OUTCOME_UNKNOWN;  // 1047 from the one server there is
  }
  // An error answer carries no reports, and a failed statement may still
  // have changed the session (a procedure that set and then signalled).
  if (!lost_) changes_.need_verify();
  return retval;
}

int DB_CONN::ping() {
  if (state_ == CLOSED || state_ == UNSAFE || state_ == TRANSACTION_LOST ||
      streaming()) {
    return ERR_DB_CONNECT;
  }
  timed_out_ = false;
  catch_up();
  if (state_ == UNSAFE) return ERR_DB_CONNECT;
  if (!lost_ && !session_alive(handle)) session_lost(kOther);
  if (!lost_) {
    int retval = 0;
    int status = mysql_ping_start(&retval, handle);
    while (status) status = mysql_ping_cont(&retval, handle, wait_step(status));
    unsigned err = mysql_errno(handle);
    bool on = state_ == IN_TRANSACTION;
    if (retval && !(session_gone(err) || timed_out_ ||
                    (!on && plan_.list && server_unusable(err)))) {
      return ERR_DB_CONNECT;
    }
    if (retval) session_lost(kOther);
  }
  if (state_ == TRANSACTION_LOST) return ERR_DB_CONNECT;
  if (lost_ && !replace_session()) return ERR_DB_CONNECT;
  return 0;
}

int DB_CONN::do_query(const char* sql) { return run(sql, kind_of(sql)); }

const char* DB_CONN::check_invariants() const {
  if ((state_ == CLOSED) != (handle == nullptr)) {
    return "a handle exactly in the states other than CLOSED";
  }
  if (state_ == CLOSED) {
    if (cursors_ || !retired_.empty()) {
      return "CLOSED holds no enumeration and no retired session";
    }
    return nullptr;
  }
  if (current_ >= servers_.size()) return "the server in use is of the list";
  my_bool reconnect = 0;
  mysql_get_optionv(handle, MYSQL_OPT_RECONNECT, &reconnect);
  if (reconnect) return "the client library's reconnection is off";
  if (state_ == IN_TRANSACTION && lost_) {
    return "a session lost inside a transaction is TRANSACTION_LOST";
  }
  if (state_ == TRANSACTION_LOST && !lost_) {
    return "TRANSACTION_LOST has its session's replacement pending";
  }
  if (state_ == TRANSACTION_ABORTED && lost_) {
    return "TRANSACTION_ABORTED is on a live session";
  }
  if (state_ == READY && !lost_ &&
      (session_status(handle) & SERVER_STATUS_IN_TRANS)) {
    return "READY: no transaction open by the server's last answer";
  }
  if (!changes_.consistent()) return "every carried change passes its rule";
  for (const CURSOR* c = cursors_; c; c = c->next_open) {
    bool retired = std::find(retired_.begin(), retired_.end(), c->session) !=
                   retired_.end();
    if (c->owner != this || !c->active || !c->result_set ||
        (c->session != handle && !retired)) {
      return "each enumeration is active, ours, on a session we hold";
    }
    if (c->streamed && (retired || (lost_ && c->session == handle))) {
      return "a lost session holds no streamed enumeration";
    }
  }
  for (const MYSQL* m : retired_) {
    bool used = false;
    for (const CURSOR* c = cursors_; c; c = c->next_open) {
      used = used || c->session == m;
    }
    if (!used || m == handle) {
      return "a retired session is kept only for a whole result";
    }
  }
  return nullptr;
}
