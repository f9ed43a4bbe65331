// Faults of the real server: sessions killed between statements and inside
// transactions, the server stopped under a streaming enumeration, statements
// the server refuses, and many open/close cycles.
#include <dirent.h>
#include <errmsg.h>
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
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/db_conn.h"
#include "database/retry.h"
#include "database/sql_escape.h"
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

// check kills db's sessions and looks at what reached the tables.
class DbFaults : public orvex_test::DbTest {
 protected:
  void prepare() override {
    exec("drop table if exists fault_t");
    exec("drop table if exists fault_log");
    exec(kCreateFaultTable);
    exec("create table fault_log (n int not null) engine=InnoDB");
  }

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
// Transactions the server ended, or a body ended itself: run_transaction
// commits a run whole or not at all. A second client makes the server pick
// the first run as a deadlock victim where a row asks for it.
TEST_F(DbFaults, TransactionsTheServerEndedRunWholeOrNotAtAll) {
  exec("insert into fault_t values (1, 'a', 0), (2, 'b', 0)");
  std::unique_ptr<DB_FAULT_ROW> walker;
  auto run = [](DB_CONN& d, const char* sql) { return d.do_query(sql); };
  struct {
    const char* name;
    bool deadlock;  // the first run loses one at "update ... id=2"
    std::function<int(DB_CONN&)> body;
    int retval, runs;
    const char* log;  // fault_log after it, and after a next pass of "9"
  } cases[] = {
      {"a body that goes on after the deadlock", true,
       [&](DB_CONN& d) {
         run(d, "insert into fault_log values (1)");
         run(d, "update fault_t set qty=qty+1 where id=1");
         run(d, "update fault_t set qty=qty+1 where id=2");
         run(d, "insert into fault_log values (2)");  // errors ignored
         return 0;
       },
       0, 2, "1,2,9"},
      {"a body that commits by itself", true,
       [&](DB_CONN& d) {
         run(d, "insert into fault_log values (1)");
         run(d, "commit");
         run(d, "start transaction");
         run(d, "update fault_t set qty=qty+1 where id=1");
         return run(d, "update fault_t set qty=qty+1 where id=2");
       },
       ERR_DB_BODY_COMMITTED, 1, "1,9"},
      {"a body that leaves a streamed walk open", false,
       [&](DB_CONN& d) {
         walker.reset(new DB_FAULT_ROW(&d));
         EXPECT_EQ(walker->enumerate("", true), 0);
         run(d, "insert into fault_log values (3)");
         return -1;
       },
       -1, 1, "9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    exec("delete from fault_log");
    std::unique_ptr<orvex_test::Deadlock> peer;
    if (c.deadlock) {
      peer.reset(new orvex_test::Deadlock(
          db, check, "select id from fault_t where id=2 for update",
          "update fault_t set qty=qty+1 where id=2",
          "select id from fault_t where id=1 for update"));
    }
    int runs = 0;
    CaptureStderr();
    EXPECT_EQ(run_transaction(db, 3, c.body, &runs), c.retval);
    GetCapturedStderr();
    if (peer) {
      EXPECT_EQ(peer->done(), "");
    }
    EXPECT_EQ(runs, c.runs);
    EXPECT_TRUE(db.check_invariants() == nullptr) << db.check_invariants();
    EXPECT_EQ(run_transaction(db, 1,
                              [&](DB_CONN& d) {
                                return run(d,
                                           "insert into fault_log values (9)");
                              }),
              0);
    EXPECT_EQ(value("select group_concat(n order by n) from fault_log"), c.log);
    walker.reset();
  }
  // No id for an insert whose transaction's session was killed.
  ASSERT_EQ(db.start_transaction(), 0);
  ASSERT_EQ(db.do_query("insert into fault_t (id, code, qty) values (7, 'x', "
                        "0)"),
            0);
  kill_session();
  CaptureStderr();
  EXPECT_LT(db.insert_id(), 0);
  EXPECT_LT(db.insert_id(), 0);  // once the loss is known, too
  GetCapturedStderr();
  EXPECT_EQ(db.rollback_transaction(), 0);
}

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

// A connection made with the client library alone (no init commands): the
// server's root over its socket, or a user over TCP, to see what a new
// session of the server is like before the layer prepares it.
class Raw {
 public:
  explicit Raw(const std::string& socket, const char* user = "root",
               const char* passwd = "", const char* host = nullptr,
               unsigned port = 0)
      : m_(mysql_init(nullptr)) {
    if (!mysql_real_connect(m_, host, user, passwd, nullptr, port,
                            host ? nullptr : socket.c_str(), 0)) {
      mysql_close(m_);
      m_ = nullptr;
    }
  }
  ~Raw() {
    if (m_) mysql_close(m_);
  }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;
  bool ok() const { return m_ != nullptr; }
  bool exec(const std::string& sql) {
    if (!m_ || mysql_query(m_, sql.c_str())) return false;
    if (MYSQL_RES* r = mysql_store_result(m_)) mysql_free_result(r);
    return true;
  }
  // After a statement: the flags of the greeting predate init_connect.
  bool reads_backslashes_literally() {
    return exec("do 0") &&
           (m_->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES);
  }

 private:
  MYSQL* m_;
};

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
    socket = key_of(env, "DB_SOCKET");
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

  // Starts the recorded command line again (with extra arguments, if any),
  // detached as the script does it, waits until it serves, and tells the
  // script the new pid so that its stop finds the server. Ready means: the
  // pid file names a live process other than the old one whose command line
  // holds our --datadir (a stale file or a reused pid does not count), and
  // the server then answers on its socket. The 60 s margins hold on a busy
  // 2-core machine, where a start takes 1.5 to 5 s.
  void restart(const std::vector<std::string>& extra = {}) {
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
      for (auto& a : extra) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status;
    waitpid(child, &status, 0);
    std::string datadir = key_of(read_file(state + "/server.info"), "datadir");
    std::string pid_file =
        datadir.substr(0, datadir.rfind('/')) + "/mysqld.pid";
    pid_t old = pid;
    auto ours = [&](pid_t p) {
      std::string cmdline =
          read_file("/proc/" + std::to_string(p) + "/cmdline");
      return cmdline.find(std::string("--datadir=") + datadir + '\0') !=
             std::string::npos;
    };
    for (int i = 0; i < 6000 && pid == old; i++) {
      pid_t p = atoi(read_file(pid_file).c_str());
      if (p > 0 && p != old && alive(p) && ours(p))
        pid = p;
      else
        usleep(10000);
    }
    ASSERT_NE(pid, old) << "server did not write a new pid file";
    std::string info = read_file(state + "/server.info");
    std::string rest = info.substr(info.find('\n') + 1);
    std::ofstream(state + "/server.info") << "pid=" << pid << "\n" << rest;
    bool ready = false;
    for (int i = 0; i < 600 && !ready; i++) {
      Raw probe(socket);
      ready = probe.ok();
      if (!ready) usleep(100000);
    }
    ASSERT_TRUE(ready) << "server " << pid << " does not answer";
  }

  std::string dir, state, host, name, user, passwd, socket;
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

  // Stopped, the server resets the stream; frozen, it leaves it silent, and
  // the wait bound (1 s here) and a connect's bound end it.
  db.set_timeouts(1, 1);
  EXPECT_EQ(db.do_query("do sleep(3)"), 0) << "a busy server is not gone";
  DB_FAULT_ROW row(&db);
  for (bool freeze : {false, true}) {
    SCOPED_TRACE(freeze ? "frozen" : "stopped");
    int delivered = 0, retval;
    auto t0 = std::chrono::steady_clock::now();
    CaptureStderr();
    while ((retval = row.enumerate("order by id", true)) == 0) {
      if (++delivered != 10) continue;
      if (freeze) {
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
      } else {
        stop();
      }
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_NE(retval, ERR_DB_NO_ROW) << "a cut stream read as its end";
    EXPECT_GT(retval, 0) << "the library's error number";
    EXPECT_LT(delivered, kRows);
    EXPECT_LT(took.count(), 20) << "the walk waited past its bounds";
    EXPECT_FALSE(row.row_cursor.active);
    EXPECT_EQ(row.row_cursor.result_set, nullptr);
    EXPECT_EQ(db.ping(), ERR_DB_CONNECT);  // nothing answers meanwhile
    GetCapturedStderr();
    EXPECT_TRUE(db.check_invariants() == nullptr) << db.check_invariants();
    printf(
        "[figures] stream cut after %d of %d rows, enumerate gave %d, in "
        "%.1f s\n",
        delivered, kRows, retval, took.count());

    if (freeze) {
      ASSERT_EQ(kill(pid, SIGCONT), 0);
    } else {
      restart();
    }
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
  }
  db.close();
}

// ---------------------------------------------------------------------------
// The session matrix: what servers do to a session (event), against the
// state the connection is in, and the operation that comes next. Each cell
// has a connection of its own; the cells of one event share it (one sleep,
// one restart). What a cell must do follows from three rules of the session
// layer, written once in Cell below.

enum Event {
  kIdle,
  kKill,
  kRestart,
  kInitConnectNbe,
  kGlobalNbe,
  kDefaultNbe,
  kOwnSet,
  kOwnNames,
  kOwnUnreported,
  kOwnAutocommit,
  kOwnTimeZone,
  kOptionInit,
  kOwnReportsOff,
  kOwnFailedCall,
  kOwnSelectOff,
  kOwnSetStatement,
  kOwnCollation,
  kOwnNumberText,
  kOwnQuotedText,
  kOptionInitOwn
};
const char* const kEventName[] = {
    "idle timeout",
    "KILL",
    "restart",
    "init_connect NO_BACKSLASH_ESCAPES",
    "global sql_mode NO_BACKSLASH_ESCAPES",
    "server default NO_BACKSLASH_ESCAPES",
    "own SET of NO_BACKSLASH_ESCAPES",
    "own SET NAMES gbk",
    "own SET of no reports, then SET NAMES big5",
    "own SET autocommit=0, then KILL",
    "own SET time_zone, then KILL",
    "option file init-command autocommit=0, then KILL",
    "own SET of both reports off in one statement, then SET NAMES big5",
    "own CALL that turns the reports off and fails, then SET NAMES big5",
    "own SELECT of a function that turns the reports off, then SET NAMES "
    "big5",
    "own SET STATEMENT time_zone FOR one statement, then KILL",
    "own SET NAMES utf8mb4 COLLATE utf8mb4_bin, then KILL",
    "own SET of a text that reads as a number, then KILL",
    "own SET of a text with a quote and a backslash, then global sql_mode "
    "NO_BACKSLASH_ESCAPES and KILL",
    "option file init-command autocommit=0, own SET autocommit=1, then "
    "KILL"};
// The program's own statements of each event, in turn; the last one is
// refused for every event whose change the layer refuses.
const char* const kOwnStatements[][2] = {
    {},
    {},
    {},
    {},
    {},
    {},
    {"set session sql_mode=concat(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"},
    {"set names gbk"},
    {"set session session_track_system_variables=''", "set names big5"},
    {"set autocommit=0"},
    {"set session time_zone='+02:00'"},
    {},
    {"set session session_track_state_change=OFF, "
     "session_track_system_variables=''",
     "set names big5"},
    {"call mt_reports_off()", "set names big5"},
    {"select mt_reports_off_f()", "set names big5"},
    {"set statement time_zone='+05:00' for do 1"},
    {"set names utf8mb4 collate utf8mb4_bin"},
    {"set default_master_connection='123'"},
    {"set default_master_connection='a''b\\\\c'"},
    {"set autocommit=1"}};
enum Walk { kNoWalk, kStreaming, kBuffered };
const char* const kWalkName[] = {"no enumeration", "streaming", "buffered"};
enum Op { kEnumerate, kLookup, kCount, kUpdate, kInsertBatch, kCommit, kPing };
const char* const kOpName[] = {"enumerate",    "lookup", "count", "update",
                               "insert_batch", "commit", "ping"};

struct Cell {
  Event event;
  bool iso;  // set_isolation_level(READ_COMMITTED) first
  int txn;   // 0, or inside a transaction that has written a row, opened by
             // start_transaction (1), the program's own "begin" (2) or
             // "begin work" (3), and ended by the same word ("commit work")
  Walk walk;
  Op op;
  int k;  // the cell's own rows: 1000+k (updated), 2000+k, 3000+k
  DB_CONN db;
  std::unique_ptr<DB_FAULT_ROW> walker;

  bool refused_set() const {
    return event == kOwnSet || event == kOwnNames || event == kOwnUnreported ||
           event == kOwnReportsOff || event == kOwnFailedCall ||
           event == kOwnSelectOff;
  }
  // Every event but a refused SET of the program's ends the session.
  bool lost() const { return !refused_set(); }
  // The own SET cannot reach a session busy streaming ("out of sync").
  bool unsafe() const { return refused_set() && walk != kStreaming; }
  bool autocommit_off() const {
    return event == kOwnAutocommit || event == kOptionInit;
  }
  // Statements with autocommit off open a transaction: walks would make
  // every cell a transaction cell, which the other rows cover. The words of
  // "begin work" matter to the state alone (and the server's sessions are
  // limited): no walks there either.
  bool runs() const {
    return (!autocommit_off() && txn != 3) || walk == kNoWalk;
  }
  // The next statement runs, unless the session is unsafe or a transaction
  // was lost (which only a failed COMMIT or a rollback clears).
  bool serves() const { return !unsafe() && !(txn && lost()); }
  // What a new session shows of the program's own changes.
  std::string carried() const {
    return std::string(autocommit_off() ? "OFF" : "ON") + " " +
           (event == kOwnTimeZone ? "+02:00" : "SYSTEM") + " " +
           (event == kOwnCollation ? "utf8mb4_bin" : "utf8mb4_general_ci") +
           (event == kOwnNumberText   ? " 123"
            : event == kOwnQuotedText ? " a'b\\c"
                                      : "");
  }
  std::string name() const {
    return std::string(kEventName[event]) + (iso ? " / isolation" : "") +
           (txn == 1   ? " / transaction"
            : txn == 2 ? " / own begin"
            : txn == 3 ? " / own begin work"
                       : "") +
           " / " + kWalkName[walk] + " / " + kOpName[op];
  }
};

TEST_F(OwnServer, SessionMatrix) {
  const int kRows = 11;
  const char* kWalkClause = "where id<=11 order by id";
  std::unique_ptr<Raw> root(new Raw(socket));
  ASSERT_TRUE(root->ok());
  DB_CONN check;
  ASSERT_EQ(
      check.open(name.c_str(), host.c_str(), user.c_str(), passwd.c_str()), 0);
  auto value = [&](const std::string& sql) { return query_value(check, sql); };
  ASSERT_EQ(check.do_query("create table mt_t (id int not null primary key, "
                           "code varchar(32) not null, qty int not null)"),
            0);
  std::string rows = "insert into mt_t values ";
  for (int i = 1; i <= kRows; i++) {
    rows += "(" + std::to_string(i) + ", 'c" + std::to_string(i) + "', 0),";
  }
  rows.pop_back();
  ASSERT_EQ(check.do_query(rows.c_str()), 0);
  ASSERT_EQ(check.do_query("create procedure mt_reports_off() begin set "
                           "session session_track_state_change=OFF; set "
                           "session session_track_system_variables=''; "
                           "signal sqlstate '45000'; end"),
            0);
  ASSERT_EQ(check.do_query("create function mt_reports_off_f() returns int "
                           "begin set session session_track_state_change="
                           "OFF; set session session_track_system_variables="
                           "''; return 1; end"),
            0);
  // Selects every row if a backslash stops escaping.
  char injection[64] = "' or 1=1 -- ";
  escape_string(injection, sizeof injection);
  const std::string inject = std::string("where code='") + injection + "'";
  const char* kNbe = "concat(@@sql_mode, ',NO_BACKSLASH_ESCAPES')";

  auto holds = [](const DB_CONN& db) {
    const char* broken = db.check_invariants();
    EXPECT_TRUE(broken == nullptr) << broken;
  };
  orvex_test::TempDir option_dir("orvex_matrix");
  const std::string option_file = option_dir.path() + "/db.cnf";
  orvex_test::write_file(option_file,
                         "[orvex]\ninit-command=SET autocommit=0\n");
  int cells_run = 0;
  for (Event event : {kIdle,           kKill,
                      kInitConnectNbe, kGlobalNbe,
                      kOwnSet,         kOwnNames,
                      kOwnUnreported,  kOwnAutocommit,
                      kOwnTimeZone,    kOptionInit,
                      kOwnReportsOff,  kOwnFailedCall,
                      kOwnSelectOff,   kOwnSetStatement,
                      kOwnCollation,   kOwnNumberText,
                      kOwnQuotedText,  kOptionInitOwn,
                      kRestart,        kDefaultNbe}) {
    SCOPED_TRACE(kEventName[event]);
    if (event == kOptionInit || event == kOptionInitOwn) {
      setenv("ORVEX_DB_OPTION_FILE", option_file.c_str(), 1);
    }
    ASSERT_EQ(check.do_query("delete from mt_t where id>11"), 0);
    std::vector<std::unique_ptr<Cell>> cells;
    std::string seed = "insert into mt_t values ";
    for (bool iso : {false, true}) {
      for (int txn : {0, 1, 2, 3}) {
        for (Walk walk : {kNoWalk, kStreaming, kBuffered}) {
          for (int op = kEnumerate; op <= kPing; op++) {
            int k = static_cast<int>(cells.size());
            std::unique_ptr<Cell> cell(
                new Cell{event, iso, txn, walk, Op(op), k, {}, {}});
            if (!cell->runs()) continue;
            cells.push_back(std::move(cell));
            seed += "(" + std::to_string(1000 + k) + ", 'u', 0),";
          }
        }
      }
    }
    seed.pop_back();
    ASSERT_EQ(check.do_query(seed.c_str()), 0);

    // Every cell into its state.
    for (auto& c : cells) {
      DB_CONN& db = c->db;
      ASSERT_EQ(
          db.open(name.c_str(), host.c_str(), user.c_str(), passwd.c_str()), 0);
      if (c->iso) {
        ASSERT_EQ(db.set_isolation_level(READ_COMMITTED), 0);
      }
      if (event == kIdle) {
        ASSERT_EQ(db.do_query("set session wait_timeout=1"), 0);
      }
      if (c->lost()) {
        for (const char* own : kOwnStatements[event]) {
          if (own) {
            ASSERT_EQ(db.do_query(own), 0);
          }
        }
      }
      if (c->txn) {
        ASSERT_EQ(c->txn == 1   ? db.start_transaction()
                  : c->txn == 2 ? db.do_query("begin")
                                : db.do_query("begin work"),
                  0);
        std::string mark = "insert into mt_t values (" +
                           std::to_string(3000 + c->k) + ", 't', 0)";
        ASSERT_EQ(db.do_query(mark.c_str()), 0);
      }
      if (c->walk != kNoWalk) {
        c->walker.reset(new DB_FAULT_ROW(&db, "mt_t"));
        ASSERT_EQ(c->walker->enumerate(kWalkClause, c->walk == kStreaming), 0);
      }
    }

    // The event, once for all cells.
    if (event == kInitConnectNbe) {
      ASSERT_TRUE(
          root->exec(std::string("set global init_connect='set session "
                                 "sql_mode=concat(@@sql_mode, "
                                 "'',NO_BACKSLASH_ESCAPES'')'")));
    }
    if (event == kGlobalNbe || event == kOwnQuotedText) {
      ASSERT_TRUE(root->exec(std::string("set global sql_mode=") + kNbe));
    }
    if (event == kIdle) sleep(3);  // wait_timeout 1 s, and 2 s of margin
    for (auto& c : cells) holds(c->db);
    if (cells.front()->lost() && event != kIdle && event != kRestart &&
        event != kDefaultNbe) {
      std::string ids;
      for (auto& c : cells) {
        std::string id = std::to_string(mysql_thread_id(c->db.handle));
        ASSERT_TRUE(root->exec("kill " + id));
        ids += (ids.empty() ? "" : ",") + id;
      }
      std::string left =
          "select count(*) from information_schema.processlist "
          "where id in (" +
          ids + ")";
      for (int i = 0; i < 3000 && value(left) != "0"; i++) usleep(10000);
      ASSERT_EQ(value(left), "0") << "sessions still there after KILL";
    }
    if (event == kRestart || event == kDefaultNbe) {
      stop();
      if (event == kRestart)
        restart();
      else
        restart({"--sql-mode=STRICT_TRANS_TABLES,NO_BACKSLASH_ESCAPES"});
      root.reset(new Raw(socket));
      ASSERT_TRUE(root->ok());
    }
    if (!cells.front()->lost()) {
      CaptureStderr();
      for (auto& c : cells) {
        const char* const* own = kOwnStatements[event];
        if (own[1]) {  // sent, unless the walk holds the connection
          int first = c->db.do_query(own[0]);
          EXPECT_EQ(first == CR_COMMANDS_OUT_OF_SYNC, c->walk == kStreaming)
              << c->name();
          if (first == 0) mysql_free_result(mysql_store_result(c->db.handle));
        }
        EXPECT_NE(c->db.do_query(own[1] ? own[1] : own[0]), 0) << c->name();
      }
      GetCapturedStderr();
    }
    if (event == kInitConnectNbe || event == kGlobalNbe ||
        event == kDefaultNbe || event == kOwnQuotedText) {
      // The event is real: a session the layer does not prepare has it.
      unsigned port =
          static_cast<unsigned>(atoi(host.substr(host.find(':') + 1).c_str()));
      Raw probe(socket, user.c_str(), passwd.c_str(), "127.0.0.1", port);
      EXPECT_TRUE(probe.reads_backslashes_literally());
    }

    // The next operation, then what a daemon does after it.
    for (auto& cp : cells) {
      Cell& c = *cp;
      SCOPED_TRACE(c.name());
      DB_CONN& db = c.db;
      int walked = 1, walk_end = 0;
      auto walk_on = [&] {
        while ((walk_end = c.walker->enumerate(kWalkClause,
                                               c.walk == kStreaming)) == 0)
          walked++;
        // A cut stream ends with an error, never as if the rows had ended.
        EXPECT_TRUE((walk_end == ERR_DB_NO_ROW && walked == kRows) ||
                    walk_end > 0)
            << walk_end << " after " << walked << " rows";
      };
      if (c.walk == kStreaming) walk_on();  // nothing else may run meanwhile

      DB_FAULT_ROW row(&db, "mt_t");
      int ret = 0, n = -1;
      g_print_queries = true;
      CaptureStderr();
      switch (c.op) {
        case kEnumerate: {
          int got = 0;
          while ((ret = row.enumerate(kWalkClause)) == 0) got++;
          EXPECT_TRUE(ret != ERR_DB_NO_ROW || got == kRows) << "rows lost";
          if (ret == ERR_DB_NO_ROW) ret = 0;
          break;
        }
        case kLookup:
          ret = row.lookup("where id=5");
          if (ret == 0) {
            EXPECT_STREQ(row.code, "c5");
          }
          break;
        case kCount:
          ret = row.count(n, inject.c_str());
          if (ret == 0) {
            EXPECT_EQ(n, 0) << "escaped text selected rows";
          }
          break;
        case kUpdate:
          row.id = 1000 + c.k;
          strlcpy(row.code, "u", sizeof row.code);
          row.qty = 7;
          ret = row.update();
          break;
        case kInsertBatch:
          ret =
              row.insert_batch("(" + std::to_string(2000 + c.k) + ", 'b', 0)");
          break;
        case kCommit: ret = db.commit_transaction(); break;
        case kPing: ret = db.ping(); break;
      }
      g_print_queries = false;
      std::string err = GetCapturedStderr();
      if (c.walk == kBuffered) walk_on();  // other statements may run inside
      holds(db);

      if (c.serves()) {
        EXPECT_EQ(ret, 0) << err;
      } else {
        EXPECT_NE(ret, 0) << err;
        if (c.op == kPing) {
          EXPECT_EQ(ret, ERR_DB_CONNECT);
        } else
          EXPECT_NE(err.find("Database error: "), std::string::npos) << err;
      }
      if (c.serves() && c.lost() && c.op != kPing) {
        // The program's own changes hold on the new session.
        EXPECT_EQ(query_value(db,
                              "select concat_ws(' ', @@autocommit, "
                              "@@time_zone, @@collation_connection, "
                              "nullif(@@default_master_connection, ''))"),
                  c.carried());
      }
      if (c.serves() && c.lost() && !c.txn && c.iso) {
        // The new session's set-up carried the level, and it shows.
        EXPECT_NE(err.find("SESSION tx_isolation=X'524541442D434F4D4D495454"
                           "4544'"),  // READ-COMMITTED, as written
                  std::string::npos)
            << err;
      }

      CaptureStderr();
      if (c.txn) {
        // Whatever came before, a COMMIT never reports lost work done.
        int commit = c.txn == 1   ? db.commit_transaction()
                     : c.txn == 2 ? db.do_query("commit")
                                  : db.do_query("commit work");
        if (c.serves()) {
          EXPECT_EQ(commit, 0);
        } else
          EXPECT_NE(commit, 0);
      } else if (c.autocommit_off()) {
        // The program relies on this to undo what it wrote.
        EXPECT_EQ(db.rollback_transaction(), 0);
      }
      holds(db);
      if (c.unsafe()) {
        EXPECT_EQ(db.ping(), ERR_DB_CONNECT);
        db.close();
        EXPECT_EQ(
            db.open(name.c_str(), host.c_str(), user.c_str(), passwd.c_str()),
            0);
      }
      // Nothing wedges: the next statement runs, with the level set and
      // escaping intact.
      EXPECT_EQ(db.ping(), 0);
      int all = -1;
      EXPECT_EQ(row.count(all, "where id<=11"), 0);
      EXPECT_EQ(all, kRows);
      n = -1;
      EXPECT_EQ(row.count(n, inject.c_str()), 0);
      EXPECT_EQ(n, 0) << "escaped text selected rows";
      holds(db);
      if (c.iso && !c.unsafe()) {
        EXPECT_EQ(query_value(db, "select @@session.tx_isolation"),
                  "READ-COMMITTED");
      }
      // Closing ends an enumeration its row object still holds.
      DB_FAULT_ROW open_walk(&db, "mt_t");
      EXPECT_EQ(open_walk.enumerate(kWalkClause, true), 0);
      db.close();
      EXPECT_FALSE(open_walk.row_cursor.active);
      GetCapturedStderr();

      // What reached the table is what was reported.
      auto present = [&](int id) {
        return value("select count(*) from mt_t where id=" +
                     std::to_string(id));
      };
      EXPECT_EQ(present(3000 + c.k), c.txn && c.serves() ? "1" : "0")
          << "the transaction's row";
      if (c.op == kUpdate) {
        EXPECT_EQ(value("select qty from mt_t where id=" +
                        std::to_string(1000 + c.k)),
                  c.serves() && !c.autocommit_off() ? "7" : "0");
      }
      if (c.op == kInsertBatch) {
        EXPECT_EQ(present(2000 + c.k),
                  c.serves() && !c.autocommit_off() ? "1" : "0");
      }
      cells_run++;
    }
    if (event == kInitConnectNbe) {
      ASSERT_TRUE(root->exec("set global init_connect=''"));
    }
    if (event == kGlobalNbe || event == kOwnQuotedText) {
      ASSERT_TRUE(root->exec("set global sql_mode=default"));
    }
    unsetenv("ORVEX_DB_OPTION_FILE");
  }
  check.close();
  printf("[figures] session matrix: %d cells\n", cells_run);
}

}  // namespace
