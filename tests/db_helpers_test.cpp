#include "daemon/db_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "database/retry.h"
#include "db_schema.h"
#include "test_db.h"

using orvex_test::echo_of;
using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The helpers make their row objects without a connection, so the tests
// open the default one; a second connection checks what reached the tables.
class DbHelpersTest : public orvex_test::DbTest {
 protected:
  DbHelpersTest() : DbTest(orvex_db) {}
  void prepare() override { ASSERT_TRUE(orvex_test::create_schema(check)); }

  // Workunits 1 to 3 (appid 1, 1, 7) and results of them in various states.
  void seed_results() {
    exec(
        "insert into workunit (id, name, appid) values (1, 'wu1', 1), "
        "(2, 'wu2', 1), (3, 'wu3', 7)");
    exec(
        "insert into result (id, name, workunitid, appid, server_state, "
        "outcome) values (11, 'r11', 1, 1, 2, 0), (12, 'r12', 1, 1, 2, 0), "
        "(13, 'r13', 1, 1, 4, 0), (14, 'r14', 1, 1, 5, 1), "
        "(21, 'r21', 2, 1, 2, 0), (31, 'r31', 3, 7, 2, 0), "
        "(32, 'r32', 3, 7, 4, 0)");
  }

  void insert_hosts(const std::vector<double>& fpops) {
    for (double f : fpops) {
      char sql[128];
      snprintf(sql, sizeof sql, "insert into host set p_fpops=%.17g", f);
      exec(sql);
    }
  }
};

TEST_F(DbHelpersTest, CountsSendTheirClausesAndCount) {
  seed_results();
  int n = -1;
  char all[] = "";
  char of_wu1[] = "where workunitid=1";
  struct {
    std::function<int()> op;
    const char* statement;
    int count;
  } cases[] = {
      {[&] { return count_workunits(n, ""); }, "select count(*) from workunit ",
       3},
      {[&] { return count_workunits(n, "where appid=1"); },
       "select count(*) from workunit where appid=1", 2},
      {[&] { return count_results(all, n); }, "select count(*) from result ",
       7},
      {[&] { return count_results(of_wu1, n); },
       "select count(*) from result where workunitid=1", 4},
      {[&] { return count_unsent_results(n, 0); },
       "select count(*) from result where server_state=2", 4},
      {[&] { return count_unsent_results(n, 7); },
       "select count(*) from result where server_state=2 and appid=7 ", 1},
      {[&] { return count_unsent_results(n, 5); },
       "select count(*) from result where server_state=2 and appid=5 ", 0},
  };
  for (const auto& c : cases) {
    n = -1;
    int retval = -999;
    std::string out = echo_of([&] { retval = c.op(); });
    EXPECT_EQ(out, std::string("query: ") + c.statement + "\n");
    EXPECT_EQ(retval, 0) << c.statement;
    EXPECT_EQ(n, c.count) << c.statement;
  }
  EXPECT_STREQ(of_wu1, "where workunitid=1");

  // A refused statement: its error, the count untouched.
  n = 42;
  char bad[] = "where nosuch=1";
  CaptureStderr();
  EXPECT_NE(count_results(bad, n), 0);
  EXPECT_NE(count_workunits(n, "where nosuch=1"), 0);
  EXPECT_NE(GetCapturedStderr().find("Database error: "), std::string::npos);
  EXPECT_EQ(n, 42);
}

TEST_F(DbHelpersTest, PerfInfoKeepsItsDefaultsBelowTenHosts) {
  PERF_INFO perf;
  perf.fpops_mean = perf.fpops_stddev = perf.fpops_p50 = perf.fpops_p95 = -1;
  insert_hosts({1e9, 2e9, 3e9, 4e9, 5e9, 6e9, 7e9, 8e9, 9e9});
  int retval = -999;
  std::string out = echo_of([&] { retval = perf.get_from_db(); });
  EXPECT_EQ(retval, 0);
  EXPECT_EQ(out, "query: select count(*) from host \n");  // nothing more
  EXPECT_EQ(perf.fpops_mean, 2.2e9);
  EXPECT_EQ(perf.fpops_stddev, 7e8);
  EXPECT_EQ(perf.fpops_p50, 3.3e9);
  EXPECT_EQ(perf.fpops_p95, 3.3e9);

  // Ten hosts, and a statistic the server refuses: its error, all defaults.
  insert_hosts({1e10});
  exec("alter table host drop column p_fpops");
  CaptureStderr();
  EXPECT_NE(perf.get_from_db(), 0);
  GetCapturedStderr();
  EXPECT_EQ(perf.fpops_mean, 2.2e9);

  // A count that fails: its error, and the defaults.
  exec("drop table host");
  perf.fpops_mean = perf.fpops_stddev = perf.fpops_p50 = perf.fpops_p95 = -1;
  CaptureStderr();
  EXPECT_NE(perf.get_from_db(), 0);
  GetCapturedStderr();
  EXPECT_EQ(perf.fpops_mean, 2.2e9);
  EXPECT_EQ(perf.fpops_p95, 3.3e9);
}

// Hosts report their speeds: any finite double. Statistics lie within 1e-12
// of the largest; ordinary speeds (last) give exactly the plain aggregates.
TEST_F(DbHelpersTest, PerfInfoReadsTheHostTableFromTenHosts) {
  const double big = std::numeric_limits<double>::max(), tiny = 5e-324;
  PERF_INFO perf;
  for (std::vector<double> fpops : std::vector<std::vector<double>>{
           {1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e308, 1e308},
           {1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e9, 1e200},
           {big, -big, big, -1e308, 1e9, tiny, tiny, tiny, 3e-310, 0},
           {4.2e9, 1.1e9, 9.5e9, 2.0e9, 3.3e9, 3.3e9, 8.0e8, 6.25e9, 5.1e9,
            1.5e10}}) {
    exec("delete from host");
    insert_hosts(fpops);
    ASSERT_EQ(perf.get_from_db(), 0);
    long double sum = 0, sq = 0, n = fpops.size(), top = 0;
    for (double f : fpops) sum += f, top = std::max(top, std::fabs(1.0L * f));
    long double mean = sum / n;
    for (double f : fpops) sq += (f - mean) * (f - mean);
    std::sort(fpops.begin(), fpops.end());
    EXPECT_NEAR(perf.fpops_mean, mean, top * 1e-12) << fpops[9];
    EXPECT_NEAR(perf.fpops_stddev, std::sqrt(sq / n), top * 1e-12);
    EXPECT_EQ(perf.fpops_p50, fpops[4]);  // the 5th of 10
    EXPECT_EQ(perf.fpops_p95, fpops[9]);  // the 10th of 10
  }
  EXPECT_EQ(perf.fpops_mean,
            atof(value("select avg(p_fpops) from host").c_str()));
  EXPECT_EQ(perf.fpops_stddev,
            atof(value("select stddev_pop(p_fpops) from host").c_str()));
}

TEST_F(DbHelpersTest, AvgTurnaroundIsWeightedOnceThereIsOne) {
  HOST host;
  struct {
    double avg, sample, expected;
  } cases[] = {
      {0, 100, 100}, {100, 200, 130}, {100, 0, 70}, {0, 0, 0}, {-0.0, 5, 5},
  };
  std::string out = echo_of([&] {
    for (const auto& c : cases) {
      host.avg_turnaround = c.avg;
      compute_avg_turnaround(host, c.sample);
      EXPECT_DOUBLE_EQ(host.avg_turnaround, c.expected)
          << c.avg << " " << c.sample;
    }
    // Both products formed separately, then added.
    host.avg_turnaround = 1.1;
    compute_avg_turnaround(host, 2.3);
    EXPECT_EQ(host.avg_turnaround, 0.7 * 1.1 + 0.3 * 2.3);
    host.avg_turnaround = std::numeric_limits<double>::quiet_NaN();
    compute_avg_turnaround(host, 10);
    EXPECT_TRUE(std::isnan(host.avg_turnaround));
  });
  EXPECT_EQ(out, "");  // the database is not touched
}

TEST_F(DbHelpersTest, RestrictRetiresUnsentResultsAndAssignsTheUser) {
  seed_results();
  DB_WORKUNIT wu(&check);
  ASSERT_EQ(wu.lookup_id(1), 0);
  WORKUNIT before = wu;
  std::string wu_row = value(
      "select concat_ws('|', name, appid) from "
      "workunit where id=1");

  int retval = -999;
  time_t t0 = time(nullptr);
  std::string out = echo_of([&] { retval = restrict_wu_to_user(wu, 42); });
  time_t t1 = time(nullptr);
  EXPECT_EQ(retval, 0);
  std::string asg_time = value("select create_time from assignment");
  EXPECT_EQ(out,
            "query: select * from result where workunitid=1 and "
            "server_state=2\n"
            "query: update result set server_state=5, outcome=5 where id=11 "
            "and server_state=2\n"
            "query: update result set server_state=5, outcome=5 where id=12 "
            "and server_state=2\n"
            "query: update workunit set transitioner_flags=2 where id=1\n"
            "query: insert into assignment set id=0, create_time=" +
                asg_time +
                ", target_id=42, target_type=2, multi=0, workunitid=1, "
                "resultid=0\n");
  EXPECT_GE(atol(asg_time.c_str()), static_cast<long>(t0));
  EXPECT_LE(atol(asg_time.c_str()), static_cast<long>(t1));

  // Only the unsent results of workunit 1 changed.
  EXPECT_EQ(value("select group_concat(concat_ws(':', id, server_state, "
                  "outcome) order by id) from result"),
            "11:5:5,12:5:5,13:4:0,14:5:1,21:2:0,31:2:0,32:4:0");
  EXPECT_EQ(value("select group_concat(transitioner_flags order by id) from "
                  "workunit"),
            "2,0,0");
  EXPECT_EQ(value("select concat_ws('|', name, appid) from workunit where "
                  "id=1"),
            wu_row);
  EXPECT_EQ(value("select concat_ws(',', count(*), max(target_id), "
                  "max(target_type), max(multi), max(workunitid)) from "
                  "assignment"),
            "1,42,2,0,1");
  // The caller's record is as it was.
  EXPECT_EQ(wu.transitioner_flags, 0);
  EXPECT_EQ(before.transitioner_flags, wu.transitioner_flags);
}

TEST_F(DbHelpersTest, RestrictWithoutUnsentResultsAndWhenTheWorkunitFails) {
  seed_results();
  WORKUNIT wu;
  wu.id = 2;
  exec("update result set server_state=4 where workunitid=2");
  std::string out = echo_of([&] { EXPECT_EQ(restrict_wu_to_user(wu, 9), 0); });
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
  EXPECT_NE(out.find("query: update workunit set transitioner_flags=2 where "
                     "id=2\nquery: insert into assignment set "),
            std::string::npos);
  EXPECT_EQ(value("select count(*) from assignment where workunitid=2 and "
                  "target_id=9"),
            "1");

  // The workunit cannot be written: its error, the results already retired,
  // and no assignment.
  exec("rename table workunit to workunit_away");
  wu.id = 3;
  CaptureStderr();
  int retval = restrict_wu_to_user(wu, 9);
  std::string err = GetCapturedStderr();
  EXPECT_NE(retval, 0);
  EXPECT_NE(err.find("Database error: "), std::string::npos);
  EXPECT_EQ(value("select server_state from result where id=31"), "5");
  EXPECT_EQ(value("select count(*) from assignment where workunitid=3"), "0");
  exec("rename table workunit_away to workunit");
}

// Each failure ends it: what is left is unsent results|flags|assignments.
TEST_F(DbHelpersTest, RestrictStopsAtTheFirstFailure) {
  seed_results();
  struct {
    const char* setup;  // null: inside a transaction, lose a deadlock
    int wuid, retval;   // retval 1: a refused statement's error
    const char* left;
  } cases[] = {
      {"create trigger t before update on result for each row signal "
       "sqlstate '45000'",
       3, 1, "1|0|0"},
      {"drop trigger t", 99, ERR_DB_NO_ROW, "0|-|0"},  // no such workunit
      {"delete from workunit where id=3", 3, ERR_DB_NO_ROW, "0|-|0"},
      {nullptr, 1, 1, "2|0|0"},  // not autocommitted after it either
  };
  for (const auto& c : cases) {
    WORKUNIT wu;
    wu.id = c.wuid;
    int retval;
    CaptureStderr();
    if (c.setup) {
      exec(c.setup);
      retval = restrict_wu_to_user(wu, 9);
    } else {
      orvex_test::Deadlock peer(
          orvex_db, check, "select id from result where id=12 for update",
          "update result set server_state=5, outcome=5 where id=12 and "
          "server_state=2",
          "select id from result where id=11 for update");
      orvex_db.start_transaction();
      retval = restrict_wu_to_user(wu, 9);
      EXPECT_TRUE(db_conflict(orvex_db));
      orvex_db.rollback_transaction();
      EXPECT_EQ(peer.done(), "");
    }
    GetCapturedStderr();
    EXPECT_EQ(retval > 0 ? 1 : retval, c.retval) << c.wuid;
    exec("set @w=" + std::to_string(c.wuid));
    EXPECT_EQ(value("select concat_ws('|', (select count(*) from result where "
                    "workunitid=@w and server_state=2), ifnull((select "
                    "transitioner_flags from workunit where id=@w), '-'), "
                    "(select count(*) from assignment where workunitid=@w))"),
              c.left);
  }
}

TEST_F(DbHelpersTest, GpuPlansAreTheNamesWithCudaNvidiaOrAti) {
  for (const char* yes : {"cuda", "cuda23", "opencl_nvidia_101", "ati",
                          "opencl_ati_14", "static", "x_nvidia_cuda"}) {
    EXPECT_TRUE(app_plan_uses_gpu(yes)) << yes;
  }
  for (const char* no :
       {"", "CUDA", "NVIDIA", "ATI", "mt", "sse2", "opencl_amd", "at", "cud"}) {
    EXPECT_FALSE(app_plan_uses_gpu(no)) << no;
  }
  EXPECT_FALSE(app_plan_uses_gpu(nullptr));
}

}  // namespace
