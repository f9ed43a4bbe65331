// Read-your-writes on the private primary and GTID replica of
// scripts/test-cluster.sh (ORVEX_TEST_CLUSTER_ENV names its cluster.env):
// the time wait_for_replica takes after a one-row write on the primary,
// with the replica otherwise idle. Only the wait is timed; the write, as a
// program makes it, comes before each wait.
// Fail over on the Galera cluster: kill -9 of the node a connection on the
// server list uses, to the next successful write on another node, as a
// ratio to the time the survivors take to evict the node (their
// wsrep_cluster_size drops), both from the same kill.
// The same after kill -STOP of the node in use, as a ratio to the layer's
// bounds plus the eviction; and open on a list whose first node is frozen.
// The cost of open in fresh sessions, against the client library's own
// connect with the same character set and init command: on one node and
// on the healthy three-node list (the readiness probe), with the former
// information_schema readiness query beside it; a plain server first on a
// list; and one read of the shared health record. Medians of
// ORVEX_BENCH_OPEN_ROUNDS (300) rounds, the cases taking turns in each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "database/db_conn.h"
#include "database/replica.h"
#include "database/server_health.h"
#include "database/session_changes.h"

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

std::string galera_list(std::map<std::string, std::string>& env) {
  std::string list;
  for (const char* n : {"GALERA1", "GALERA2", "GALERA3"}) {
    list += (list.empty() ? "" : ",") +
            ("127.0.0.1:" + env[std::string(n) + "_PORT"]);
  }
  return list;
}

// Bounds of the benchmarks on silent faults, in seconds: short, as a test
// would set them; the goals are ratios to them.
constexpr unsigned kConnectBound = 2, kWaitBound = 2;

// Fail over on the Galera cluster: the node a connection on the server list
// uses is failed (down: "kill" or "freeze") and brought back (up: "restart"
// or "thaw"); each iteration times the fault to the next successful write
// on another node, and to the survivors' own eviction of the node (their
// wsrep_cluster_size drops), both from the same fault. ratio: the fail over
// over the eviction plus `bounds_ms` (the layer's own waits for a silent
// node).
void fail_over(benchmark::State& state, const char* down, const char* up,
               double bounds_ms) {
  auto env = cluster_env();
  std::string list = galera_list(env);
  DB_CONN db;
  db.set_timeouts(kConnectBound, kWaitBound);
  bool ready = !env.empty() &&
               db.open(env["DB_NAME"].c_str(), list.c_str(),
                       env["DB_USER"].c_str(), env["DB_PASSWD"].c_str()) == 0;
  // A node woken a moment ago may refuse DDL while it rejoins.
  for (int i = 0; ready && i < 30; i++) {
    if (db.do_query("create table if not exists bench_fo (id int primary key "
                    "auto_increment, v int)") == 0) {
      break;
    }
    if (i == 29) ready = false;
    sleep(1);
  }
  if (!ready) {
    state.SkipWithError("no cluster (ORVEX_TEST_CLUSTER_ENV)");
    return;
  }
  double failover_ms = 0, eviction_ms = 0;
  int runs = 0;
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
    bool failed = cluster_script(down, node);
    for (int i = 0; failed && i < 3000; i++) {
      if (db.do_query("insert into bench_fo (v) values (1)") == 0) {
        t_write = Clock::now();
        break;
      }
      usleep(10000);
    }
    watch.join();
    watcher.close();
    bool back = cluster_script(up, node);
    if (!failed || !back || t_write == t0 || !evicted) {
      state.SkipWithError("the fault, the write or the return failed");
      break;
    }
    double f = std::chrono::duration<double, std::milli>(t_write - t0).count();
    double e = std::chrono::duration<double, std::milli>(t_evict - t0).count();
    failover_ms += f;
    eviction_ms += e;
    runs++;
    state.SetIterationTime(f / 1e3);
  }
  state.counters["failover_ms"] =
      benchmark::Counter(failover_ms, benchmark::Counter::kAvgIterations);
  state.counters["eviction_ms"] =
      benchmark::Counter(eviction_ms, benchmark::Counter::kAvgIterations);
  double base = eviction_ms + bounds_ms * runs;
  state.counters["ratio"] = base > 0 ? failover_ms / base : 0;
  db.close();
}

// kill -9 of the node in use: the kernel refuses at once, so only the
// eviction counts.
void BM_FailoverVsEviction(benchmark::State& state) {
  fail_over(state, "kill", "restart", 0);
}
// Each iteration kills a node and waits for it to rejoin (about 10 s).
BENCHMARK(BM_FailoverVsEviction)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// kill -STOP of the node in use: the statement waits the wait bound, then a
// new connection the connect bound, before the layer takes the node as gone.
void BM_FailoverFrozenVsBounds(benchmark::State& state) {
  fail_over(state, "freeze", "thaw", (kConnectBound + kWaitBound) * 1e3);
}
BENCHMARK(BM_FailoverFrozenVsBounds)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The session set-up that open asks of the client library, as a program
// would send it without the library: a new session's set-up statement.
std::string init_statement() {
  std::string text;
  SESSION_CHANGES().setup_statement(text);
  return text;
}
const std::string kInit = init_statement();
// The readiness query open sent on a list before the probe.
const char* const kOldReadiness =
    "SELECT (SELECT variable_value FROM information_schema.global_variables "
    "WHERE variable_name='WSREP_ON'), (SELECT variable_value FROM "
    "information_schema.global_status WHERE variable_name='WSREP_READY'), "
    "(SELECT variable_value FROM information_schema.global_status WHERE "
    "variable_name='WSREP_CLUSTER_STATUS')";

void BM_OpenVsConnect(benchmark::State& state) {
  auto env = cluster_env();
  auto host = [&](const char* n) {
    return "127.0.0.1:" + env[std::string(n) + "_PORT"];
  };
  const std::string g1 = host("GALERA1");
  const std::string list = g1 + "," + host("GALERA2") + "," + host("GALERA3");
  const std::string plain_list = host("PRIMARY") + "," + g1;
  char record_path[] = "/dev/shm/orvex-bench-health-XXXXXX";
  int fd = mkstemp(record_path);
  if (env.empty() || fd < 0) {
    state.SkipWithError("no cluster (ORVEX_TEST_CLUSTER_ENV)");
    return;
  }
  close(fd);
  setenv(DB_HEALTH_ENV, record_path, 1);
  for (const char* s : {"db1:3306", "db2:3306", "db3:3306"}) {
    db_health_note(s, true, time(nullptr));
  }
  auto library = [&](const char* node, const char* extra) {
    MYSQL* m = mysql_init(nullptr);
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_options(m, MYSQL_INIT_COMMAND, kInit.c_str());
    bool ok =
        mysql_real_connect(m, "127.0.0.1", env["DB_USER"].c_str(),
                           env["DB_PASSWD"].c_str(), env["DB_NAME"].c_str(),
                           atoi(env[std::string(node) + "_PORT"].c_str()),
                           nullptr, CLIENT_FOUND_ROWS) &&
        (!extra || mysql_query(m, extra) == 0);
    if (ok && extra) mysql_free_result(mysql_store_result(m));
    mysql_close(m);
    return ok;
  };
  auto orvex = [&](const std::string& hosts) {
    DB_CONN db;
    bool ok = db.open(env["DB_NAME"].c_str(), hosts.c_str(),
                      env["DB_USER"].c_str(), env["DB_PASSWD"].c_str()) == 0;
    db.close();
    return ok;
  };
  auto health = [] {
    DB_HEALTH h;
    db_health_read(h, time(nullptr));
    return h.count == 3;
  };
  const char* names[] = {"connect_us",    "open_one_us",  "open_list_us",
                         "old_list_us",   "plain_lib_us", "plain_list_us",
                         "health_read_us"};
  std::function<bool()> cases[] = {
      [&] { return library("GALERA1", nullptr); },
      [&] { return orvex(g1); },
      [&] { return orvex(list); },
      [&] { return library("GALERA1", kOldReadiness); },
      [&] { return library("PRIMARY", nullptr); },
      [&] { return orvex(plain_list); },
      health,
  };
  const int n = sizeof cases / sizeof cases[0];
  const char* r = getenv("ORVEX_BENCH_OPEN_ROUNDS");
  const int rounds = r && atoi(r) > 0 ? atoi(r) : 300;
  std::vector<std::vector<double>> us(n);
  for (auto _ : state) {
    for (int round = 0; round < rounds; round++) {
      for (int i = 0; i < n; i++) {
        int k = (i + round) % n;  // each case in every position in turn
        Clock::time_point t0 = Clock::now();
        if (!cases[k]()) {
          state.SkipWithError(names[k]);
          unlink(record_path);
          return;
        }
        us[k].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0)
                .count());
      }
    }
  }
  unlink(record_path);
  unsetenv(DB_HEALTH_ENV);
  double median[n];
  for (int k = 0; k < n; k++) {
    std::sort(us[k].begin(), us[k].end());
    median[k] = us[k][us[k].size() / 2];
    state.counters[names[k]] = median[k];
  }
  state.counters["one_ratio"] = median[1] / median[0];
  state.counters["list_ratio"] = median[2] / median[0];
  state.counters["old_list_ratio"] = median[3] / median[0];
  state.counters["plain_list_ratio"] = median[5] / median[4];
  state.counters["health_read_share"] = median[6] / median[0];
}
BENCHMARK(BM_OpenVsConnect)->Iterations(1)->Unit(benchmark::kMillisecond);

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Open on the three-node list whose first node is frozen (kill -STOP): the
// first open, which pays the connect bound, as a ratio to the bound; and
// later opens, which the health record sends to the others first, as a
// ratio to open on the same list while it was healthy (medians of 50 each,
// a fresh connection each time, as a scheduler run per request opens).
void BM_OpenFrozenFirst(benchmark::State& state) {
  auto env = cluster_env();
  std::string list = galera_list(env);
  char record[] = "/dev/shm/orvex-bench-health-XXXXXX";
  int fd = mkstemp(record);
  if (env.empty() || fd < 0) {
    state.SkipWithError("no cluster (ORVEX_TEST_CLUSTER_ENV)");
    return;
  }
  close(fd);
  unlink(record);
  setenv(DB_HEALTH_ENV, record, 1);
  auto open_list = [&] {
    DB_CONN db;
    db.set_timeouts(kConnectBound, kWaitBound);
    Clock::time_point t0 = Clock::now();
    bool ok = db.open(env["DB_NAME"].c_str(), list.c_str(),
                      env["DB_USER"].c_str(), env["DB_PASSWD"].c_str()) == 0;
    double ms = ms_since(t0);
    db.close();
    return ok ? ms : -1;
  };
  auto median = [&](int n) {
    std::vector<double> v;
    for (int i = 0; i < n; i++) v.push_back(open_list());
    std::sort(v.begin(), v.end());
    return v[0] < 0 ? -1 : v[v.size() / 2];
  };
  double first = 0, later = 0, healthy = 0;
  for (auto _ : state) {
    db_health_clear();
    healthy = median(50);
    if (!cluster_script("freeze", "galera1")) {
      state.SkipWithError("freeze failed");
      break;
    }
    first = open_list();
    // The survivors' eviction of the node is the cluster's cost, not the
    // record's: later processes are measured once it is done.
    DB_CONN watcher;
    if (open(watcher, env, "GALERA2")) {
      for (int i = 0; i < 1000; i++) {
        if (status_value(watcher, "wsrep_cluster_size") == "2") break;
        usleep(10000);
      }
      watcher.close();
    }
    later = median(50);
    bool thawed = cluster_script("thaw", "galera1");
    if (!thawed || first < 0 || later < 0 || healthy < 0) {
      state.SkipWithError("an open or the thaw failed");
      break;
    }
    state.SetIterationTime(first / 1e3);
  }
  unlink(record);
  unsetenv(DB_HEALTH_ENV);
  state.counters["first_ms"] = first;
  state.counters["later_ms"] = later;
  state.counters["healthy_ms"] = healthy;
  state.counters["first_ratio"] = first / (kConnectBound * 1e3);
  state.counters["later_ratio"] = healthy > 0 ? later / healthy : 0;
}
BENCHMARK(BM_OpenFrozenFirst)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
