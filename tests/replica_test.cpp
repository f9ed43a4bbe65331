// Read-your-writes and replica state against the private primary and GTID
// replica of scripts/test-cluster.sh (ctest fixture orvex_cluster).
#include "database/replica.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "db_schema.h"
#include "test_cluster.h"
#include "test_util.h"

namespace {

using orvex_test::node_as_root;
using orvex_test::open_node;
using orvex_test::query_value;

class Replica : public testing::Test {
 protected:
  void SetUp() override {
    ORVEX_NEED_CLUSTER();
    ASSERT_EQ(open_node(primary, "PRIMARY"), 0);
    ASSERT_EQ(open_node(replica, "REPLICA"), 0);
    ASSERT_EQ(primary.do_query("create table if not exists rw (id int "
                               "primary key auto_increment, v int)"),
              0);
  }
  void TearDown() override {
    primary.close();
    replica.close();
  }
  std::string count_on_primary() {
    return query_value(primary, "select count(*) from rw");
  }
  std::string count_on_replica() {
    return query_value(replica, "select count(*) from rw");
  }
  DB_CONN primary, replica;
};

TEST_F(Replica, ReadsItsOwnWriteAfterTheWait) {
  ASSERT_EQ(primary.do_query("insert into rw (v) values (1)"), 0);
  std::string want = count_on_primary();
  EXPECT_EQ(wait_for_replica(primary, replica, 10), 0);
  EXPECT_EQ(count_on_replica(), want);

  REPLICA_STATE state;
  ASSERT_EQ(get_replica_state(replica, state), 0);
  EXPECT_TRUE(state.io_running && state.sql_running);
  EXPECT_EQ(state.seconds_behind, 0);
  char gtid[GTID_POS_LEN];
  ASSERT_EQ(last_write_gtid(primary, gtid), 0);
  EXPECT_NE(std::string(state.applied_gtid).find(gtid), std::string::npos)
      << state.applied_gtid << " lacks " << gtid;
}

// What must never be read as "applied": nothing written, positions that are
// not positions, a server that is no replica.
TEST_F(Replica, NothingToWaitForIsNeverApplied) {
  DB_CONN fresh;
  ASSERT_EQ(open_node(fresh, "PRIMARY"), 0);
  char gtid[GTID_POS_LEN];
  EXPECT_EQ(last_write_gtid(fresh, gtid), ERR_DB_NO_ROW);  // wrote nothing
  EXPECT_EQ(wait_for_replica(fresh, replica, 1), ERR_DB_NO_ROW);
  fresh.close();
  const std::string too_long(GTID_POS_LEN, '1');
  struct {
    const char* gtid;
    double timeout;
    int want;
  } cases[] = {
      {"", 1, ERR_DB_NO_ROW},
      {"0-1-1', 1) or ('1", 1, ERR_DB_NO_ROW},  // never put in the statement
      {too_long.c_str(), 1, ERR_DB_NO_ROW},
      {"0-1-1", -1, -1},
      {"0-1-1", 1e9, -1},
      {"0-1-1", std::nan(""), -1},
      {"77-1-1", 0.2, ERR_DB_REPLICA_TIMEOUT},  // a domain nobody writes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wait_for_gtid(replica, c.gtid, c.timeout), c.want)
        << c.gtid << " " << c.timeout;
  }
  REPLICA_STATE state;
  EXPECT_EQ(get_replica_state(primary, state), ERR_DB_NO_ROW);
}

TEST_F(Replica, ReadOnlyReplicaRefusesAWriteAndNothingMovesIt) {
  std::string before = count_on_primary();
  testing::internal::CaptureStderr();
  int retval = replica.do_query("insert into rw (v) values (2)");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(retval, 0) << err;
  EXPECT_EQ(mysql_errno(replica.handle), 1290u) << err;  // read-only
  EXPECT_NE(err.find("read-only"), std::string::npos) << err;
  EXPECT_EQ(count_on_primary(), before);  // not retried on the primary
}

// A stopped applier: the lag is "not applying", never 0, and the wait times
// out; once it runs again the same wait succeeds.
TEST_F(Replica, StoppedApplierIsReportedAndTheWaitTimesOut) {
  ASSERT_TRUE(node_as_root("REPLICA", "stop slave sql_thread"));
  ASSERT_EQ(primary.do_query("insert into rw (v) values (3)"), 0);
  char gtid[GTID_POS_LEN];
  ASSERT_EQ(last_write_gtid(primary, gtid), 0);
  REPLICA_STATE state;
  ASSERT_EQ(get_replica_state(replica, state), 0);
  EXPECT_FALSE(state.sql_running);
  EXPECT_EQ(state.seconds_behind, -1);
  EXPECT_EQ(wait_for_gtid(replica, gtid, 0.5), ERR_DB_REPLICA_TIMEOUT);
  ASSERT_TRUE(node_as_root("REPLICA", "start slave sql_thread"));
  EXPECT_EQ(wait_for_gtid(replica, gtid, 10), 0);
  ASSERT_EQ(get_replica_state(replica, state), 0);
  EXPECT_TRUE(state.sql_running);
  EXPECT_GE(state.seconds_behind, 0);
}

#ifdef ORVEX_ADMIN
// orvex-admin db ping reports every configured server, and its status is
// 1 when monitoring must look: a replica that does not apply, a lag past
// the limit, a server that is down.
TEST_F(Replica, AdminPingReportsEachServer) {
  auto& env = orvex_test::cluster_env();
  std::string h[2];  // db_host and replica_db_host of the next ping
  auto settings = [&](std::string m, std::string r) { h[0] = m, h[1] = r; };
  auto ping = [&](const std::string& args, std::string& out) {
    return orvex_test::admin_ping(h[0], h[1], args, out);
  };
  std::string primary = orvex_test::node_host("PRIMARY"),
              replica_host = orvex_test::node_host("REPLICA"),
              galera = orvex_test::node_host("GALERA1"), out;

  settings(primary, replica_host);
  EXPECT_EQ(ping("--max-lag 30", out), 0) << out;
  EXPECT_NE(out.find("replica database '" + env["DB_NAME"] + "' on " +
                     replica_host + " answers"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  replication  fetching yes, applying yes, 0 s behind"),
            std::string::npos)
      << out;
  EXPECT_EQ(ping("--json", out), 0) << out;
  EXPECT_NE(out.find("\"role\": \"replica\""), std::string::npos) << out;

  ASSERT_TRUE(node_as_root("REPLICA", "stop slave sql_thread"));
  orvex_test::Undo start{
      [] { return node_as_root("REPLICA", "start slave sql_thread"); }};
  EXPECT_EQ(ping("", out), 1) << out;  // no limit asked for
  EXPECT_NE(out.find("applying no, not applying"), std::string::npos) << out;
  EXPECT_EQ(ping("--max-lag 30", out), 1) << out;
  EXPECT_NE(out.find("orvex-admin: the replica on " + replica_host +
                     " is not applying (its SQL thread is stopped)"),
            std::string::npos)
      << out;
  ASSERT_TRUE(start.now());

  settings(galera, "127.0.0.1:1");  // a replica that is down
  EXPECT_EQ(ping("", out), 1) << out;
  EXPECT_NE(out.find("  cluster      3 nodes, this node Synced, primary "
                     "component"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("orvex-admin: cannot connect to the replica database"),
            std::string::npos)
      << out;

  // Each server of a list on its own: one down fails the check.
  settings(galera + ", 127.0.0.1:1", replica_host);
  EXPECT_EQ(ping("", out), 1) << out;
  EXPECT_NE(
      out.find("database '" + env["DB_NAME"] + "' on " + galera + " answers"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("cannot connect to database '" + env["DB_NAME"] +
                     "' on 127.0.0.1:1 as"),
            std::string::npos)
      << out;
}
#endif

#ifdef SAMPLE_DAEMON
// The sample daemon, given a replica in the settings, reads its counts
// there and says so.
TEST_F(Replica, SampleDaemonCountsOnTheReplica) {
  ASSERT_TRUE(orvex_test::create_schema(primary));
  ASSERT_EQ(primary.do_query("insert into result (name, server_state, appid) "
                             "values ('r1', 2, 1), ('r2', 2, 1)"),
            0);
  ASSERT_EQ(wait_for_replica(primary, replica, 10), 0);
  orvex_test::TempDir project("orvex_replica_daemon");
  ASSERT_EQ(mkdir((project.path() + "/cgi-bin").c_str(), 0755), 0);
  auto& env = orvex_test::cluster_env();
  orvex_test::write_file(
      project.path() + "/config.xml",
      "<orvex><config><db_name>" + env["DB_NAME"] + "</db_name><db_host>" +
          orvex_test::node_host("PRIMARY") + "</db_host><db_user>" +
          env["DB_USER"] + "</db_user><db_passwd>" + env["DB_PASSWD"] +
          "</db_passwd><replica_db_host>" + orvex_test::node_host("REPLICA") +
          "</replica_db_host></config></orvex>\n");
  std::string cmd = "ORVEX_PROJECT_DIR='" + project.path() +
                    "' '" SAMPLE_DAEMON "' --once 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string log = orvex_test::read_file(
      project.path() + "/log_" + std::string(host, strcspn(host, ".")) +
      "/sample_daemon.log");
  EXPECT_NE(log.find("reading counts from the replica on " +
                     orvex_test::node_host("REPLICA")),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("pass 1: 2 unsent results in 1 applications"),
            std::string::npos)
      << log;
}
#endif

}  // namespace
