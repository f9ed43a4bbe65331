// Read-your-writes on the private primary and GTID replica of
// scripts/test-cluster.sh (ORVEX_TEST_CLUSTER_ENV names its cluster.env):
// the time wait_for_replica takes after a one-row write on the primary,
// with the replica otherwise idle. Only the wait is timed; the write, as a
// program makes it, comes before each wait.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "database/db_conn.h"
#include "database/replica.h"

namespace {

std::map<std::string, std::string> cluster_env() {
  std::map<std::string, std::string> env;
  const char* path = getenv("ORVEX_TEST_CLUSTER_ENV");
  std::ifstream in(path ? path : "");
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

bool open(DB_CONN& db, std::map<std::string, std::string>& env,
          const char* node) {
  std::string host = "127.0.0.1:" + env[std::string(node) + "_PORT"];
  return db.open(env["DB_NAME"].c_str(), host.c_str(), env["DB_USER"].c_str(),
                 env["DB_PASSWD"].c_str()) == 0;
}

void BM_ReadYourWritesWait(benchmark::State& state) {
  auto env = cluster_env();
  DB_CONN primary, replica;
  if (env.empty() || !open(primary, env, "PRIMARY") ||
      !open(replica, env, "REPLICA")) {
    state.SkipWithError("no cluster (ORVEX_TEST_CLUSTER_ENV)");
    return;
  }
  if (primary.do_query("create table if not exists bench_ryw (id int "
                       "primary key auto_increment, v int)")) {
    state.SkipWithError("cannot create the table");
    return;
  }
  double total_ms = 0;
  for (auto _ : state) {
    if (primary.do_query("insert into bench_ryw (v) values (1)")) {
      state.SkipWithError("insert failed");
      break;
    }
    auto t0 = std::chrono::steady_clock::now();
    int retval = wait_for_replica(primary, replica, 10);
    auto t1 = std::chrono::steady_clock::now();
    if (retval) {
      state.SkipWithError("the wait failed");
      break;
    }
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
    total_ms += seconds * 1e3;
  }
  state.counters["wait_ms"] =
      benchmark::Counter(total_ms, benchmark::Counter::kAvgIterations);
  primary.close();
  replica.close();
}
BENCHMARK(BM_ReadYourWritesWait)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
