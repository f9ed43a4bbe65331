// The calls of DB_CONN built on do_query, and the bookkeeping of the
// enumerations open on a connection; the state machine is in db_conn.cpp.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/db_conn.h"  // IWYU pragma: associated
#include "database/tablerow.h"

namespace {

const char* const kInsertLostText =
    "the session of the last insert was lost, and its id with it";

// Causal reads: wait for what the cluster committed before each read.
const char* const kCausalOn = "SET SESSION wsrep_sync_wait=1";
const char* const kCausalOff = "SET SESSION wsrep_sync_wait=0";

const char* const kIsolationText[] = {"READ UNCOMMITTED", "READ COMMITTED",
                                      "REPEATABLE READ", "SERIALIZABLE"};

}  // namespace

void DB_CONN::leave_session(MYSQL* m, bool all) {
  if (!m) return;
  bool keep = false, streamed = false;
  for (CURSOR* c = cursors_; c; c = c->next_open) {
    if (c->session != m) continue;
    streamed = streamed || c->streamed;
    keep = keep || (!all && !c->streamed);
  }
  // A streamed result would otherwise be read to its end first.
  if (streamed) session_cut(m);
  for (CURSOR* c = cursors_; c;) {
    CURSOR* next = c->next_open;
    if (c->session == m && (all || c->streamed)) enumeration_ended(c);
    c = next;
  }
  // A whole result set keeps its session's handle until it is freed.
  if (keep) {
    retired_.push_back(m);
  } else {
    mysql_close(m);
  }
}

void DB_CONN::close_retired() {
  std::vector<MYSQL*> retired;
  retired.swap(retired_);
  for (MYSQL* m : retired) {
    for (CURSOR* c = cursors_; c;) {
      CURSOR* next = c->next_open;
      if (c->session == m) enumeration_ended(c);
      c = next;
    }
    mysql_close(m);
  }
}

bool DB_CONN::streaming() const {
  for (CURSOR* c = cursors_; c; c = c->next_open) {
    if (c->streamed && c->session == handle) return true;
  }
  return false;
}

void DB_CONN::enumeration_started(CURSOR* cursor) {
  cursor->owner = this;
  cursor->session = handle;
  cursor->prev_open = nullptr;
  cursor->next_open = cursors_;
  if (cursors_) cursors_->prev_open = cursor;
  cursors_ = cursor;
}

void DB_CONN::end_streams() {
  for (CURSOR* c = cursors_; c;) {
    CURSOR* next = c->next_open;
    if (c->streamed && c->session == handle) enumeration_ended(c);
    c = next;
  }
}

MYSQL_RES* DB_CONN::store_result() {
  if (!handle) return nullptr;
  MYSQL_RES* result = nullptr;
  int status = mysql_store_result_start(&result, handle);
  while (status) {
    status = mysql_store_result_cont(&result, handle, wait_step(status));
  }
  return result;
}

MYSQL_ROW DB_CONN::fetch_row(MYSQL_RES* result, bool streamed) {
  // A whole result is in memory: nothing to wait for.
  if (!streamed) return mysql_fetch_row(result);
  MYSQL_ROW row = nullptr;
  int status = mysql_fetch_row_start(&row, result);
  while (status) status = mysql_fetch_row_cont(&row, result, wait_step(status));
  return row;
}

void DB_CONN::enumeration_ended(CURSOR* cursor) {
  // The rest of a streamed result on the live session is read with the
  // layer's waits; a whole one, or one of a cut session, is only freed.
  if (cursor->streamed && cursor->session == handle && !lost_) {
    int status = mysql_free_result_start(cursor->result_set);
    while (status) {
      status = mysql_free_result_cont(cursor->result_set, wait_step(status));
    }
  } else {
    mysql_free_result(cursor->result_set);
  }
  cursor->result_set = nullptr;
  cursor->active = false;
  if (cursor->prev_open) {
    cursor->prev_open->next_open = cursor->next_open;
  } else {
    cursors_ = cursor->next_open;
  }
  if (cursor->next_open) cursor->next_open->prev_open = cursor->prev_open;
  MYSQL* session = cursor->session;
  cursor->owner = nullptr;
  cursor->session = nullptr;
  cursor->prev_open = cursor->next_open = nullptr;
  // The last whole result of a left session lets it go.
  auto at = std::find(retired_.begin(), retired_.end(), session);
  if (at == retired_.end()) return;
  for (CURSOR* c = cursors_; c; c = c->next_open) {
    if (c->session == session) return;
  }
  retired_.erase(at);
  mysql_close(session);
}

const char* DB_CONN::error_string() {
  if (!handle) return "Not connected";
  return refused_ ? refused_ : mysql_error(handle);
}

void DB_CONN::print_error(const char* context) {
  fprintf(stderr, "%s: Database error: %s\n", context, error_string());
}

int DB_CONN::affected_rows() {
  if (!handle) return -1;
  return static_cast<int>(mysql_affected_rows(handle));
}

int DB_CONN::insert_id() {
  // The insert's own session was replaced since, by whatever statement.
  if (insert_serial_ && insert_serial_ != serial_) {
    refuse("select LAST_INSERT_ID()", kInsertLostText);
    return ERR_DB_NO_ROW;
  }
  unsigned long serial = serial_;
  // Any failure is a code below 0: a positive number would read as an id.
  int retval = do_query("select LAST_INSERT_ID()");
  if (retval) return retval < 0 ? retval : ERR_DB_NO_ROW;
  MYSQL_RES* result = store_result();
  if (serial_ != serial) {
    // Replaced on the way: the new session answers 0, which would read as
    // an id.
    mysql_free_result(result);
    refuse("select LAST_INSERT_ID()", kInsertLostText);
    return ERR_DB_NO_ROW;
  }
  if (!result) return ERR_DB_NO_ROW;
  MYSQL_ROW row = fetch_row(result);
  int id = (row && row[0]) ? atoi(row[0]) : ERR_DB_NO_ROW;
  mysql_free_result(result);
  return id;
}

int DB_CONN::start_transaction() { return do_query("START TRANSACTION"); }

int DB_CONN::commit_transaction() { return do_query("COMMIT"); }

int DB_CONN::rollback_transaction() { return do_query("ROLLBACK"); }

int DB_CONN::set_isolation_level(ISOLATION_LEVEL iso_level) {
  if (iso_level < READ_UNCOMMITTED || iso_level > SERIALIZABLE) return -1;
  char query[64];
  snprintf(query, sizeof query, "SET SESSION TRANSACTION ISOLATION LEVEL %s",
           kIsolationText[iso_level]);
  // The server reports the new level, which is then carried.
  return do_query(query);
}

int DB_CONN::set_causal_reads(bool on) {
  if (on) {
    // wsrep_sync_wait exists on most servers and does nothing without a
    // running cluster: a reader of a replica would think itself causal.
    int retval = do_query("SELECT @@global.wsrep_on");
    bool galera = false;
    if (retval == 0) {
      MYSQL_RES* res = store_result();
      MYSQL_ROW row = res ? fetch_row(res) : nullptr;
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
  // The server reports the change, which is then carried.
  return do_query(on ? kCausalOn : kCausalOff);
}

// What a statement does to a transaction, by its first words in any case:
// COMMIT and ROLLBACK with whatever follows (WORK, AND CHAIN, RELEASE),
// except ROLLBACK TO a savepoint; BEGIN [WORK] and START TRANSACTION; and
// the reads, SELECT and SHOW.
DB_CONN::Kind DB_CONN::kind_of(const char* sql) {
  auto word = [&sql](char* out, size_t size) {
    while (isspace(static_cast<unsigned char>(*sql))) ++sql;
    size_t n = 0;
    while (isalpha(static_cast<unsigned char>(*sql))) {
      if (n + 1 < size) out[n++] = *sql;
      ++sql;
    }
    out[n] = '\0';
    return out;
  };
  char first[20], second[20];
  word(first, sizeof first);
  if (!strcasecmp(first, "COMMIT")) return kCommit;
  if (!strcasecmp(first, "SELECT") || !strcasecmp(first, "SHOW")) return kRead;
  word(second, sizeof second);
  if (!strcasecmp(first, "ROLLBACK")) {
    // ROLLBACK [WORK] TO [SAVEPOINT] name is another statement.
    if (!strcasecmp(second, "WORK")) word(second, sizeof second);
    return strcasecmp(second, "TO") ? kRollback : kOther;
  }
  if (!strcasecmp(first, "BEGIN") &&
      (!second[0] || !strcasecmp(second, "WORK"))) {
    return kStart;
  }
  if (!strcasecmp(first, "START") && !strcasecmp(second, "TRANSACTION")) {
    return kStart;
  }
  return kOther;
}
