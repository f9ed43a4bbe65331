// Server lists on the private topology of scripts/test-cluster.sh (ctest
// fixture orvex_cluster): which server open takes, causal reads that follow
// the session, and passes of a daemon that go on on another node when the
// node in use is killed.
#include <gtest/gtest.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/readiness.h"
#include "database/retry.h"
#include "database/session_open.h"
#include "test_cluster.h"
#include "test_util.h"

namespace {

using orvex_test::node_as_root;
using orvex_test::node_host;
using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char* const kNodes[] = {"GALERA1", "GALERA2", "GALERA3"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(c));
  return s;
}

class Failover : public testing::Test {
 protected:
  void SetUp() override { ORVEX_NEED_CLUSTER(); }
  int open(DB_CONN& conn, const std::string& hosts) {
    return orvex_test::open_hosts(conn, hosts);
  }
  std::string galera_list() {
    return node_host("GALERA1") + "," + node_host("GALERA2") + "," +
           node_host("GALERA3");
  }
  // The cluster node whose host text is server, or "".
  std::string node_of(const std::string& server) {
    for (const char* n : kNodes) {
      if (node_host(n) == server) return n;
    }
    return "";
  }
};

// On the cluster: the first node of a list; a server without Galera is
// ready as it is. (Hostile lists: db_conn_test.)
TEST_F(Failover, OpenTakesTheFirstServerThatIsReady) {
  const std::string g1 = node_host("GALERA1"), g2 = node_host("GALERA2");
  const std::string primary = node_host("PRIMARY");
  for (const auto& c : {std::make_pair(g1 + "," + g2, g1),
                        std::make_pair(primary + "," + g1, primary)}) {
    DB_CONN conn;
    ASSERT_EQ(open(conn, c.first), 0) << conn.connect_error();
    EXPECT_EQ(conn.server(), c.second);
    EXPECT_EQ(query_value(conn, "select 1"), "1");
    conn.close();
  }
}

// Nodes that answer but do not serve, first in a list: open passes over each
// with its reason, db ping fails with it; one that serves is taken.
TEST_F(Failover, NodesThatAnswerButDoNotServeArePassedOver) {
  struct {
    const char *node, *variable, *set, *restore;  // a global variable
    DB_VERDICT verdict;
    const char* reason;  // in connect_error() and db ping's output
  } cases[] = {
      {"GALERA1", "", "", "", DB_READY, ""},
      {"PRIMARY", "", "", "", DB_READY, ""},
      {"GALERA1", "wsrep_on", "OFF", "ON", DB_NOT_READY,
       "Galera node with wsrep_on=OFF: its writes would not reach"},
      {"GALERA1", "wsrep_reject_queries", "ALL", "NONE", DB_NOT_READY,
       "Galera node rejecting queries (wsrep_reject_queries=ALL)"},
      {"GALERA1", "wsrep_desync", "ON", "OFF", DB_LAST_RESORT,
       "Galera node desynced (wsrep_desync=ON"},
  };
  const std::string g2 = node_host("GALERA2"), down = "127.0.0.1:1";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.node) + " " + c.variable + "=" + c.set);
    const std::string first = node_host(c.node), var = c.variable;
    const bool ready = c.verdict == DB_READY;
    auto set = [&](const char* value) {
      return var.empty() ||
             node_as_root(c.node, "set global " + var + "=" + value);
    };
    ASSERT_TRUE(set(c.set));
    orvex_test::Undo undo{[&] { return set(c.restore); }};
    DB_CONN conn;
    ASSERT_EQ(open(conn, first), 0);
    DB_READINESS r;
    EXPECT_EQ(probe_readiness(conn.handle, false, true, r), c.verdict);
    EXPECT_EQ(std::string(r.reason).find(c.reason), 0u) << r.reason;
    conn.close();
    g_print_queries = true;
    CaptureStderr();
    EXPECT_EQ(open(conn, first + "," + g2), 0);
    g_print_queries = false;
    // A node that serves is judged by its set-up statement alone.
    EXPECT_EQ(GetCapturedStderr().find("EXECUTE IMMEDIATE 'SELECT") ==
                  std::string::npos,
              ready);
    EXPECT_EQ(conn.server(), ready ? first : g2);
    conn.close();
    // Only a node that lags is taken when nothing better answers.
    EXPECT_EQ(open(conn, first + "," + down),
              c.verdict == DB_NOT_READY ? ERR_DB_CONNECT : 0);
    EXPECT_EQ(std::string(conn.connect_error()).find(first + ": " + c.reason),
              ready ? std::string::npos : 0u)
        << conn.connect_error();
    conn.close();
#ifdef ORVEX_ADMIN
    std::string out;
    EXPECT_EQ(orvex_test::admin_ping(first, first, "", out), ready ? 0 : 1)
        << out;
    EXPECT_NE(out.find(c.reason), std::string::npos) << out;
#endif
  }
}

// The option file's init commands run after the set-up statement that
// judged the node: a SUPER user's wsrep_on=OFF there is still found.
TEST_F(Failover, AnOptionFileThatTurnsReplicationOffIsFound) {
  ASSERT_TRUE(node_as_root("GALERA1",
                           "create user if not exists 'orvex_su'@'%' "
                           "identified by 'su'; grant super on *.* to "
                           "'orvex_su'@'%'; grant all on orvex_test.* to "
                           "'orvex_su'@'%'"));
  orvex_test::TempDir dir("orvex_wsrep_off");
  const std::string file = dir.path() + "/db.cnf";
  orvex_test::write_file(file, "[orvex]\ninit-command=SET wsrep_on=OFF\n");
  setenv("ORVEX_DB_OPTION_FILE", file.c_str(), 1);
  DB_CONN conn;
  int retval = conn.open(orvex_test::cluster_env()["DB_NAME"].c_str(),
                         galera_list().c_str(), "orvex_su", "su");
  unsetenv("ORVEX_DB_OPTION_FILE");
  EXPECT_EQ(retval, ERR_DB_CONNECT);
  EXPECT_NE(std::string(conn.connect_error()).find("wsrep_on=OFF"),
            std::string::npos)
      << conn.connect_error();
  conn.close();
}

// A silent listener and a frozen server fail a connect only by the library's
// bound (1 s here); the thawed server serves again.
TEST_F(Failover, SilentServersFailAConnectOnlyByItsBound) {
  orvex_test::SilentListener listener;
  auto& env = orvex_test::cluster_env();
  for (std::string node : {"", "PRIMARY"}) {
    SCOPED_TRACE(node);
    ASSERT_TRUE(node.empty() ||
                orvex_test::cluster_script("freeze", "primary"));
    orvex_test::Undo thaw{[&] {
      return node.empty() || orvex_test::cluster_script("thaw", "primary");
    }};
    MYSQL* m = mysql_init(nullptr);
    unsigned bound = 1;
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &bound);
    auto t0 = std::chrono::steady_clock::now();
    int port = node.empty() ? listener.port : std::stoi(env[node + "_PORT"]);
    EXPECT_FALSE(mysql_real_connect(m, "127.0.0.1", "u", "p", nullptr, port,
                                    nullptr, 0));
    std::chrono::duration<double> s = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(mysql_errno(m), 2013u) << mysql_error(m);
    EXPECT_TRUE(s.count() > 0.9 && s.count() < 5) << s.count();
    mysql_close(m);
    // First in a list: open gives it its bound and takes the next; the
    // health record then lets a later process try the next one first.
    orvex_test::TempDir dir("orvex_health");
    setenv("ORVEX_DB_HEALTH_FILE", (dir.path() + "/health").c_str(), 1);
    std::string first = node.empty() ? listener.host() : node_host(node);
    for (double most : {2.5, 0.5}) {
      DB_CONN conn;
      conn.set_timeouts(2, 0);
      t0 = std::chrono::steady_clock::now();
      EXPECT_EQ(open(conn, first + "," + node_host("GALERA2")), 0);
      s = std::chrono::steady_clock::now() - t0;
      EXPECT_LT(s.count(), most) << conn.connect_error();
      EXPECT_EQ(conn.server(), node_host("GALERA2"));
      conn.close();
    }
    setenv("ORVEX_DB_HEALTH_FILE", "", 1);
    DB_CONN conn;
    EXPECT_TRUE(thaw.now() &&
                (node.empty() || !orvex_test::open_node(conn, node)));
    conn.close();
  }
}

// Causal reads and the isolation level belong to the session's state: they
// survive a session lost on one server and a fail over on a list. A server
// that is not a Galera node refuses them.
TEST_F(Failover, CausalReadsFollowTheSession) {
  for (std::string hosts : {node_host("GALERA2"), galera_list()}) {
    SCOPED_TRACE(hosts);
    DB_CONN conn;
    ASSERT_EQ(open(conn, hosts), 0);
    ASSERT_EQ(conn.set_causal_reads(true), 0);
    ASSERT_EQ(conn.set_isolation_level(READ_COMMITTED), 0);
    std::string id = query_value(conn, "select connection_id()");
    ASSERT_TRUE(node_as_root(node_of(conn.server()), "kill " + id));
    CaptureStderr();
    conn.do_query("do 1");  // meets the loss, or the library's new session
    std::string err = GetCapturedStderr();
    EXPECT_NE(query_value(conn, "select connection_id()"), id) << err;
    EXPECT_EQ(query_value(conn, "select @@wsrep_sync_wait"), "1") << err;
    EXPECT_EQ(query_value(conn, "select @@tx_isolation"), "READ-COMMITTED");
    EXPECT_EQ(conn.set_causal_reads(false), 0);
    EXPECT_EQ(query_value(conn, "select @@wsrep_sync_wait"), "0");
    conn.close();
  }

  DB_CONN plain;
  ASSERT_EQ(open(plain, node_host("PRIMARY")), 0);
  CaptureStderr();
  EXPECT_EQ(plain.set_causal_reads(true), ERR_DB_NOT_GALERA);
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("causal reads need a Galera cluster node"),
            std::string::npos)
      << err;
  EXPECT_EQ(query_value(plain, "select @@wsrep_sync_wait"), "0");
  EXPECT_EQ(plain.set_causal_reads(false), 0);
  plain.close();
}

// A daemon's passes on a list while the node in use is killed (between two
// passes, before the daemon's ping, or inside a pass's transaction). Each pass
// writes its number once under a unique key, so a pass whose COMMIT reached the
// cluster before the kill is not done again. The passes go on on another node;
// the table ends with every pass exactly once.
TEST_F(Failover, PassesGoOnOnAnotherNodeWhenTheNodeInUseIsKilled) {
  enum When { kBetweenPasses, kBeforePing, kInsideTransaction };
  // kill -9 and restart; kill -STOP and -CONT; the node isolated from the
  // others (it leaves the primary component and answers 1047) and back.
  enum How { kKill, kFreeze, kFreezeWake, kCut };
  struct {
    const char* name;
    When when;
    How how;
  } scenarios[] = {{"kill -9 between passes", kBetweenPasses, kKill},
                   {"kill -9, then ping", kBeforePing, kKill},
                   {"kill -9 inside a transaction", kInsideTransaction, kKill},
                   {"kill -STOP between passes", kBetweenPasses, kFreeze},
                   {"kill -STOP, then ping", kBeforePing, kFreeze},
                   {"kill -STOP inside a transaction, before its COMMIT",
                    kInsideTransaction, kFreeze},
                   {"kill -STOP before a COMMIT, -CONT while the layer asks",
                    kInsideTransaction, kFreezeWake},
                   {"cut off inside a transaction, before its COMMIT",
                    kInsideTransaction, kCut}};
  auto isolate = [](const std::string& node, int on) {
    return orvex_test::node_as_root(
        node, "SET GLOBAL wsrep_provider_options='gmcast.isolate=" +
                  std::to_string(on) + "'");
  };
  const int kPasses = 12, kKillAt = 5;
  static const char* const kSize =
      "select variable_value from information_"
      "schema.global_status where variable_name='wsrep_cluster_size'";

  DB_CONN conn;
  conn.set_timeouts(2, 2);  // the wait of a frozen node, at 2 + 2 s
  ASSERT_EQ(open(conn, galera_list()), 0);
  ASSERT_EQ(conn.set_causal_reads(true), 0);
  // A long statement on a live node outlasts the waits: the node serves.
  EXPECT_EQ(conn.do_query("do sleep(5)"), 0) << conn.error_string();
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(conn.do_query("drop table if exists passes"), 0);
    ASSERT_EQ(conn.do_query("create table passes (pass int primary key, "
                            "port int not null)"),
              0);
    std::string killed, killed_port;
    std::thread wake;  // joined however the row ends (a failed ASSERT too)
    orvex_test::Undo join{
        [&] { return !wake.joinable() || (wake.join(), true); }};
    int lost_transactions = 0, unknown = 0;
    CaptureStderr();
    for (int pass = 1; pass <= kPasses; pass++) {
      std::string insert =
          "insert into passes values (" + std::to_string(pass) + ", @@port)";
      for (int attempt = 0;; attempt++) {
        ASSERT_LT(attempt, 100) << GetCapturedStderr();
        bool kill_now = pass == kKillAt && killed.empty();
        auto kill = [&] {
          killed = node_of(conn.server());
          killed_port = orvex_test::cluster_env()[killed + "_PORT"];
          ASSERT_FALSE(killed.empty()) << conn.server();
          ASSERT_TRUE(s.how == kCut ? isolate(killed, 1)
                                    : orvex_test::cluster_script(
                                          s.how == kKill ? "kill" : "freeze",
                                          lower(killed)));
          // Its hang-up may reach a loaded client late; a COMMIT sent
          // before it is rightly unknown, not the lost transaction asked.
          for (int i = 0;
               i < 100 && s.how == kKill && session_alive(conn.handle); i++)
            usleep(10000);
          // Woken after its eviction, it calls itself Synced for seconds:
          // neither the layer's question nor db ping's probe may believe it.
          if (s.how == kFreezeWake)
            wake = std::thread([n = killed, host = conn.server()] {
              DB_CONN other, woken;
              DB_READINESS r;
              orvex_test::open_node(other,
                                    n == "GALERA1" ? "GALERA2" : "GALERA1");
              for (int i = 0; i < 100 && query_value(other, kSize) != "2"; i++)
                usleep(100000);
              std::thread thaw(
                  [&] { orvex_test::cluster_script("thaw", lower(n)); });
              usleep(300000);
              if (orvex_test::open_hosts(woken, host) == 0) {
                EXPECT_EQ(probe_readiness(woken.handle, false, true, r),
                          DB_NOT_READY);
              }
              other.close();
              woken.close();
              thaw.join();
            });
        };
        if (kill_now && s.when != kInsideTransaction) kill();
        if (kill_now && s.when == kBeforePing) {
          EXPECT_EQ(conn.ping(), 0) << "moves on at once";
          EXPECT_NE(node_of(conn.server()), killed);
        }
        auto t0 = std::chrono::steady_clock::now();
        int retval = run_transaction(conn, 3, [&](DB_CONN& db) {
          int r = db.do_query(insert.c_str());
          if (!r && kill_now && s.when == kInsideTransaction) kill();
          return r;
        });
        std::chrono::duration<double> took =
            std::chrono::steady_clock::now() - t0;
        // Bounded: the 2 s wait, the 2 s question, the cluster's eviction.
        EXPECT_TRUE(!kill_now || took.count() < 8) << took.count();
        if (retval == 0) break;
        // Done or not, a daemon looks before it does the work again: the
        // pass's key says.
        if (retval == ERR_DB_OUTCOME_UNKNOWN) unknown++;
        if (conn.handle && mysql_errno(conn.handle) == ER_DUP_ENTRY) break;
        if (conn.state() == DB_CONN::READY && kill_now &&
            s.when == kInsideTransaction) {
          lost_transactions++;  // rolled back by run_transaction
        }
        usleep(100000);
      }
    }
    std::string err = GetCapturedStderr();
    EXPECT_EQ(query_value(conn, "select count(*) from passes"),
              std::to_string(kPasses))
        << err;
    EXPECT_EQ(query_value(conn, "select count(distinct pass) from passes"),
              std::to_string(kPasses));
    EXPECT_EQ(query_value(conn, "select count(*) from passes where pass > " +
                                    std::to_string(kKillAt) +
                                    " and port = " + killed_port),
              "0")
        << "after the kill, the passes ran on other nodes";
    EXPECT_EQ(query_value(conn, "select @@wsrep_sync_wait"), "1");
    if (s.when == kInsideTransaction) {
      // A frozen node's COMMIT is lost with its answer, a cut-off one's
      // answered 1047 (the others may have it); a killed one's transaction
      // with the session.
      EXPECT_EQ(s.how == kKill ? lost_transactions : unknown, 1) << err;
    }
    join.now();
    // thaw waits until the node is Synced in a cluster of 3 again.
    if (s.how == kCut) {
      ASSERT_TRUE(isolate(killed, 0));
    }
    ASSERT_TRUE(orvex_test::cluster_script(s.how == kKill ? "restart" : "thaw",
                                           lower(killed)));
    // Woken, the frozen node took no write of the passes after it froze.
    EXPECT_EQ(query_value(conn, "select count(*) from passes"),
              std::to_string(kPasses));
    EXPECT_TRUE(conn.check_invariants() == nullptr);
  }
  conn.close();
}

// TLS as the client library reads it from the option file that
// ORVEX_DB_OPTION_FILE names: verified, refused for a certificate that does
// not match, and a plain connection to a server that requires TLS refused
// with a report that says so. The system's option files are not read.
TEST_F(Failover, TlsFromTheOptionFile) {
  auto& env = orvex_test::cluster_env();
  orvex_test::TempDir dir("orvex_tls");
  const std::string file = dir.path() + "/db.cnf";
  const std::string verify = "ssl-verify-server-cert\n";
  // Read, it would make every connection fail.
  orvex_test::write_file(dir.path() + "/.my.cnf",
                         "[client]\nssl-ca=/no/such/ca.pem\n" + verify);
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", dir.path().c_str(), 1);
  ASSERT_TRUE(
      node_as_root("PRIMARY", "set global require_secure_transport=ON"));
  struct {
    const char* name;
    const char* node;
    const char* options;  // the file's text; null: no variable
    int retval;
    const char* found;  // in connect_error(), or the cipher's start
  } cases[] = {
      {"verified", "GALERA1", "ca", 0, "TLS"},
      {"verified, TLS required", "PRIMARY", "ca", 0, "TLS"},
      {"another CA", "GALERA1", "other", ERR_DB_CONNECT, "TLS/SSL error"},
      {"the CA's certificate for another name", "REPLICA", "ca", ERR_DB_CONNECT,
       "TLS/SSL error"},
      {"the name check turned off in so many words", "REPLICA", "unchecked", 0,
       "TLS"},
      // The client library reads =on as off: refused before any connect.
      {"the name check asked for as =on", "REPLICA", "on", ERR_DB_CONNECT,
       "would leave the server's name unchecked"},
      {"plain, TLS required", "PRIMARY", nullptr, ERR_DB_CONNECT,
       "Access denied"},
      {"plain, the system's files unread", "GALERA1", nullptr, 0, ""},
      {"no TLS in the file", "GALERA1", "[orvex]\n", 0, ""},
      {"unreadable file", "GALERA1", "", ERR_DB_CONNECT, file.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.options) {
      unsetenv("ORVEX_DB_OPTION_FILE");
    } else {
      setenv("ORVEX_DB_OPTION_FILE", file.c_str(), 1);
      std::string opt = c.options;
      if (opt == "ca" || opt == "other" || opt == "unchecked" || opt == "on") {
        opt = "[orvex]\nssl-ca=" +
              env[opt == "other" ? "TLS_OTHER_CA" : "TLS_CA"] + "\n" +
              (opt == "unchecked" ? "ssl-verify-server-cert=0\n"
               : opt == "on"      ? "ssl-verify-server-cert=on\n"
                                  : verify);
      }
      unlink(file.c_str());
      if (*c.options) orvex_test::write_file(file, opt);
    }
    DB_CONN conn;
    EXPECT_EQ(orvex_test::open_node(conn, c.node), c.retval)
        << conn.connect_error();
    if (c.retval == 0) {
      const char* cipher = mysql_get_ssl_cipher(conn.handle);
      EXPECT_EQ(std::string(cipher ? cipher : "").substr(0, 3), c.found);
      EXPECT_EQ(conn.tls(), !cipher ? DB_TLS_NONE
                            : std::string(c.node) == "REPLICA"
                                ? DB_TLS_NAME_UNCHECKED
                                : DB_TLS_VERIFIED);
    } else {
      EXPECT_NE(std::string(conn.connect_error()).find(c.found),
                std::string::npos)
          << conn.connect_error();
    }
    conn.close();
  }
  unsetenv("ORVEX_DB_OPTION_FILE");
  setenv("HOME", home.c_str(), 1);
  EXPECT_TRUE(
      node_as_root("PRIMARY", "set global require_secure_transport=OFF"));
}

}  // namespace
