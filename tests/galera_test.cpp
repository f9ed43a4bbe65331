// Transactions on a three-node Galera cluster (scripts/test-cluster.sh,
// ctest fixture orvex_cluster): a write set that loses certification is
// reported as a conflict and run again by run_transaction; nothing else is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/retry.h"
#include "test_cluster.h"

namespace {

using orvex_test::open_node;
using orvex_test::query_value;

class Galera : public testing::Test {
 protected:
  void SetUp() override {
    ORVEX_NEED_CLUSTER();
    ASSERT_EQ(open_node(node1, "GALERA1"), 0);
    ASSERT_EQ(open_node(node2, "GALERA2"), 0);
    // node2 applies node1's commits a moment later. Its transactions wait
    // for them (causal BEGIN and UPDATE), so that a run again meets node1's
    // write applied rather than losing to it a second time.
    ASSERT_EQ(node2.do_query("set session wsrep_sync_wait = 3"), 0);
    ASSERT_EQ(node1.do_query("create table if not exists cc (id int primary "
                             "key, v int not null)"),
              0);
    ASSERT_EQ(node1.do_query("replace into cc values (1, 0)"), 0);
  }
  void TearDown() override {
    node1.close();
    node2.close();
  }
  // node1 commits its own update of the row while node2's transaction on
  // the same row is open: node2's commit then loses certification.
  void other_node_commits(int add) {
    ASSERT_EQ(node1.start_transaction(), 0);
    std::string sql =
        "update cc set v = v + " + std::to_string(add) + " where id = 1";
    ASSERT_EQ(node1.do_query(sql.c_str()), 0);
    ASSERT_EQ(node1.commit_transaction(), 0);
  }
  DB_CONN node1, node2;
};

// Two programs on two nodes update one row: one conflict, run again once,
// and both updates are in the row on every node.
TEST_F(Galera, ConflictIsRunAgainAndBothUpdatesAreKept) {
  int runs = 0, bodies = 0;
  int retval = run_transaction(
      node2, 3,
      [&](DB_CONN& db) {
        int r = db.do_query("update cc set v = v + 10 where id = 1");
        if (!r && bodies++ == 0) other_node_commits(1);
        return r;
      },
      &runs);
  EXPECT_EQ(retval, 0);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(query_value(node2, "select v from cc where id = 1"), "11");
  DB_CONN node3;
  ASSERT_EQ(open_node(node3, "GALERA3"), 0);
  // Another node applies the write a moment later: a causal read waits.
  ASSERT_EQ(node3.do_query("set session wsrep_sync_wait = 1"), 0);
  EXPECT_EQ(query_value(node3, "select v from cc where id = 1"), "11");
  node3.close();
}

// What run_transaction must not run again: a conflict that comes every
// time (it stops after its tries and says so), and any other failure.
TEST_F(Galera, OnlyConflictsAreRunAgainAndOnlyAsOftenAsAsked) {
  int runs = 0;
  testing::internal::CaptureStderr();
  int retval = run_transaction(
      node2, 2,
      [&](DB_CONN& db) {
        int r = db.do_query("update cc set v = v + 10 where id = 1");
        if (!r) other_node_commits(1);
        return r;
      },
      &runs);
  EXPECT_EQ(retval, ERR_DB_CONFLICT);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(query_value(node1, "select v from cc where id = 1"), "2");

  retval = run_transaction(
      node2, 5,
      [](DB_CONN& db) { return db.do_query("update no_such_table set v = 1"); },
      &runs);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(retval, 0);
  EXPECT_NE(retval, ERR_DB_CONFLICT);
  EXPECT_EQ(runs, 1) << err;
  // The connection serves the next statement.
  EXPECT_EQ(query_value(node2, "select v from cc where id = 1"), "2");
}

// Two of three nodes gone at once: the third has lost its quorum and
// refuses work with the server's own report; nothing reports success. Once
// the two are back, it serves the same connection again.
TEST_F(Galera, NodeWithoutQuorumRefusesWorkAndNothingReportsSuccess) {
  ASSERT_TRUE(orvex_test::cluster_script("kill", "galera2,galera3"));
  node2.close();
  // The survivor notices after its suspect timeout (2 s here); 30 s leaves
  // room for a busy 2-core machine.
  testing::internal::CaptureStderr();
  bool refused = false;
  for (int i = 0; i < 300 && !refused; i++) {
    if (node1.do_query("select v from cc where id = 1") == 0) {
      mysql_free_result(mysql_store_result(node1.handle));
      usleep(100000);
    } else {
      refused = mysql_errno(node1.handle) == 1047;
    }
  }
  ASSERT_TRUE(refused) << testing::internal::GetCapturedStderr();
  EXPECT_NE(node1.do_query("update cc set v = 5 where id = 1"), 0);
  EXPECT_NE(
      run_transaction(node1, 3,
                      [](DB_CONN& db) {
                        return db.do_query("update cc set v = 6 where id = 1");
                      }),
      0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WSREP has not yet prepared node"), std::string::npos)
      << err;
  // A server list passes over the node without quorum.
  const std::string g1 = orvex_test::node_host("GALERA1");
  DB_CONN listed;
  EXPECT_EQ(orvex_test::open_hosts(listed,
                                   g1 + "," + orvex_test::node_host("GALERA2")),
            ERR_DB_CONNECT);
  EXPECT_NE(std::string(listed.connect_error()).find(g1 + ": Galera node"),
            std::string::npos)
      << listed.connect_error();
  const std::string primary = orvex_test::node_host("PRIMARY");
  ASSERT_EQ(orvex_test::open_hosts(listed, g1 + "," + primary), 0);
  EXPECT_EQ(listed.server(), primary);
  listed.close();

  ASSERT_TRUE(orvex_test::cluster_script("restart", "galera2,galera3"));
  EXPECT_EQ(query_value(node1, "select v from cc where id = 1"), "0");
  ASSERT_EQ(node1.do_query("update cc set v = 7 where id = 1"), 0);
  ASSERT_EQ(open_node(node2, "GALERA2"), 0);
  ASSERT_EQ(node2.do_query("set session wsrep_sync_wait = 1"), 0);
  EXPECT_EQ(query_value(node2, "select v from cc where id = 1"), "7");
}

}  // namespace
