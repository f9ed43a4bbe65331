// Which server a DB_CONN is on: the opening over a server list, the
// choice of the next server when a session is replaced, and what is said
// about each server passed over. The state machine is in db_conn.cpp.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "database/db_conn.h"  // IWYU pragma: associated
#include "database/server_health.h"

namespace {

void assign(std::string& to, bool& null, const char* from) {
  null = from == nullptr;
  to = from ? from : "";
}

}  // namespace

void DB_CONN::note_failure(size_t k, const char* why) {
  size_t used = strlen(connect_error_);
  if (used + 1 >= sizeof connect_error_) return;
  const DB_SERVER& s = servers_[k];
  snprintf(connect_error_ + used, sizeof connect_error_ - used, "%s%s: %s",
           used ? "; " : "", s.default_host ? "(default host)" : s.text.c_str(),
           why);
}

void DB_CONN::take(MYSQL* m, size_t k) {
  leave_session(handle, false);
  handle = m;
  current_ = k;
  serial_++;
  lost_ = false;
  refused_ = nullptr;
  ask_transaction_ = false;
  rows_reports_ = false;
  changes_.verified();
}

void DB_CONN::set_timeouts(unsigned connect, unsigned wait) {
  if (connect) connect_bound_ = plan_.connect_bound = connect;
  if (wait) wait_bound_ = plan_.wait_bound = wait;
}

int DB_CONN::open(const char* db_name, const char* db_host, const char* db_user,
                  const char* db_passwd) {
  state_ = CLOSED;
  handle = nullptr;
  lost_ = false;
  current_ = 0;
  cursors_ = nullptr;
  retired_.clear();
  refused_ = nullptr;
  connect_error_[0] = '\0';
  changes_.clear();
  plan_ = SESSION_PLAN();
  plan_.connect_bound = connect_bound_;
  plan_.wait_bound = wait_bound_;
  assign(plan_.name, plan_.null_name, db_name);
  assign(plan_.user, plan_.null_user, db_user);
  assign(plan_.passwd, plan_.null_passwd, db_passwd);

  const char* err = "";
  if (!read_db_servers(db_host, servers_, &err)) {
    // Cut, an empty item or a port that would wrap: it could name another
    // server.
    snprintf(connect_error_, sizeof connect_error_,
             "db_host: not a server list (%s)", err);
    return ERR_DB_CONNECT;
  }
  plan_.list = servers_.size() > 1;
  std::string why;
  int retval = read_option_file(plan_, why);
  if (retval) {
    snprintf(connect_error_, sizeof connect_error_, "%s", why.c_str());
    return retval;
  }
  std::vector<size_t> order;
  for (size_t k = 0; k < servers_.size(); k++) order.push_back(k);
  retval = connect_first(order);
  if (retval == 0) enter(READY);
  return retval;
}

int DB_CONN::connect_first(const std::vector<size_t>& order) {
  connect_error_[0] = '\0';
  // On a list, the servers that this host's programs found silent lately go
  // last (a hint: none is skipped).
  std::vector<size_t> tries = order;
  DB_HEALTH health;
  long long now = static_cast<long long>(time(nullptr));
  if (plan_.list) {
    db_health_read(health, now);
    std::vector<std::string> texts;
    for (size_t k : order) texts.push_back(servers_[k].text);
    std::vector<size_t> at;
    db_health_order(health, texts, at);
    for (size_t i = 0; i < at.size(); i++) tries[i] = order[at[i]];
  }
  MYSQL* reserve = nullptr;  // the first server that serves, but may lag
  size_t reserve_k = 0;
  int retval = ERR_DB_CONNECT;
  for (size_t k : tries) {
    MYSQL* m = nullptr;
    std::string why;
    bool answered = false;
    retval = open_session(plan_, servers_[k], changes_, &m, why, &answered);
    if (plan_.list && !answered) {
      db_health_note(servers_[k].text.c_str(), true, now);
    } else if (plan_.list && db_health_find(health, servers_[k].text.c_str())) {
      db_health_note(servers_[k].text.c_str(), false, now);
    }
    if (retval == ERR_DB_INIT) break;
    if (retval != 0) note_failure(k, why.c_str());
    if (retval == SESSION_LAST_RESORT && !reserve) {
      reserve = m;
      reserve_k = k;
    } else if (retval == SESSION_LAST_RESORT) {
      mysql_close(m);
    }
    if (retval != 0) continue;
    if (reserve) mysql_close(reserve);
    take(m, k);
    return 0;
  }
  if (reserve) {
    take(reserve, reserve_k);
    return 0;
  }
  return retval == ERR_DB_INIT ? ERR_DB_INIT : ERR_DB_CONNECT;
}

bool DB_CONN::replace_session() {
  // The lost server last; on one server, itself.
  std::vector<size_t> order;
  for (size_t i = 1; i <= servers_.size(); i++) {
    order.push_back((current_ + i) % servers_.size());
  }
  return connect_first(order) == 0;
}

const char* DB_CONN::server() const {
  return state_ == CLOSED || servers_.empty() ? ""
                                              : servers_[current_].text.c_str();
}

DB_TLS DB_CONN::tls() const {
  return state_ == CLOSED || lost_ ? DB_TLS_NONE : session_tls(handle);
}
