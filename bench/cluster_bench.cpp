// Read-your-writes on the private primary and GTID replica of
// scripts/test-cluster.sh (ORVEX_TEST_CLUSTER_ENV names its cluster.env):
// the time wait_for_replica takes after a one-row write on the primary,
// with the replica otherwise idle. Only the wait is timed; the write, as a
// program makes it, comes before each wait.
// Fail over on the Galera cluster: kill -9 of the node a connection on the
// server list uses, to the next successful write on another node, as a
// ratio to the time the survivors take to evict the node (their
// wsrep_cluster_size drops), both from the same kill.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

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
BENCHMARK(BM_ReadYourWritesWait)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

using Clock = std::chrono::steady_clock;

// "kill" or "restart" of node (lower case) through the cluster script.
bool cluster_script(const char* verb, const std::string& node) {
  std::string env = getenv("ORVEX_TEST_CLUSTER_ENV");
  std::string cmd = "bash '" ORVEX_SOURCE_ROOT "/scripts/test-cluster.sh' " +
                    std::string(verb) + " " + node + " '" +
                    env.substr(0, env.rfind('/')) + "' >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

std::string status_value(DB_CONN& db, const char* name) {
  std::string sql = std::string("show status like '") + name + "'";
  if (db.do_query(sql.c_str())) return "";
  MYSQL_RES* res = mysql_store_result(db.handle);
  MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
  std::string value = row && row[1] ? row[1] : "";
  mysql_free_result(res);
  return value;
}

void BM_FailoverVsEviction(benchmark::State& state) {
  auto env = cluster_env();
  std::string list;
  for (const char* n : {"GALERA1", "GALERA2", "GALERA3"}) {
    list += (list.empty() ? "" : ",") +
            ("127.0.0.1:" + env[std::string(n) + "_PORT"]);
  }
  DB_CONN db;
  if (env.empty() ||
      db.open(env["DB_NAME"].c_str(), list.c_str(), env["DB_USER"].c_str(),
              env["DB_PASSWD"].c_str()) != 0 ||
      db.do_query("create table if not exists bench_fo (id int primary key "
                  "auto_increment, v int)")) {
    state.SkipWithError("no cluster (ORVEX_TEST_CLUSTER_ENV)");
    return;
  }
  double failover_ms = 0, eviction_ms = 0;
  for (auto _ : state) {
    // The node in use, and a watcher on another one.
    std::string in_use = db.server(), node, watched;
    for (const char* n : {"GALERA1", "GALERA2", "GALERA3"}) {
      std::string host = "127.0.0.1:" + env[std::string(n) + "_PORT"];
      if (host == in_use)
        node = n;
      else if (watched.empty())
        watched = n;
    }
    DB_CONN watcher;
    if (!open(watcher, env, watched.c_str())) {
      state.SkipWithError("cannot open the watcher");
      break;
    }
    for (char& c : node) c = static_cast<char>(tolower(c));
    std::atomic<bool> evicted{false};
    Clock::time_point t0 = Clock::now(), t_evict = t0, t_write = t0;
    std::thread watch([&] {
      while (status_value(watcher, "wsrep_cluster_size") == "3") usleep(5000);
      t_evict = Clock::now();
      evicted = true;
    });
    t0 = Clock::now();
    bool killed = cluster_script("kill", node);
    for (int i = 0; killed && i < 3000; i++) {
      if (db.do_query("insert into bench_fo (v) values (1)") == 0) {
        t_write = Clock::now();
        break;
      }
      usleep(10000);
    }
    watch.join();
    watcher.close();
    bool restarted = cluster_script("restart", node);
    if (!killed || !restarted || t_write == t0 || !evicted) {
      state.SkipWithError("kill, restart or write failed");
      break;
    }
    double f = std::chrono::duration<double, std::milli>(t_write - t0).count();
    double e = std::chrono::duration<double, std::milli>(t_evict - t0).count();
    failover_ms += f;
    eviction_ms += e;
    state.SetIterationTime(f / 1e3);
  }
  state.counters["failover_ms"] =
      benchmark::Counter(failover_ms, benchmark::Counter::kAvgIterations);
  state.counters["eviction_ms"] =
      benchmark::Counter(eviction_ms, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = eviction_ms > 0 ? failover_ms / eviction_ms : 0;
  db.close();
}
// Each iteration kills a node and waits for it to rejoin (about 10 s).
BENCHMARK(BM_FailoverVsEviction)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
