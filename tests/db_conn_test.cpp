#include "database/db_conn.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "database/sql_escape.h"
#include "database/tablerow.h"
#include "test_db.h"
#include "test_util.h"

using orvex_test::echo_of;
using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class DbConnTest : public orvex_test::DbTest {
 protected:
  void prepare() override {
    ASSERT_EQ(db.do_query("drop table if exists conn_t"), 0);
    ASSERT_EQ(db.do_query("create table conn_t (id int not null "
                          "auto_increment primary key, v int not null) "
                          "engine=InnoDB"),
              0);
  }
};

TEST(DbConnNotConnected, AnswersNotConnectedAndCloseIsHarmless) {
  DB_CONN db;
  EXPECT_EQ(db.handle, nullptr);
  EXPECT_STREQ(db.error_string(), "Not connected");
  EXPECT_EQ(db.ping(), ERR_DB_CONNECT);
  EXPECT_EQ(db.affected_rows(), -1);
  CaptureStderr();
  EXPECT_NE(db.do_query("do 1"), 0);
  db.print_error("ctx");
  EXPECT_EQ(GetCapturedStderr(),
            "Database error: Not connected\nquery=do 1\nctx: Database error: "
            "Not connected\n");
  db.close();
  db.close();
  EXPECT_EQ(db.handle, nullptr);
  std::vector<std::string> servers;
  EXPECT_TRUE(split_db_hosts(nullptr, servers));
  EXPECT_EQ(servers, std::vector<std::string>{""});
}

// Every failed open releases its library object (the leak checker of the
// sanitizer build sees any that is kept) and leaves no handle.
TEST_F(DbConnTest, FailedOpenLeavesNoHandle) {
  std::string port = std::to_string(env.port);
  std::string long_host(300, 'h');
  struct {
    std::string name, host, user, passwd;
  } cases[] = {
      {env.name, "127.0.0.1:" + port, env.user, "wrong password"},
      {"no_such_db", "127.0.0.1:" + port, env.user, env.passwd},
      {env.name, "127.0.0.1:" + port, "no_such_user", env.passwd},
      {env.name, "127.0.0.1:1", env.user, env.passwd},
      {env.name, "127.0.0.1:70000", env.user, env.passwd},     // not a port
      {env.name, "127.0.0.1:-" + port, env.user, env.passwd},  // nor this
      {env.name, long_host, env.user, env.passwd},             // would be cut
  };
  for (const auto& c : cases) {
    DB_CONN conn;
    CaptureStderr();
    EXPECT_EQ(conn.open(c.name.c_str(), c.host.c_str(), c.user.c_str(),
                        c.passwd.c_str()),
              ERR_DB_CONNECT)
        << c.host << " " << c.name << " " << c.user;
    EXPECT_EQ(GetCapturedStderr(), "") << "open prints nothing";
    EXPECT_EQ(conn.handle, nullptr);
    EXPECT_STREQ(conn.error_string(), "Not connected");
    conn.close();
  }
}

// The port is the run of digits after the first colon; none means the
// library's default port (pointed at the private server by the test
// harness), and a name without a colon takes the default route, which for
// "localhost" is the socket.
TEST_F(DbConnTest, HostTextChoosesHostAndPort) {
  std::string port = std::to_string(env.port);
  struct {
    std::string host;
    const char* client_host_prefix;  // as the server sees the client
  } cases[] = {
      {"127.0.0.1:" + port, "127.0.0.1:"},
      {"127.0.0.1:" + port + ":999", "127.0.0.1:"},
      {"127.0.0.1:" + port + "abc", "127.0.0.1:"},
      {"127.0.0.1:", "127.0.0.1:"},
      {"127.0.0.1:x1", "127.0.0.1:"},
      {"127.0.0.1: " + port, "127.0.0.1:"},  // read as atoi reads it
      {"127.0.0.1:+" + port, "127.0.0.1:"},
      {"localhost", "localhost"},
  };
  for (const auto& c : cases) {
    DB_CONN conn;
    ASSERT_EQ(conn.open(env.name.c_str(), c.host.c_str(), env.user.c_str(),
                        env.passwd.c_str()),
              0)
        << c.host;
    std::string client =
        query_value(conn,
                    "select host from information_schema.processlist where "
                    "id=connection_id()");
    EXPECT_EQ(client.rfind(c.client_host_prefix, 0), 0u)
        << c.host << " -> " << client;
    EXPECT_EQ(query_value(conn, "select @@port"), port);
    conn.close();
    EXPECT_EQ(conn.handle, nullptr);
  }
}

// Server lists, careless and hostile: the first server that answers is
// taken; a list that could name another server than meant is refused before
// any connection. open prints nothing either way.
TEST_F(DbConnTest, ServerListTakesTheFirstServerThatAnswers) {
  const std::string s = env.host_port(), down = "127.0.0.1:1";
  const std::string h120(120, 'h');
  struct {
    std::string hosts;
    int retval;
    std::string found;  // server(), or a text of connect_error()
  } cases[] = {
      {down + "," + s, 0, s},
      {" " + s + " ,\t" + down + " ", 0, s},
      {s + ",localhost", 0, s},
      {s + ",," + down, ERR_DB_CONNECT, "not a server list"},
      {s + ",", ERR_DB_CONNECT, "not a server list"},
      {"," + s, ERR_DB_CONNECT, "not a server list"},
      {" , " + s, ERR_DB_CONNECT, "not a server list"},
      {std::string(300, 'h') + "," + s, ERR_DB_CONNECT, "not a server list"},
      {h120 + "," + h120 + "," + s, ERR_DB_CONNECT, "not a server list"},
      {"127.0.0.1:70000," + s, ERR_DB_CONNECT, "not a server list"},
      {down + ",127.0.0.1:2", ERR_DB_CONNECT,
       "127.0.0.1:1: Can't connect to server on '127.0.0.1' (1"},
      {down + ",127.0.0.1:2", ERR_DB_CONNECT,
       "); 127.0.0.1:2: Can't connect to server on '127.0.0.1' (1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hosts);
    DB_CONN conn;
    CaptureStderr();
    EXPECT_EQ(conn.open(env.name.c_str(), c.hosts.c_str(), env.user.c_str(),
                        env.passwd.c_str()),
              c.retval);
    EXPECT_EQ(GetCapturedStderr(), "");
    if (c.retval == 0) {
      EXPECT_EQ(conn.server(), c.found);
      EXPECT_EQ(query_value(conn, "select 1"), "1");
    } else {
      EXPECT_EQ(conn.handle, nullptr);
      EXPECT_NE(std::string(conn.connect_error()).find(c.found),
                std::string::npos)
          << conn.connect_error();
    }
    conn.close();
  }
}

TEST_F(DbConnTest, EchoesStatementsAndReportsFailures) {
  std::string out = echo_of([&] {
    EXPECT_EQ(db.do_query("insert into conn_t (v) values (1)"), 0);
    EXPECT_NE(db.do_query("selec 1"), 0);
  });
  std::string error = db.error_string();
  EXPECT_NE(error.find("syntax"), std::string::npos) << error;
  EXPECT_EQ(out,
            "query: insert into conn_t (v) values (1)\nquery: selec 1\n"
            "Database error: " +
                error + "\nquery=selec 1\n");

  CaptureStderr();  // no echo while the flag is off; failures still reported
  EXPECT_EQ(db.do_query("do 1"), 0);
  EXPECT_NE(db.do_query("do nothing_here"), 0);
  db.print_error("context");
  error = db.error_string();
  EXPECT_EQ(GetCapturedStderr(), "Database error: " + error +
                                     "\nquery=do nothing_here\n"
                                     "context: Database error: " +
                                     error + "\n");
}

TEST_F(DbConnTest, SetsEachIsolationLevel) {
  struct {
    ISOLATION_LEVEL level;
    const char* text;
    const char* server_value;
  } cases[] = {
      {READ_UNCOMMITTED, "READ UNCOMMITTED", "READ-UNCOMMITTED"},
      {READ_COMMITTED, "READ COMMITTED", "READ-COMMITTED"},
      {REPEATABLE_READ, "REPEATABLE READ", "REPEATABLE-READ"},
      {SERIALIZABLE, "SERIALIZABLE", "SERIALIZABLE"},
  };
  for (const auto& c : cases) {
    std::string out =
        echo_of([&] { EXPECT_EQ(db.set_isolation_level(c.level), 0); });
    // Then the question that reads the new level back, once.
    EXPECT_EQ(out.find(std::string("query: SET SESSION TRANSACTION ISOLATION "
                                   "LEVEL ") +
                       c.text + "\nquery: SELECT @@SESSION."),
              0u)
        << out;
    EXPECT_EQ(query_value(db, "select @@session.tx_isolation"), c.server_value);
  }
  for (int bad : {4, -1, 100}) {
    std::string out = echo_of([&] {
      EXPECT_EQ(db.set_isolation_level(static_cast<ISOLATION_LEVEL>(bad)), -1);
    });
    EXPECT_EQ(out, "") << bad;
  }
  EXPECT_EQ(query_value(db, "select @@session.tx_isolation"), "SERIALIZABLE");
  // A new level replaces the old one: a later session's set-up holds one,
  // however many changes came before.
  for (int i = 0; i < 1000; i++) {
    ASSERT_EQ(db.set_isolation_level(i % 2 ? READ_COMMITTED : SERIALIZABLE), 0);
  }
  CaptureStderr();
  EXPECT_NE(db.do_query("kill connection_id()"), 0);
  GetCapturedStderr();
  EXPECT_EQ(db.ping(), 0);
  char** commands = nullptr;
  unsigned count = 0;
  mysql_get_optionv(db.handle, MYSQL_INIT_COMMAND, &commands, &count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(query_value(db, "select @@session.tx_isolation"), "READ-COMMITTED");
}

TEST_F(DbConnTest, TransactionsCommitAndRollBack) {
  std::string out = echo_of([&] {
    EXPECT_EQ(db.start_transaction(), 0);
    EXPECT_EQ(db.do_query("insert into conn_t (v) values (10)"), 0);
  });
  EXPECT_EQ(out,
            "query: START TRANSACTION\nquery: insert into conn_t (v) values "
            "(10)\n");
  EXPECT_EQ(query_value(check, "select count(*) from conn_t"), "0");
  EXPECT_EQ(echo_of([&] { EXPECT_EQ(db.commit_transaction(), 0); }),
            "query: COMMIT\n");
  EXPECT_EQ(query_value(check, "select count(*) from conn_t"), "1");
  EXPECT_EQ(db.start_transaction(), 0);
  EXPECT_EQ(db.do_query("insert into conn_t (v) values (20)"), 0);
  EXPECT_EQ(echo_of([&] { EXPECT_EQ(db.rollback_transaction(), 0); }),
            "query: ROLLBACK\n");
  EXPECT_EQ(query_value(check, "select group_concat(v) from conn_t"), "10");
}

// The connection counts matched rows: an UPDATE that writes a row's current
// values reports one row.
TEST_F(DbConnTest, AffectedRowsCountsMatchedRows) {
  ASSERT_EQ(db.do_query("insert into conn_t (v) values (1), (2), (2)"), 0);
  EXPECT_EQ(db.affected_rows(), 3);
  struct {
    const char* sql;
    int rows;
  } cases[] = {
      {"update conn_t set v=1 where v=1", 1},  // unchanged, still matched
      {"update conn_t set v=2 where v=2", 2},
      {"update conn_t set v=5 where v=1", 1},
      {"update conn_t set v=5 where v=99", 0},
      {"delete from conn_t where v=2", 2},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(db.do_query(c.sql), 0);
    EXPECT_EQ(db.affected_rows(), c.rows) << c.sql;
  }
}

TEST_F(DbConnTest, InsertIdIsThisConnectionsLastInsert) {
  ASSERT_EQ(db.do_query("insert into conn_t (v) values (1)"), 0);
  int first = db.insert_id();
  ASSERT_EQ(check.do_query("insert into conn_t (v) values (2)"), 0);
  EXPECT_EQ(std::to_string(first),
            query_value(check, "select id from conn_t where v=1"));
  ASSERT_EQ(db.do_query("insert into conn_t (v) values (3)"), 0);
  int third = db.insert_id();
  EXPECT_EQ(std::to_string(third),
            query_value(check, "select id from conn_t where v=3"));
  EXPECT_GT(third, first);

  // A result set left unread makes the lookup statement itself fail.
  ASSERT_EQ(db.do_query("select 1"), 0);
  std::string out = echo_of([&] { EXPECT_NE(db.insert_id(), 0); });
  EXPECT_EQ(out, "query: select LAST_INSERT_ID()\nDatabase error: " +
                     std::string(db.error_string()) +
                     "\nquery=select LAST_INSERT_ID()\n");
  EXPECT_NE(out.find("out of sync"), std::string::npos) << out;
  mysql_free_result(mysql_store_result(db.handle));
}

// The id of an insert belongs to its session: asked for after the session
// was replaced (on the way, or by a statement in between), there is none to
// give, and 0 would read as an id.
TEST_F(DbConnTest, InsertIdIsNotTakenFromANewSession) {
  DB_CONN root;
  ORVEX_OPEN_TEST_DB_ROOT(root);
  std::string s = env.host_port();
  struct {
    std::string hosts;
    bool between;  // a statement on the new session before the lookup
  } cases[] = {{s, false}, {s + "," + s, false}, {s, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hosts + (c.between ? " / a statement between" : ""));
    DB_CONN conn;
    ASSERT_EQ(conn.open(env.name.c_str(), c.hosts.c_str(), env.user.c_str(),
                        env.passwd.c_str()),
              0);
    ASSERT_EQ(conn.do_query("insert into conn_t (v) values (1)"), 0);
    std::string id = query_value(conn, "select connection_id()");
    ASSERT_EQ(root.do_query(("kill " + id).c_str()), 0);
    auto gone = [&] {
      return query_value(root,
                         "select count(*) from information_schema."
                         "processlist where id=" +
                             id) == "0";
    };
    for (int i = 0; i < 500 && !gone(); i++) usleep(2000);
    if (c.between) {
      EXPECT_EQ(conn.do_query("do 1"), 0);
    }
    CaptureStderr();
    EXPECT_EQ(conn.insert_id(), ERR_DB_NO_ROW);
    EXPECT_NE(GetCapturedStderr().find("id with it"), std::string::npos);
    conn.close();
  }
  root.close();
}

// Reconnection is on: a connection killed by the server comes back on ping,
// as a new session.
TEST_F(DbConnTest, PingReconnectsAfterTheServerEndsTheSession) {
  DB_CONN root;
  ORVEX_OPEN_TEST_DB_ROOT(root);
  std::string id = query_value(db, "select connection_id()");
  ASSERT_EQ(root.do_query(("kill " + id).c_str()), 0);
  EXPECT_EQ(db.ping(), 0);
  EXPECT_NE(query_value(db, "select connection_id()"), id);
  EXPECT_EQ(db.do_query("insert into conn_t (v) values (7)"), 0);
  EXPECT_EQ(query_value(check, "select count(*) from conn_t"), "1");
  root.close();
}

// The character set is pinned by the client, whatever the server's default.
TEST_F(DbConnTest, PinsTheCharacterSet) {
  DB_CONN root;
  ORVEX_OPEN_TEST_DB_ROOT(root);
  ASSERT_EQ(root.do_query("set global character_set_server=gbk"), 0);
  DB_CONN conn;
  std::string host = env.host_port();
  int retval = conn.open(env.name.c_str(), host.c_str(), env.user.c_str(),
                         env.passwd.c_str());
  EXPECT_EQ(root.do_query("set global character_set_server=utf8mb4"), 0);
  ASSERT_EQ(retval, 0);
  EXPECT_STREQ(mysql_character_set_name(conn.handle), "utf8mb4");
  EXPECT_EQ(query_value(conn,
                        "select concat(@@character_set_client, ' ', "
                        "@@character_set_connection, ' ', "
                        "@@character_set_results)"),
            "utf8mb4 utf8mb4 utf8mb4");
  conn.close();
  root.close();
}

// A server whose new sessions read backslashes literally, by its global
// sql_mode or by its init_connect, is served all the same: open takes the
// mode out of the session, so escaped text stays inside its quotes; and
// the program's USE holds on a new session, however the server reports it.
TEST_F(DbConnTest, OpenTakesNoBackslashEscapesOutOfTheSession) {
  DB_CONN root;
  ORVEX_OPEN_TEST_DB_ROOT(root);
  std::string host = env.host_port();
  const char* ways[] = {
      "set global sql_mode=concat(@@global.sql_mode, ',NO_BACKSLASH_ESCAPES')",
      ("set global init_connect='set session sql_mode=concat(@@sql_mode, "
       "'',NO_BACKSLASH_ESCAPES'')'"),
      // In GBK the 0xBF before the quote swallows the escaping backslash.
      "set global init_connect='set names gbk'",
      "set global session_track_schema=OFF",
  };
  char text[64] = "\xbf' or 1=1 -- ";
  escape_string(text, sizeof text);
  // Counts both rows if the backslash stops escaping.
  std::string probe = std::string(
                          "select count(*) from (select 1 union "
                          "select 2) t where 'x'='") +
                      text + "'";
  for (const char* way : ways) {
    SCOPED_TRACE(way);
    orvex_test::GlobalSqlMode restore(root);
    ASSERT_EQ(root.do_query(way), 0);
    DB_CONN conn;
    EXPECT_EQ(conn.open(env.name.c_str(), host.c_str(), env.user.c_str(),
                        env.passwd.c_str()),
              0);
    EXPECT_EQ(query_value(conn,
                          "select locate('NO_BACKSLASH_ESCAPES', "
                          "@@session.sql_mode)"),
              "0");
    EXPECT_EQ(query_value(conn, probe), "0");
    EXPECT_EQ(conn.do_query("use information_schema"), 0);
    CaptureStderr();
    EXPECT_NE(conn.do_query("kill connection_id()"), 0);
    GetCapturedStderr();
    EXPECT_EQ(query_value(conn, "select database()"), "information_schema");
    conn.close();
    EXPECT_EQ(root.do_query("set global init_connect=''"), 0);
    EXPECT_EQ(root.do_query("set global session_track_schema=ON"), 0);
  }
  root.close();
}

// A row class of conn_t, for enumerations.
class ConnRow : public TABLEROW {
 public:
  explicit ConnRow(DB_CONN* connection) : TABLEROW("conn_t", connection) {}
  void db_parse(MYSQL_ROW& row) override { id = atoi(row[0]); }
  int id = 0;
};

// A fail over while a whole (buffered) enumeration is open: its rows were
// all fetched from the old server, so they are delivered to the end, once;
// the selection is never run again behind the program's back.
TEST_F(DbConnTest, FailOverKeepsAWholeEnumeration) {
  std::string s = env.host_port();
  DB_CONN conn;
  ASSERT_EQ(conn.open(env.name.c_str(), (s + "," + s).c_str(), env.user.c_str(),
                      env.passwd.c_str()),
            0);
  ASSERT_EQ(check.do_query("insert into conn_t (v) values (1), (2), (3)"), 0);
  ConnRow row(&conn);
  std::vector<int> seen;
  ASSERT_EQ(row.enumerate("order by id"), 0);
  seen.push_back(row.id);
  CaptureStderr();
  EXPECT_NE(conn.do_query("kill connection_id()"), 0);
  EXPECT_EQ(conn.do_query("update conn_t set v=v+10 where id=1"), 0);
  std::string out = GetCapturedStderr();
  EXPECT_NE(out.find("killed"), std::string::npos) << out;
  int retval;
  while ((retval = row.enumerate("order by id")) == 0) seen.push_back(row.id);
  EXPECT_EQ(retval, ERR_DB_NO_ROW);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  conn.close();
}

// The option file is the operator's, and may be careless: a character set
// or a statement that would let a quote escape the escaping is refused, as
// is a file that cannot be read as one; the system's files stay unread.
TEST_F(DbConnTest, OptionFileCannotUndoTheGuards) {
  orvex_test::TempDir dir("orvex_optfile");
  const std::string file = dir.path() + "/db.cnf";
  orvex_test::write_file(dir.path() + "/.my.cnf",
                         "[client]\ndefault-character-set=gbk\n"
                         "[orvex]\ndefault-character-set=gbk\n");
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", dir.path().c_str(), 1);
  setenv("ORVEX_DB_OPTION_FILE", file.c_str(), 1);
  std::string s = env.host_port();
  struct {
    const char* name;
    const char* text;  // null: file is a directory
    int retval;
  } cases[] = {
      {"empty group", "[orvex]\n", 0},
      {"another database in [client]", "[client]\ndatabase=mysql\n", 0},
      {"no reconnection", "[orvex]\nreconnect=0\n", 0},
      {"a directory", nullptr, ERR_DB_CONNECT},
      {"charset, set again by the layer",
       "[orvex]\ndefault-character-set=gbk\n", 0},
      {"set names", "[orvex]\ninit-command=SET NAMES gbk\n", ERR_DB_CONNECT},
      {"client charset",
       "[client]\ninit-command=SET character_set_client="
       "big5\n",
       ERR_DB_CONNECT},
      {"sql_mode",
       "[orvex]\ninit-command=SET sql_mode='NO_BACKSLASH_ESCAPES'"
       "\n",
       ERR_DB_CONNECT},
      {"reports off, then big5",
       "[orvex]\ninit-command=SET session_track_system_variables=''\n"
       "init-command=SET NAMES big5\n",
       ERR_DB_CONNECT},
      {"a transaction left open", "[orvex]\ninit-command=BEGIN\n",
       ERR_DB_CONNECT},
      {"several statements in one", "[orvex]\nmulti-statements=1\n",
       ERR_DB_CONNECT},
      {"TLS, the name unchecked, a server without TLS",
       "[orvex]\nssl-ca=/no/such/ca.pem\nssl-verify-server-cert=0\n",
       ERR_DB_CONNECT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(file.c_str());
    rmdir(file.c_str());
    if (c.text) {
      orvex_test::write_file(file, c.text);
    } else {
      ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    }
    DB_CONN conn;
    CaptureStderr();
    int retval = conn.open(env.name.c_str(), s.c_str(), env.user.c_str(),
                           env.passwd.c_str());
    GetCapturedStderr();
    EXPECT_EQ(retval, c.retval) << conn.connect_error();
    // A lost session is replaced, each time, with the same guards.
    for (int i = 0; i < 3 && retval == 0; i++) {
      EXPECT_EQ(query_value(conn,
                            "select concat(database(), ' ', "
                            "@@character_set_client)"),
                env.name + " utf8mb4");
      CaptureStderr();
      EXPECT_NE(conn.do_query("kill connection_id()"), 0);
      GetCapturedStderr();
      EXPECT_EQ(conn.ping(), 0);
    }
    conn.close();
  }
  rmdir(file.c_str());
  unsetenv("ORVEX_DB_OPTION_FILE");
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
