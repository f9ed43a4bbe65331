// Server lists on the private topology of scripts/test-cluster.sh (ctest
// fixture orvex_cluster): which server open takes, causal reads that follow
// the session, and passes of a daemon that go on on another node when the
// node in use is killed.
#include <gtest/gtest.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/retry.h"
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
  struct {
    const char* name;
    When when;
  } scenarios[] = {{"kill -9 between passes", kBetweenPasses},
                   {"kill -9, then ping", kBeforePing},
                   {"kill -9 inside a transaction", kInsideTransaction}};
  const int kPasses = 12, kKillAt = 5;

  DB_CONN conn;
  ASSERT_EQ(open(conn, galera_list()), 0);
  ASSERT_EQ(conn.set_causal_reads(true), 0);
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(conn.do_query("drop table if exists passes"), 0);
    ASSERT_EQ(conn.do_query("create table passes (pass int primary key, "
                            "port int not null)"),
              0);
    std::string killed, killed_port;
    int lost_transactions = 0;
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
          ASSERT_TRUE(orvex_test::cluster_script("kill", lower(killed)));
        };
        if (kill_now && s.when != kInsideTransaction) kill();
        if (kill_now && s.when == kBeforePing) {
          EXPECT_EQ(conn.ping(), 0) << "moves on at once";
          EXPECT_NE(node_of(conn.server()), killed);
        }
        int retval = run_transaction(conn, 3, [&](DB_CONN& db) {
          int r = db.do_query(insert.c_str());
          if (!r && kill_now && s.when == kInsideTransaction) kill();
          return r;
        });
        if (retval == 0) break;
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
      EXPECT_EQ(lost_transactions, 1) << err;
    }
    ASSERT_TRUE(orvex_test::cluster_script("restart", lower(killed)));
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
      if (opt == "ca" || opt == "other" || opt == "unchecked") {
        opt = "[orvex]\nssl-ca=" +
              env[opt == "other" ? "TLS_OTHER_CA" : "TLS_CA"] + "\n" +
              (opt == "unchecked" ? "ssl-verify-server-cert=0\n" : verify);
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
