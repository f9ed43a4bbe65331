// Faults of the real server: sessions killed between statements and inside
// transactions, the server stopped under a streaming enumeration, statements
// the server refuses, and many open/close cycles.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/db_conn.h"
#include "database/tablerow.h"
#include "test_db.h"
#include "test_util.h"

using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using orvex_test::count_open_fds;
using orvex_test::read_file;

const char* const kCreateFaultTable =
    "create table fault_t (id int not null primary key, code varchar(32) not "
    "null, qty int not null, unique key (code)) engine=InnoDB";

struct FAULT_ROW {
  int id = 0;
  char code[33] = "";
  int qty = 0;
};

class DB_FAULT_ROW : public TABLEROW, public FAULT_ROW {
 public:
  DB_FAULT_ROW(DB_CONN* connection, const char* table = "fault_t")
      : TABLEROW(table, connection) {}
  int get_id() override { return id; }
  void db_print(char* dest) override {
    snprintf(dest, QUERY_TEXT_MAX, "id=%d, code='%s', qty=%d", id, code, qty);
  }
  void db_parse(MYSQL_ROW& row) override {
    id = atoi(row[0]);
    strlcpy(code, row[1], sizeof code);
    qty = atoi(row[2]);
  }
};

class DbFaults : public testing::Test {
 protected:
  void SetUp() override {
    ORVEX_OPEN_TEST_DB(db);
    std::string why;
    ASSERT_TRUE(orvex_test::load_test_db(env, why)) << why;
    ASSERT_TRUE(orvex_test::open_test_db(check, why, false)) << why;
    exec("drop table if exists fault_t");
    exec("drop table if exists fault_log");
    exec(kCreateFaultTable);
    exec("create table fault_log (n int not null) engine=InnoDB");
  }
  void TearDown() override {
    g_print_queries = false;
    check.close();
    db.close();
  }

  void exec(const std::string& sql) {
    ASSERT_EQ(check.do_query(sql.c_str()), 0) << sql;
  }
  std::string value(const std::string& sql) { return query_value(check, sql); }

  // Ends db's session from the second connection and waits until the server
  // has really dropped it, so that the fault lies between two statements.
  std::string kill_session() {
    std::string id = std::to_string(mysql_thread_id(db.handle));
    EXPECT_EQ(check.do_query(("kill " + id).c_str()), 0);
    for (int i = 0; i < 500; i++) {
      if (value("select count(*) from information_schema.processlist where "
                "id=" +
                id) == "0") {
        return id;
      }
      usleep(2000);
    }
    ADD_FAILURE() << "session " << id << " still there after KILL";
    return id;
  }

  DB_CONN db;     // the connection under test
  DB_CONN check;  // kills db's sessions and looks at what reached the tables
  orvex_test::TestDb env;
};

// The client library notices the dropped session before it sends and
// reconnects: the statement runs once, on a new session. Whatever it
// reports must be true of the table, and the connection goes on working.
TEST_F(DbFaults, SessionKilledBetweenStatements) {
  const int kRounds = 25;
  int reported_errors = 0, ran_on_new_session = 0;
  for (int i = 0; i < kRounds; i++) {
    std::string old_session = kill_session();
    std::string insert =
        "insert into fault_log values (" + std::to_string(i) + ")";
    CaptureStderr();
    int retval = db.do_query(insert.c_str());
    std::string err = GetCapturedStderr();
    // Never run twice, never reported done when it was not.
    EXPECT_EQ(
        value("select count(*) from fault_log where n=" + std::to_string(i)),
        retval == 0 ? "1" : "0")
        << "round " << i << ": " << err;
    if (retval) {
      reported_errors++;
      EXPECT_NE(err.find("Database error: "), std::string::npos) << err;
    }
    EXPECT_EQ(db.ping(), 0) << "round " << i;
    std::string session = query_value(db, "select connection_id()");
    EXPECT_NE(session, old_session);
    if (retval == 0) ran_on_new_session++;
    std::string later =
        "insert into fault_log values (" + std::to_string(1000 + i) + ")";
    EXPECT_EQ(db.do_query(later.c_str()), 0);
  }
  EXPECT_EQ(value("select count(*) from fault_log where n >= 1000"),
            std::to_string(kRounds));
  printf(
      "[figures] killed between statements: %d rounds, %d reported an "
      "error, %d ran once on a new session\n",
      kRounds, reported_errors, ran_on_new_session);
}

// A session that the library opens again by itself starts from the
// server's defaults: the connection's isolation level comes back, and a
// server that now takes backslashes literally closes the connection.
TEST_F(DbFaults, NewSessionGetsTheConnectionsSettingsBack) {
  ASSERT_EQ(db.set_isolation_level(SERIALIZABLE), 0);
  kill_session();
  ASSERT_EQ(db.do_query("insert into fault_log values (1)"), 0);
  EXPECT_EQ(query_value(db, "select @@session.tx_isolation"), "SERIALIZABLE");
  kill_session();
  ASSERT_EQ(db.ping(), 0);
  EXPECT_EQ(query_value(db, "select @@session.tx_isolation"), "SERIALIZABLE");

  DB_CONN root;
  ORVEX_OPEN_TEST_DB_ROOT(root);
  {
    orvex_test::GlobalSqlMode restore(root);
    ASSERT_EQ(root.do_query("set global sql_mode=concat(@@global.sql_mode, "
                            "',NO_BACKSLASH_ESCAPES')"),
              0);
    kill_session();
    CaptureStderr();
    int retval = db.do_query("insert into fault_log values (2)");
    std::string err = GetCapturedStderr();
    EXPECT_EQ(retval, ERR_DB_CONNECT);
    EXPECT_EQ(db.handle, nullptr);
    EXPECT_EQ(err,
              "Database error: the server's sql_mode has NO_BACKSLASH_ESCAPES, "
              "under which escaped texts are unsafe; connection closed\n");
    EXPECT_EQ(db.do_query("select 1"), ERR_DB_CONNECT);  // stays closed
  }
  root.close();
}

// The work of a transaction whose session is killed is gone; whatever the
// caller does next, nothing may report it done, and the connection comes
// back once the transaction is rolled back.
TEST_F(DbFaults, SessionKilledInsideTransaction) {
  auto begin = [&](int first) {
    ASSERT_EQ(db.start_transaction(), 0);
    for (int n = first; n < first + 3; n++) {
      ASSERT_EQ(db.do_query(
                    ("insert into fault_log values (" + std::to_string(n) + ")")
                        .c_str()),
                0);
    }
  };
  auto none_of = [&](int first) {
    return value("select count(*) from fault_log where n between " +
                 std::to_string(first) + " and " + std::to_string(first + 99));
  };
  auto recovers = [&](int mark) {
    EXPECT_EQ(db.ping(), 0);
    EXPECT_EQ(db.do_query(("insert into fault_log values (" +
                           std::to_string(mark) + ")")
                              .c_str()),
              0);
    EXPECT_EQ(
        value("select count(*) from fault_log where n=" + std::to_string(mark)),
        "1");
  };

  CaptureStderr();
  // 1. COMMIT straight after the kill, then again.
  begin(100);
  kill_session();
  EXPECT_NE(db.commit_transaction(), 0);
  EXPECT_NE(db.commit_transaction(), 0);  // a retry must not "succeed"
  EXPECT_EQ(none_of(100), "0");
  db.rollback_transaction();
  recovers(199);

  // 2. A ping brings the link back as a new session: the transaction's
  // statements and its COMMIT must not run there.
  begin(200);
  kill_session();
  EXPECT_EQ(db.ping(), 0);
  EXPECT_NE(db.do_query("insert into fault_log values (203)"), 0);
  EXPECT_NE(db.commit_transaction(), 0);
  EXPECT_EQ(db.ping(), 0);
  EXPECT_NE(db.commit_transaction(), 0);
  EXPECT_EQ(none_of(200), "0");
  EXPECT_EQ(db.rollback_transaction(), 0);
  recovers(299);

  // 3. More statements after the kill: each fails, none commits alone.
  begin(300);
  kill_session();
  EXPECT_NE(db.do_query("insert into fault_log values (303)"), 0);
  EXPECT_NE(db.do_query("insert into fault_log values (304)"), 0);
  EXPECT_NE(db.commit_transaction(), 0);
  EXPECT_EQ(none_of(300), "0");
  db.rollback_transaction();
  recovers(399);

  // 4. A new transaction after a lost one, without a rollback, starts clean.
  begin(400);
  kill_session();
  EXPECT_EQ(db.ping(), 0);
  begin(500);
  EXPECT_EQ(db.commit_transaction(), 0);
  EXPECT_EQ(none_of(400), "0");
  EXPECT_EQ(none_of(500), "3");
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("lost inside a transaction"), std::string::npos) << err;

  // After a committed transaction reconnection is back: a session killed
  // between statements is replaced without a word.
  kill_session();
  EXPECT_EQ(db.do_query("insert into fault_log values (600)"), 0);
  EXPECT_EQ(none_of(600), "1");
}

// The echo of the one statement an operation sent (g_print_queries).
std::string echoed_statement(const std::string& err) {
  size_t start = err.find("query: ");
  if (start == std::string::npos) return "";
  start += 7;
  return err.substr(start, err.find('\n', start) - start);
}

// A refused statement's error comes up through every operation built on
// do_query: the value do_query gives for that very statement (for
// enumerate, the library's error number), with the report on standard
// error; outputs stay as they were and the connection stays usable.
TEST_F(DbFaults, RefusedStatementsThroughEveryOperation) {
  exec("insert into fault_t values (1, 'a', 10), (2, 'b', 20)");
  exec("create table fault_gone like fault_t");
  exec("drop table fault_gone");

  struct Op {
    const char* name;
    bool writes;  // only writes can meet a duplicate key
    std::function<int(DB_FAULT_ROW&)> run;
  };
  int number = -7;
  double x = -7.5;
  char text[16] = "untouched";
  int ints[2] = {-7, -7};
  const std::vector<Op> ops = {
      {"lookup_id", false, [](DB_FAULT_ROW& r) { return r.lookup_id(2); }},
      {"lookup", false, [](DB_FAULT_ROW& r) { return r.lookup("where id=2"); }},
      {"insert", true, [](DB_FAULT_ROW& r) { return r.insert(); }},
      {"insert_batch", true,
       [](DB_FAULT_ROW& r) { return r.insert_batch("(9, 'a', 0)"); }},
      {"update", true, [](DB_FAULT_ROW& r) { return r.update(); }},
      {"update_field", true,
       [](DB_FAULT_ROW& r) { return r.update_field("code='b'"); }},
      {"update_fields_noid", true,
       [](DB_FAULT_ROW& r) {
         return r.update_fields_noid("code='b'", "id=1");
       }},
      {"delete_from_db", false,
       [](DB_FAULT_ROW& r) { return r.delete_from_db(); }},
      {"delete_from_db_multi", false,
       [](DB_FAULT_ROW& r) { return r.delete_from_db_multi("id>0"); }},
      {"count", false, [&](DB_FAULT_ROW& r) { return r.count(number); }},
      {"max_id", false, [&](DB_FAULT_ROW& r) { return r.max_id(number); }},
      {"sum", false, [&](DB_FAULT_ROW& r) { return r.sum(x, "qty"); }},
      {"get_integer", false,
       [&](DB_FAULT_ROW& r) {
         return r.get_integer(
             (std::string("select max(qty) from ") + r.table_name).c_str(),
             number);
       }},
      {"get_double", false,
       [&](DB_FAULT_ROW& r) {
         return r.get_double(
             (std::string("select avg(qty) from ") + r.table_name).c_str(), x);
       }},
      {"get_field_str", false,
       [&](DB_FAULT_ROW& r) {
         return r.get_field_str("code", text, sizeof text);
       }},
      {"get_field_ints", false,
       [&](DB_FAULT_ROW& r) { return r.get_field_ints("id, qty", 2, ints); }},
  };

  struct Fault {
    const char* name;
    const char* table;   // the table name the row object writes
    const char* report;  // part of the server's message
    unsigned error;      // the server's error number
  } faults[] = {
      {"syntax", "fault_t where", "error in your SQL syntax", 1064},
      {"lost table", "fault_gone", "doesn't exist", 1146},
      {"duplicate key", "fault_t", "Duplicate entry", 1062},
  };

  int refused = 0;
  for (const Fault& f : faults) {
    for (const Op& op : ops) {
      bool dup = f.error == 1062;
      if (dup && !op.writes) continue;
      SCOPED_TRACE(std::string(f.name) + " / " + op.name);
      DB_FAULT_ROW row(&db, f.table);
      row.id = 1;  // code 'a' belongs to id 1, 'b' to id 2
      strlcpy(row.code, dup && !strcmp(op.name, "insert") ? "z" : "b",
              sizeof row.code);
      if (!strcmp(op.name, "insert") && dup) row.id = 2;
      row.qty = 99;
      g_print_queries = true;
      CaptureStderr();
      int retval = op.run(row);
      g_print_queries = false;
      std::string err = GetCapturedStderr();
      std::string sql = echoed_statement(err);
      ASSERT_FALSE(sql.empty()) << err;
      EXPECT_EQ(err, "query: " + sql +
                         "\nDatabase error: " + std::string(db.error_string()) +
                         "\nquery=" + sql + "\n");
      EXPECT_NE(err.find(f.report), std::string::npos) << err;
      EXPECT_EQ(mysql_errno(db.handle), f.error);
      // The same statement sent by hand gives the value passed up.
      CaptureStderr();
      int direct = db.do_query(sql.c_str());
      GetCapturedStderr();
      EXPECT_NE(retval, 0);
      EXPECT_EQ(retval, direct);
      refused++;
      // Nothing of the record or the outputs changed.
      EXPECT_EQ(row.id, dup && !strcmp(op.name, "insert") ? 2 : 1);
      EXPECT_EQ(row.qty, 99);
      EXPECT_EQ(number, -7);
      EXPECT_EQ(x, -7.5);
      EXPECT_STREQ(text, "untouched");
      EXPECT_EQ(ints[0], -7);
      // Usable as before, and the table is as it was.
      EXPECT_EQ(db.ping(), 0);
      EXPECT_EQ(query_value(db,
                            "select group_concat(id, code, qty order by "
                            "id) from fault_t"),
                "1a10,2b20");
    }
    if (f.error == 1062) continue;
    // enumerate, both modes: the error number, an inactive cursor, and a
    // fresh start on the next call.
    for (bool streaming : {false, true}) {
      SCOPED_TRACE(std::string(f.name) +
                   " / enumerate streaming=" + std::to_string(streaming));
      DB_FAULT_ROW row(&db, f.table);
      CaptureStderr();
      EXPECT_EQ(row.enumerate("where id>0", streaming),
                static_cast<int>(f.error));
      EXPECT_EQ(row.enumerate("where id>0", streaming),
                static_cast<int>(f.error));
      std::string err = GetCapturedStderr();
      EXPECT_EQ(err.find("Database error: "), 0u) << err;
      EXPECT_NE(err.find("Database error: ", 1), std::string::npos)
          << "the second call must send the statement again: " << err;
      EXPECT_FALSE(row.row_cursor.active);
      EXPECT_EQ(row.id, 0);
      refused += 2;
      DB_FAULT_ROW good(&db);
      int rows = 0, retval;
      while ((retval = good.enumerate("order by id", streaming)) == 0) rows++;
      EXPECT_EQ(retval, ERR_DB_NO_ROW);
      EXPECT_EQ(rows, 2);
    }
  }
  printf(
      "[figures] refused statements: %d (syntax, lost table, duplicate "
      "key over %zu operations)\n",
      refused, ops.size() + 1);
}

// Open/close cycles leak neither descriptors nor memory. The sanitizer
// build counts on its leak checker at exit instead of mallinfo2.
TEST_F(DbFaults, OpenCloseCyclesLeakNothing) {
  const int kCycles = 10000;
  auto cycle = [&] {
    DB_CONN c;
    // The socket: no TCP port left in TIME_WAIT per cycle.
    if (c.open(env.name.c_str(), "localhost", env.user.c_str(),
               env.passwd.c_str())) {
      return false;
    }
    c.close();
    return true;
  };
  for (int i = 0; i < 50; i++) ASSERT_TRUE(cycle());  // library start-up
  int fds = count_open_fds();
  size_t heap = mallinfo2().uordblks;
  auto t0 = std::chrono::steady_clock::now();
  int failed = 0;
  for (int i = 0; i < kCycles; i++) failed += !cycle();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(count_open_fds(), fds);
  long growth =
      static_cast<long>(mallinfo2().uordblks) - static_cast<long>(heap);
#ifndef ORVEX_ASAN
  // Even 8 bytes a cycle would show as 80,000.
  EXPECT_LT(growth, 16 * 1024) << growth << " bytes after " << kCycles;
#endif
  printf(
      "[figures] open/close: %d cycles in %.1f s, %d failed, descriptors "
      "%d -> %d, heap growth %ld bytes\n",
      kCycles, seconds, failed, fds, count_open_fds(), growth);
}

// ---------------------------------------------------------------------------
// A private server of this test's own, which it stops and starts again.

std::string key_of(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

bool alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

class OwnServer : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvex_faults_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    state = dir + "/state";
    std::string cmd = "bash '" ORVEX_SOURCE_ROOT
                      "/scripts/test-db-server.sh' start '" +
                      state + "' >'" + dir + "/start.log' 2>&1";
    int rc = system(cmd.c_str());
    if (WIFEXITED(rc) && WEXITSTATUS(rc) == 77 && !orvex_test::in_ci()) {
      GTEST_SKIP() << "no database server programs";
    }
    ASSERT_EQ(rc, 0) << read_file(dir + "/start.log");
    std::string env = read_file(state + "/db.env");
    host = "127.0.0.1:" + key_of(env, "DB_PORT");
    name = key_of(env, "DB_NAME");
    user = key_of(env, "DB_USER");
    passwd = key_of(env, "DB_PASSWD");
    pid = atoi(key_of(read_file(state + "/server.info"), "pid").c_str());
    ASSERT_TRUE(alive(pid));
    // The command line, to start the same server again on the same data.
    std::string cmdline =
        read_file("/proc/" + std::to_string(pid) + "/cmdline");
    for (size_t at = 0; at < cmdline.size();) {
      size_t end = cmdline.find('\0', at);
      if (end == std::string::npos) end = cmdline.size();
      argv.push_back(cmdline.substr(at, end - at));
      at = end + 1;
    }
    ASSERT_GT(argv.size(), 3u);
  }
  void TearDown() override {
    if (state.empty()) return;
    std::string cmd = "bash '" ORVEX_SOURCE_ROOT
                      "/scripts/test-db-server.sh' stop '" +
                      state + "' >/dev/null 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0);
    if (alive(pid)) {  // a restart the script did not learn of
      kill(pid, SIGTERM);
      wait_gone(30);
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
  }

  bool wait_gone(double seconds) {
    for (int i = 0; i < seconds * 100 && alive(pid); i++) usleep(10000);
    return !alive(pid);
  }

  void stop() {
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(wait_gone(30)) << "server " << pid << " did not stop";
  }

  // Starts the recorded command line again, detached as the script does it,
  // and tells the script the new pid so that its stop finds the server.
  void restart() {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setsid();
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      for (int fd = 3; fd < 1024; fd++) close(fd);
      if (fork() != 0) _exit(0);  // the server is nobody's child here
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status;
    waitpid(child, &status, 0);
    std::string pid_file = key_of(read_file(state + "/server.info"), "datadir");
    pid_file = pid_file.substr(0, pid_file.rfind('/')) + "/mysqld.pid";
    for (int i = 0; i < 3000; i++) {
      int p = atoi(read_file(pid_file).c_str());
      if (p > 0 && p != pid && alive(p)) {
        pid = p;
        break;
      }
      usleep(10000);
    }
    std::string info = read_file(state + "/server.info");
    std::string rest = info.substr(info.find('\n') + 1);
    std::ofstream(state + "/server.info") << "pid=" << pid << "\n" << rest;
  }

  std::string dir, state, host, name, user, passwd;
  std::vector<std::string> argv;
  pid_t pid = 0;
};

// The server goes away in the middle of a streamed selection: the
// enumeration ends with an error number, not with the normal end, its cursor
// is released, and once the server is back the next enumeration starts from
// the first row.
TEST_F(OwnServer, ServerStoppedDuringStreamingEnumerate) {
  DB_CONN db;
  ASSERT_EQ(db.open(name.c_str(), host.c_str(), user.c_str(), passwd.c_str()),
            0);
  ASSERT_EQ(db.do_query("create table fault_t (id int not null "
                        "auto_increment primary key, code varchar(1000) not "
                        "null, qty int not null) engine=InnoDB"),
            0);
  ASSERT_EQ(db.do_query("insert into fault_t (code, qty) values "
                        "(repeat('x', 1000), 1)"),
            0);
  // 2^15 rows of about 1 kB: far more than the socket buffers hold, so the
  // server is still sending when it stops.
  for (int i = 0; i < 15; i++) {
    ASSERT_EQ(db.do_query("insert into fault_t (code, qty) select code, qty "
                          "from fault_t"),
              0);
  }
  const int kRows = 1 << 15;
  ASSERT_EQ(query_value(db, "select count(*) from fault_t"),
            std::to_string(kRows));

  DB_FAULT_ROW row(&db);
  int delivered = 0, retval;
  while ((retval = row.enumerate("order by id", true)) == 0) {
    if (++delivered == 10) stop();
  }
  EXPECT_NE(retval, ERR_DB_NO_ROW) << "a cut stream read as its end";
  EXPECT_GT(retval, 0) << "the library's error number";
  EXPECT_LT(delivered, kRows);
  EXPECT_FALSE(row.row_cursor.active);
  EXPECT_EQ(row.row_cursor.result_set, nullptr);
  EXPECT_EQ(db.ping(), ERR_DB_CONNECT);  // nothing answers while it is down
  printf("[figures] stream cut after %d of %d rows, enumerate gave %d\n",
         delivered, kRows, retval);

  restart();
  int pings = 0;
  while (db.ping() != 0 && pings < 3000) {
    pings++;
    usleep(10000);
  }
  ASSERT_EQ(db.ping(), 0) << "server did not come back";

  int rows = 0, first_id = 0;
  while ((retval = row.enumerate("order by id", true)) == 0) {
    if (rows++ == 0) first_id = row.id;
  }
  EXPECT_EQ(retval, ERR_DB_NO_ROW);
  EXPECT_EQ(first_id, 1);
  EXPECT_EQ(rows, kRows);
  db.close();
}

}  // namespace
