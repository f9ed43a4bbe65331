// Read-your-writes and replica state against the private primary and GTID
// replica of scripts/test-cluster.sh (ctest fixture orvex_cluster).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/replica.h"
#include "test_cluster.h"

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

}  // namespace
