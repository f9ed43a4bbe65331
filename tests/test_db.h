// Access to the private database server of the tests. ctest starts it with
// scripts/test-db-server.sh (fixture orvex_test_db) and the script writes
// its db.env; a test program run by hand finds it through the environment
// variable ORVEX_TEST_DB_ENV or the build tree's default path.
//
// In a test body or SetUp:  ORVEX_OPEN_TEST_DB(conn);
// With no server the test fails when CI=true and is skipped otherwise, with
// the message "no test database server: ...".
#ifndef ORVEX_TESTS_TEST_DB_H
#define ORVEX_TESTS_TEST_DB_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "database/db_conn.h"

#ifndef ORVEX_TEST_DB_ENV_FILE
#define ORVEX_TEST_DB_ENV_FILE ""
#endif

namespace orvex_test {

struct TestDb {
  std::string socket, host, name, user, passwd, root_user, root_passwd;
  int port = 0;
  // "127.0.0.1:<port>": a TCP connection, never a system instance's socket.
  std::string host_port() const { return host + ":" + std::to_string(port); }
};

inline bool in_ci() {
  const char* ci = getenv("CI");
  return ci && std::string(ci) == "true";
}

inline std::string env_file_path() {
  const char* path = getenv("ORVEX_TEST_DB_ENV");
  return path && *path ? path : ORVEX_TEST_DB_ENV_FILE;
}

// Reads db.env once. False, with the reason in why, when there is none.
// Points the client library's defaults (host "localhost", port 0) at the
// private server too, so that no test can reach a system instance.
inline bool load_test_db(TestDb& db, std::string& why) {
  std::string path = env_file_path();
  std::ifstream in(path);
  if (path.empty() || !in) {
    why = "no test database server: cannot read '" + path +
          "' (run the tests with ctest, or start one with "
          "scripts/test-db-server.sh start DIR and set ORVEX_TEST_DB_ENV to "
          "DIR/db.env)";
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "DB_SOCKET") db.socket = value;
    if (key == "DB_HOST") db.host = value;
    if (key == "DB_PORT") db.port = atoi(value.c_str());
    if (key == "DB_NAME") db.name = value;
    if (key == "DB_USER") db.user = value;
    if (key == "DB_PASSWD") db.passwd = value;
    if (key == "DB_ROOT_USER") db.root_user = value;
    if (key == "DB_ROOT_PASSWD") db.root_passwd = value;
  }
  if (db.socket.empty() || db.port <= 0 || db.name.empty()) {
    why = "no test database server: '" + path + "' is incomplete";
    return false;
  }
  // Read by the client library when it first initialises.
  setenv("MYSQL_UNIX_PORT", db.socket.c_str(), 1);
  setenv("MYSQL_TCP_PORT", std::to_string(db.port).c_str(), 1);
  return true;
}

// Opens conn to the test database over TCP, as the test user, or as the
// server's root over the socket (for global settings). False with the
// reason in why.
inline bool open_test_db(DB_CONN& conn, std::string& why, bool as_root) {
  TestDb db;
  if (!load_test_db(db, why)) return false;
  int retval = as_root ? conn.open(db.name.c_str(), "localhost",
                                   db.root_user.c_str(), db.root_passwd.c_str())
                       : conn.open(db.name.c_str(), db.host_port().c_str(),
                                   db.user.c_str(), db.passwd.c_str());
  if (retval) {
    why = "test database server of '" + env_file_path() +
          "' refused the connection: " + std::to_string(retval);
    return false;
  }
  return true;
}

// Runs sql on conn and returns the first column of its first row ("NULL"
// for SQL NULL, "" when there is no row), failing the test on any error.
inline std::string query_value(DB_CONN& conn, const std::string& sql) {
  std::string value;
  if (conn.do_query(sql.c_str())) {
    ADD_FAILURE() << "query failed: " << sql;
    return value;
  }
  MYSQL_RES* result = mysql_store_result(conn.handle);
  if (!result) {
    ADD_FAILURE() << "no result set: " << sql;
    return value;
  }
  if (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    value = row[0] ? std::string(row[0], lengths[0]) : "NULL";
  }
  mysql_free_result(result);
  return value;
}

}  // namespace orvex_test

namespace orvex_test {

// Runs f with the statement echo on and returns what reached standard error.
template <typename F>
std::string echo_of(F f) {
  g_print_queries = true;
  testing::internal::CaptureStderr();
  f();
  g_print_queries = false;
  return testing::internal::GetCapturedStderr();
}

// Restores the server's global sql_mode however the test ends (root needs
// the server's root user).
class GlobalSqlMode {
 public:
  explicit GlobalSqlMode(DB_CONN& root) : root_(root) {
    saved_ = query_value(root_, "select @@global.sql_mode");
  }
  ~GlobalSqlMode() {
    std::string sql = "set global sql_mode='" + saved_ + "'";
    EXPECT_EQ(root_.do_query(sql.c_str()), 0);
  }
  GlobalSqlMode(const GlobalSqlMode&) = delete;
  GlobalSqlMode& operator=(const GlobalSqlMode&) = delete;

 private:
  DB_CONN& root_;
  std::string saved_;
};

}  // namespace orvex_test

#define ORVEX_OPEN_TEST_DB_AS(conn, as_root)                      \
  do {                                                            \
    std::string orvex_why_;                                       \
    if (!::orvex_test::open_test_db(conn, orvex_why_, as_root)) { \
      bool orvex_no_server_ =                                     \
          orvex_why_.rfind("no test database server", 0) == 0;    \
      if (orvex_no_server_ && !::orvex_test::in_ci()) {           \
        GTEST_SKIP() << orvex_why_;                               \
      }                                                           \
      FAIL() << orvex_why_;                                       \
    }                                                             \
  } while (0)

// Opens conn as the test user; skips or fails the test without a server.
#define ORVEX_OPEN_TEST_DB(conn) ORVEX_OPEN_TEST_DB_AS(conn, false)
// Opens conn as the server's root, for statements on global settings.
#define ORVEX_OPEN_TEST_DB_ROOT(conn) ORVEX_OPEN_TEST_DB_AS(conn, true)

namespace orvex_test {

// A test of one connection (db, or the one given) with a second one, check,
// that sets up and looks at what reached the tables. Both are open when a
// test starts (prepare runs then) and closed, with the statement echo off,
// when it ends.
class DbTest : public testing::Test {
 protected:
  DbTest() : under_test_(db) {}
  explicit DbTest(DB_CONN& under_test) : under_test_(under_test) {}

  void SetUp() override {
    ORVEX_OPEN_TEST_DB(under_test_);
    std::string why;
    ASSERT_TRUE(load_test_db(env, why)) << why;
    ASSERT_TRUE(open_test_db(check, why, false)) << why;
    prepare();
  }
  void TearDown() override {
    g_print_queries = false;
    check.close();
    under_test_.close();
  }
  virtual void prepare() {}

  void exec(const std::string& sql) {
    ASSERT_EQ(check.do_query(sql.c_str()), 0) << sql;
  }
  std::string value(const std::string& sql) { return query_value(check, sql); }

  DB_CONN db;
  DB_CONN check;
  TestDb env;

 private:
  DB_CONN& under_test_;
};

// Makes the server roll victim back as a deadlock victim (1213) at statement
// at. peer (a second connection as the same user: check) holds hold in a
// transaction that 1000 ballast rows make the heavier, so the lighter victim
// is picked. A thread waits until the process list shows victim running at
// (innodb_trx is refreshed only after 100 ms unread), then asks for ask, a
// row victim holds, and rolls back. peer's statements bypass DB_CONN: no
// echo, no report. done(): "" when peer got its row, else what went wrong.
class Deadlock {
 public:
  Deadlock(DB_CONN& victim, DB_CONN& peer, const std::string& hold,
           const std::string& at, const std::string& ask)
      : peer_(peer.handle) {
    std::string list =
        "select info from information_schema.processlist where id=" +
        std::to_string(mysql_thread_id(victim.handle));
    std::string ballast = "insert into orvex_ballast values ()";
    for (int i = 1; i < 1000; i++) ballast += ",()";
    if (!run(
            "create temporary table if not exists orvex_ballast (id serial)") ||
        !run("start transaction") || !run(ballast) || !run(hold))
      return;
    thread_ = std::thread([this, list, at, ask] {
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!stop_ && std::chrono::steady_clock::now() < end) {
        if (run(list) == at) {
          outcome_ =
              run(ask) ? "" : std::string("peer lost: ") + mysql_error(peer_);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      run("rollback");
    });
  }
  ~Deadlock() { done(); }
  std::string done() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return outcome_;
  }

 private:
  // The first column of the first row ("" for none); nothing on failure.
  std::optional<std::string> run(const std::string& sql) {
    if (mysql_query(peer_, sql.c_str())) return std::nullopt;
    MYSQL_RES* res = mysql_store_result(peer_);
    MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
    std::string value = row && row[0] ? row[0] : "";
    if (res) mysql_free_result(res);
    return value;
  }

  MYSQL* peer_;
  std::string outcome_ = "peer could not hold, or victim never ran at";
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace orvex_test

#endif
