// Cost as the work grows, on the private server of the tests
// (ORVEX_TEST_DB_ENV names its db.env), with the shipped schema:
//   - streaming enumerate of the result table over 10^4, 10^5 and 10^6 rows:
//     time per row and heap growth;
//   - count_unsent_results and row counts on a result table of 10^6 rows,
//     selecting 10^3 to 10^5 of them (EXPLAIN in the label), against a
//     count of the whole table;
//   - dir_hier_path over 10^4 to 10^6 names, time per call, and the
//     chi-square of the bucket counts at fan-out 1024.
// ORVEX_BENCH_SCALE_ROWS lowers the table's size (10^6) for quick runs
// (at least 111,000); enumerations beyond it are then left out.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/db_rows.h"
#include "daemon/db_helpers.h"
#include "daemon/dir_hier.h"

namespace {

long env_long(const char* name, long fallback) {
  const char* v = getenv(name);
  return v && atol(v) > 0 ? atol(v) : fallback;
}
const long kTableRows = env_long("ORVEX_BENCH_SCALE_ROWS", 1000000);

// appid 1, 2 and 3 hold 10^3, 10^4 and 10^5 unsent results; appid 4 the
// rest, half of them unsent. workunitid is the row's number.
const int kAppRows[] = {0, 1000, 10000, 100000};

bool run_schema(DB_CONN& db) {
  std::ifstream in(std::string(ORVEX_SOURCE_ROOT) + "/db/schema.sql");
  if (!in ||
      db.do_query("drop table if exists workunit, result, host, assignment")) {
    return false;
  }
  std::string line, statement;
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    if (!line.empty() && line.back() == ';') {
      statement.resize(statement.size() - 2);
      if (db.do_query(statement.c_str())) return false;
      statement.clear();
    }
  }
  return true;
}

// Opens orvex_db on the private server and fills the result table once;
// false without a server.
bool database() {
  static const bool ok = [] {
    const char* path = getenv("ORVEX_TEST_DB_ENV");
    std::ifstream in(path ? path : "");
    std::string line, socket, name, user, passwd;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key == "DB_SOCKET") socket = value;
      if (key == "DB_NAME") name = value;
      if (key == "DB_USER") user = value;
      if (key == "DB_PASSWD") passwd = value;
    }
    if (socket.empty() || name.empty()) return false;
    setenv("MYSQL_UNIX_PORT", socket.c_str(), 1);
    if (orvex_db.open(name.c_str(), "localhost", user.c_str(),
                      passwd.c_str()) ||
        !run_schema(orvex_db)) {
      return false;
    }
    // Made by the server from a sequence: the figures are about reading.
    char sql[1024];
    snprintf(sql, sizeof sql,
             "insert into result (name, workunitid, server_state, appid, "
             "random, xml_doc_out) "
             "select concat('wu_', seq, '_0'), seq, "
             "if(seq <= %d or seq %% 2 = 0, %d, 5), "
             "case when seq <= %d then 1 when seq <= %d then 2 "
             "when seq <= %d then 3 else 4 end, "
             "seq * 7919 %% 100003, repeat('x', 200) from seq_1_to_%ld",
             kAppRows[1] + kAppRows[2] + kAppRows[3],
             RESULT_SERVER_STATE_UNSENT, kAppRows[1], kAppRows[1] + kAppRows[2],
             kAppRows[1] + kAppRows[2] + kAppRows[3], kTableRows);
    if (orvex_db.do_query(sql) || orvex_db.do_query("analyze table result")) {
      return false;
    }
    mysql_free_result(mysql_store_result(orvex_db.handle));  // its report
    return true;
  }();
  return ok;
}

bool need_database(benchmark::State& state, long rows) {
  if (!database()) {
    state.SkipWithError("no test database server (set ORVEX_TEST_DB_ENV)");
    return false;
  }
  return rows <= kTableRows;
}

// The index the server chooses for a statement, and its estimate of rows.
std::string explain(const std::string& statement) {
  std::string out = "EXPLAIN: ";
  if (orvex_db.do_query(("explain " + statement).c_str()))
    return out + "failed";
  MYSQL_RES* res = mysql_store_result(orvex_db.handle);
  if (!res) return out + "no result";
  unsigned fields = mysql_num_fields(res);
  MYSQL_FIELD* f = mysql_fetch_fields(res);
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    for (unsigned i = 0; i < fields; i++) {
      std::string name = f[i].name;
      if (name == "type" || name == "key" || name == "rows" ||
          name == "Extra") {
        out += name + "=" + (row[i] ? row[i] : "NULL") + " ";
      }
    }
  }
  mysql_free_result(res);
  return out;
}

size_t heap_in_use() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

void BM_EnumerateRows(benchmark::State& state) {
  const long rows = state.range(0);
  if (!need_database(state, rows)) return;
  char clause[64];
  snprintf(clause, sizeof clause, "where id <= %ld", rows);
  size_t peak = 0;
  for (auto _ : state) {
    DB_RESULT result;
    long n = 0;
    size_t base = heap_in_use();
    while (result.enumerate(clause, true) == 0) {
      if (++n % 4096 == 0) peak = std::max(peak, heap_in_use() - base);
    }
    if (n != rows) state.SkipWithError("wrong number of rows");
  }
  state.counters["heap_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.counters["per_item_ns"] =
      benchmark::Counter(static_cast<double>(rows) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
// The sizes that the table holds.
void sizes(benchmark::internal::Benchmark* b) {
  for (long n : {10000L, 100000L, 1000000L}) {
    if (n <= kTableRows) b->Arg(n);
  }
}

BENCHMARK(BM_EnumerateRows)
    ->Apply(sizes)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// count_unsent_results for an application with 10^3, 10^4 or 10^5 unsent
// results (appid 1, 2, 3), and appid 0: the whole table's count.
void BM_CountUnsent(benchmark::State& state) {
  const int appid = static_cast<int>(state.range(0));
  if (!need_database(state, appid ? kAppRows[appid] : kTableRows)) return;
  for (auto _ : state) {
    int n = -1;
    if (appid) {
      count_unsent_results(n, appid);
    } else {
      DB_RESULT result;
      result.count(n);
    }
    if (n != (appid ? kAppRows[appid] : kTableRows)) {
      state.SkipWithError("wrong count");
      break;
    }
  }
  char sql[128];
  snprintf(
      sql, sizeof sql,
      appid ? "select count(*) from result where server_state=%d and appid=%d"
            : "select count(*) from result",
      RESULT_SERVER_STATE_UNSENT, appid);
  state.SetLabel(explain(sql));
  state.counters["rows"] = appid ? kAppRows[appid] : kTableRows;
}
BENCHMARK(BM_CountUnsent)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// A row count through TABLEROW::count over a range of work units.
void BM_CountRange(benchmark::State& state) {
  const long rows = state.range(0);
  if (!need_database(state, rows)) return;
  char clause[64];
  snprintf(clause, sizeof clause, "where workunitid <= %ld", rows);
  for (auto _ : state) {
    int n = -1;
    count_results(clause, n);
    if (n != rows) {
      state.SkipWithError("wrong count");
      break;
    }
  }
  state.SetLabel(explain(std::string("select count(*) from result ") + clause));
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_CountRange)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// dir_hier_path over `names` result file names at fan-out 1024, with the
// chi-square of the bucket counts (1023 degrees of freedom: above 1165 has
// a chance below 0.001 for evenly spread names).
void BM_DirHierPathNames(benchmark::State& state) {
  const long names = state.range(0);
  std::vector<std::string> all;
  all.reserve(names);
  for (long i = 0; i < names; i++) {
    all.push_back("wu_" + std::to_string(100000 + i * 7) + "_" +
                  std::to_string(i % 3));
  }
  std::vector<long> buckets(1024);
  char path[DIR_HIER_PATH_LEN];
  for (auto _ : state) {
    std::fill(buckets.begin(), buckets.end(), 0);
    for (const std::string& name : all) {
      dir_hier_path(name.c_str(), "/srv/project/upload", 1024, path);
      buckets[strtol(path + sizeof "/srv/project/upload", nullptr, 16)]++;
    }
  }
  double expected = static_cast<double>(names) / 1024, chi2 = 0;
  for (long b : buckets) chi2 += (b - expected) * (b - expected) / expected;
  state.counters["chi2"] = chi2;
  state.counters["per_item_ns"] =
      benchmark::Counter(static_cast<double>(names) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_DirHierPathNames)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
