// Rows through TABLEROW against the client library used directly, on the
// private server of the tests (ORVEX_TEST_DB_ENV names its db.env):
//   - insert_batch against one insert per row (autocommit, one transaction)
//     and against LOAD DATA LOCAL INFILE of the same rows;
//   - enumerate, streaming and buffered, against a raw mysql_fetch_row loop
//     that parses the same record, with the heap growth of each.
//   - the cost of one statement: lookup, update, count, a short enumerate
//     and a small insert_batch through the library, against the same
//     statement texts sent with the client library directly.
// ORVEX_BENCH_ROWS, ORVEX_BENCH_ENUM_ROWS and ORVEX_BENCH_STATEMENTS change
// the counts (20,000, 200,000 and 5,000).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <mysql.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "database/sql_escape.h"
#include "database/tablerow.h"

namespace {

int env_int(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && atoi(v) > 0 ? atoi(v) : fallback;
}
const int kRows = env_int("ORVEX_BENCH_ROWS", 20000);
const int kEnumRows = env_int("ORVEX_BENCH_ENUM_ROWS", 200000);
const int kStatements = env_int("ORVEX_BENCH_STATEMENTS", 5000);

struct ROW {
  int id = 0;
  char name[64] = {};
  int state = 0;
  double value = 0;
};

// The one parser of a fetched row, shared by the row class and the raw loop.
void parse_row(MYSQL_ROW& r, ROW& row) {
  row.id = r[0] ? atoi(r[0]) : 0;
  snprintf(row.name, sizeof row.name, "%s", r[1] ? r[1] : "");
  row.state = r[2] ? atoi(r[2]) : 0;
  row.value = r[3] ? atof(r[3]) : 0;
}

class DB_ROW : public TABLEROW, public ROW {
 public:
  DB_ROW(const char* table, DB_CONN* conn) : TABLEROW(table, conn) {}
  int get_id() override { return id; }
  void db_print(char* dest) override {
    char esc[sizeof name * 2];
    snprintf(esc, sizeof esc, "%s", name);
    escape_string(esc, sizeof esc);
    snprintf(dest, QUERY_TEXT_MAX, "name='%s', state=%d, value=%.17g", esc,
             state, value);
  }
  void db_parse(MYSQL_ROW& r) override { parse_row(r, *this); }
};

struct Server {
  std::string socket, name, user, passwd;
  bool ok = false;
};

// Reads db.env and points the client library's default socket at it.
const Server& server() {
  static const Server s = [] {
    Server sv;
    const char* path = getenv("ORVEX_TEST_DB_ENV");
    std::ifstream in(path ? path : "");
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key == "DB_SOCKET") sv.socket = value;
      if (key == "DB_NAME") sv.name = value;
      if (key == "DB_USER") sv.user = value;
      if (key == "DB_PASSWD") sv.passwd = value;
    }
    sv.ok = !sv.socket.empty() && !sv.name.empty();
    if (sv.ok) setenv("MYSQL_UNIX_PORT", sv.socket.c_str(), 1);
    return sv;
  }();
  return s;
}

// The connection of the benchmarks, over the Unix socket; null without a
// server.
DB_CONN* conn() {
  static DB_CONN* c = [] {
    const Server& s = server();
    if (!s.ok) return static_cast<DB_CONN*>(nullptr);
    auto* dc = new DB_CONN;
    if (dc->open(s.name.c_str(), "localhost", s.user.c_str(),
                 s.passwd.c_str())) {
      return static_cast<DB_CONN*>(nullptr);
    }
    const char* ddl[] = {
        "drop table if exists bench_insert",
        "create table bench_insert (id int primary key auto_increment, "
        "name varchar(64) not null, state int not null, value double not "
        "null) engine=InnoDB",
        "drop table if exists bench_enum",
        "create table bench_enum like bench_insert",
        "drop table if exists bench_stmt",
        "create table bench_stmt like bench_insert",
        "drop table if exists bench_stmt_insert",
        "create table bench_stmt_insert like bench_insert"};
    for (const char* sql : ddl) dc->do_query(sql);
    return dc;
  }();
  return c;
}

// One timed run per repetition, in wall-clock milliseconds: the server's
// time is part of what a program waits for.
void once(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

bool need_server(benchmark::State& state) {
  if (conn()) return true;
  state.SkipWithError("no test database server (set ORVEX_TEST_DB_ENV)");
  return false;
}

// The values text of rows [from, to), as insert_batch takes it.
std::string values(int from, int to) {
  std::string v;
  char buf[128];
  for (int i = from; i < to; i++) {
    int n = snprintf(buf, sizeof buf, "%s(0,'result_%d_0',%d,%.17g)",
                     i > from ? "," : "", i, i % 6, i * 0.5);
    v.append(buf, static_cast<size_t>(n));
  }
  return v;
}

void fill(DB_ROW& row, int i) {
  row.id = 0;
  snprintf(row.name, sizeof row.name, "result_%d_0", i);
  row.state = i % 6;
  row.value = i * 0.5;
}

void empty_insert_table(benchmark::State& state) {
  state.PauseTiming();
  conn()->do_query("truncate table bench_insert");
  state.ResumeTiming();
}

void BM_InsertAutocommit(benchmark::State& state) {
  if (!need_server(state)) return;
  DB_ROW row("bench_insert", conn());
  for (auto _ : state) {
    empty_insert_table(state);
    for (int i = 0; i < kRows; i++) {
      fill(row, i);
      row.insert();
    }
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_InsertAutocommit)->Apply(once);

void BM_InsertTransaction(benchmark::State& state) {
  if (!need_server(state)) return;
  DB_ROW row("bench_insert", conn());
  for (auto _ : state) {
    empty_insert_table(state);
    conn()->start_transaction();
    for (int i = 0; i < kRows; i++) {
      fill(row, i);
      row.insert();
    }
    conn()->commit_transaction();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_InsertTransaction)->Apply(once);

// Batches each committed on their own, or all inside one transaction (as
// LOAD DATA commits once).
template <bool OneTransaction>
void BM_InsertBatch(benchmark::State& state) {
  if (!need_server(state)) return;
  const int batch = static_cast<int>(state.range(0));
  DB_ROW row("bench_insert", conn());
  for (auto _ : state) {
    empty_insert_table(state);
    if (OneTransaction) conn()->start_transaction();
    for (int i = 0; i < kRows; i += batch) {
      row.insert_batch(values(i, std::min(i + batch, kRows)));
    }
    if (OneTransaction) conn()->commit_transaction();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_InsertBatch<false>)
    ->Name("BM_InsertBatch")
    ->Arg(100)
    ->Arg(1000)
    ->Apply(once);
BENCHMARK(BM_InsertBatch<true>)
    ->Name("BM_InsertBatchTransaction")
    ->Arg(100)
    ->Arg(1000)
    ->Apply(once);

// LOAD DATA needs the local-infile option, set before connecting, so it has
// a raw connection of its own. The file is written beforehand.
void BM_LoadDataInfile(benchmark::State& state) {
  if (!need_server(state)) return;
  const Server& s = server();
  std::string path = "/tmp/orvex_bench_rows.tsv";
  {
    std::ofstream out(path);
    for (int i = 0; i < kRows; i++) {
      out << "0\tresult_" << i << "_0\t" << i % 6 << '\t' << i * 0.5 << '\n';
    }
  }
  MYSQL* m = mysql_init(nullptr);
  unsigned int on = 1;
  mysql_options(m, MYSQL_OPT_LOCAL_INFILE, &on);
  if (!mysql_real_connect(m, nullptr, s.user.c_str(), s.passwd.c_str(),
                          s.name.c_str(), 0, s.socket.c_str(), 0)) {
    state.SkipWithError(mysql_error(m));
    mysql_close(m);
    return;
  }
  std::string sql =
      "load data local infile '" + path + "' into table bench_insert";
  for (auto _ : state) {
    empty_insert_table(state);
    if (mysql_query(m, sql.c_str())) state.SkipWithError(mysql_error(m));
  }
  mysql_close(m);
  remove(path.c_str());
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_LoadDataInfile)->Apply(once);

// The enumeration table, filled once.
bool enum_table_ready() {
  static const bool ready = [] {
    DB_ROW row("bench_enum", conn());
    for (int i = 0; i < kEnumRows; i += 1000) {
      if (row.insert_batch(values(i, std::min(i + 1000, kEnumRows)))) {
        return false;
      }
    }
    return true;
  }();
  return ready;
}

size_t heap_in_use() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

// Runs one walk over the table per iteration and reports the largest heap
// growth seen during a walk, in MiB.
template <typename Walk>
void enumerate_bench(benchmark::State& state, Walk walk) {
  if (!need_server(state)) return;
  if (!enum_table_ready()) {
    state.SkipWithError("could not fill the table");
    return;
  }
  size_t peak = 0;
  for (auto _ : state) {
    size_t base = heap_in_use(), top = base;
    long rows = walk([&] {
      size_t now = heap_in_use();
      if (now > top) top = now;
    });
    if (rows != kEnumRows) state.SkipWithError("row count differs");
    if (top - base > peak) peak = top - base;
  }
  state.counters["heap_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.SetItemsProcessed(state.iterations() * kEnumRows);
}

double seconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// Runs body and adds its wall-clock and CPU time to side's sums.
struct PairTimes {
  double wall[2] = {0, 0}, cpu[2] = {0, 0};

  template <typename Body>
  bool run(int side, Body body) {
    double w = seconds(CLOCK_MONOTONIC), c = seconds(CLOCK_THREAD_CPUTIME_ID);
    bool ok = body();
    wall[side] += seconds(CLOCK_MONOTONIC) - w;
    cpu[side] += seconds(CLOCK_THREAD_CPUTIME_ID) - c;
    return ok;
  }

  // The library's side (0) over the raw side (1); per_unit divides the sums
  // into the per-statement figures.
  void report(benchmark::State& state, double per_unit) const {
    state.counters["ratio"] = wall[0] / wall[1];
    state.counters["cpu_ratio"] = cpu[0] / cpu[1];
    state.counters["lib_us"] = wall[0] * 1e6 / per_unit;
    state.counters["raw_us"] = wall[1] * 1e6 / per_unit;
    state.counters["lib_cpu_us"] = cpu[0] * 1e6 / per_unit;
    state.counters["raw_cpu_us"] = cpu[1] * 1e6 / per_unit;
  }
};

// One walk over the table through the library, calling sample every 1,000
// rows; the rows seen.
template <bool Streaming, typename Sample>
long library_walk(Sample sample) {
  DB_ROW row("bench_enum", conn());
  long rows = 0;
  while (row.enumerate("", Streaming) == 0) {
    if (++rows % 1000 == 0) sample();
  }
  return rows;
}

// The same walk with the client library alone, parsing each row alike.
template <bool Streaming, typename Sample>
long raw_walk(Sample sample) {
  MYSQL* m = conn()->handle;
  long rows = 0;
  if (mysql_query(m, "select * from bench_enum")) return rows;
  MYSQL_RES* res = Streaming ? mysql_use_result(m) : mysql_store_result(m);
  if (!res) return rows;
  ROW rec;
  while (MYSQL_ROW r = mysql_fetch_row(res)) {
    parse_row(r, rec);
    if (++rows % 1000 == 0) sample();
  }
  mysql_free_result(res);
  return rows;
}

template <bool Streaming>
void BM_Enumerate(benchmark::State& state) {
  enumerate_bench(state,
                  [](auto sample) { return library_walk<Streaming>(sample); });
}

// The library's walk and the raw walk in one repetition, in the order
// library, raw, raw, library, so that both meet the server alike; the
// figures are the ratios of the sums (see BM_Pair below).
template <bool Streaming>
void BM_PairWalk(benchmark::State& state) {
  if (!need_server(state)) return;
  if (!enum_table_ready()) {
    state.SkipWithError("could not fill the table");
    return;
  }
  auto none = [] {};
  for (auto _ : state) {
    PairTimes t;
    for (int side : {0, 1, 1, 0}) {
      bool ok = t.run(side, [&] {
        long rows =
            side ? raw_walk<Streaming>(none) : library_walk<Streaming>(none);
        return rows == kEnumRows;
      });
      if (!ok) {
        state.SkipWithError("row count differs");
        return;
      }
    }
    t.report(state, 2.0 * kEnumRows);
  }
  state.SetItemsProcessed(state.iterations() * kEnumRows * 4);
}

BENCHMARK(BM_Enumerate<true>)
    ->Name("BM_EnumerateStreaming")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Enumerate<false>)
    ->Name("BM_EnumerateBuffered")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PairWalk<true>)->Name("BM_PairWalkStreaming")->Apply(once);
BENCHMARK(BM_PairWalk<false>)->Name("BM_PairWalkBuffered")->Apply(once);

// ---------------------------------------------------------------------------
// One statement at a time. Each pair sends the same texts, on the same
// connection, over a table of 1,000 rows; the raw side does what a program
// using the client library directly must do too (format the statement, read
// the result, parse the row).

constexpr int kStmtRows = 1000;

bool stmt_table_ready() {
  static const bool ready = [] {
    DB_ROW row("bench_stmt", conn());
    return row.insert_batch(values(0, kStmtRows)) == 0;
  }();
  return ready;
}

int stmt_id(int i) { return 1 + (i * 7919) % kStmtRows; }  // spread over rows

// The raw side's first row of a whole result, parsed as the row class does.
bool raw_read(MYSQL* m, const char* sql, ROW& rec) {
  if (mysql_query(m, sql)) return false;
  MYSQL_RES* res = mysql_store_result(m);
  if (!res) return false;
  MYSQL_ROW r = mysql_fetch_row(res);
  if (r) parse_row(r, rec);
  mysql_free_result(res);
  return r != nullptr;
}

// A clause selecting the 10 rows after statement i's row.
void range_clause(char* clause, size_t size, int i) {
  int from = stmt_id(i) % (kStmtRows - 10);
  snprintf(clause, size, "where id>%d and id<=%d", from, from + 10);
}

// Each operation: statement i through the library (lib) and the same text
// sent with the client library alone (raw), on the same connection, over
// kTable.
struct Lookup {
  static constexpr const char* kTable = "bench_stmt";
  static bool lib(DB_ROW& row, int i) { return row.lookup_id(stmt_id(i)) == 0; }
  static bool raw(MYSQL* m, int i) {
    char sql[128];
    ROW rec;
    snprintf(sql, sizeof sql, "select * from %s where id=%u", "bench_stmt",
             static_cast<unsigned>(stmt_id(i)));
    return raw_read(m, sql, rec);
  }
};

struct Update {
  static constexpr const char* kTable = "bench_stmt";
  static bool lib(DB_ROW& row, int i) {
    fill(row, i);
    row.id = stmt_id(i);
    return row.update() == 0;
  }
  static bool raw(MYSQL* m, int i) {
    static DB_ROW row("bench_stmt", conn());  // for db_print only
    static char set[QUERY_TEXT_MAX], sql[QUERY_TEXT_MAX + 64];
    fill(row, i);
    row.id = stmt_id(i);
    row.db_print(set);
    snprintf(sql, sizeof sql, "update %s set %s where id=%u", "bench_stmt", set,
             static_cast<unsigned>(row.id));
    return mysql_query(m, sql) == 0 && mysql_affected_rows(m) == 1;
  }
};

struct Count {
  static constexpr const char* kTable = "bench_stmt";
  static bool lib(DB_ROW& row, int i) {
    char clause[64];
    int n;
    snprintf(clause, sizeof clause, "where state=%d", i % 6);
    return row.count(n, clause) == 0;
  }
  static bool raw(MYSQL* m, int i) {
    char sql[128];
    snprintf(sql, sizeof sql, "select count(*) from %s where state=%d",
             "bench_stmt", i % 6);
    if (mysql_query(m, sql)) return false;
    MYSQL_RES* res = mysql_store_result(m);
    if (!res) return false;
    MYSQL_ROW r = mysql_fetch_row(res);
    int n = r && r[0] ? atoi(r[0]) : -1;
    mysql_free_result(res);
    return n >= 0;
  }
};

// A short selection of 10 rows per statement, as a daemon's pass reads.
struct Enumerate {
  static constexpr const char* kTable = "bench_stmt";
  static bool lib(DB_ROW& row, int i) {
    char clause[64];
    range_clause(clause, sizeof clause, i);
    int rows = 0;
    while (row.enumerate(clause) == 0) rows++;
    return rows == 10;
  }
  static bool raw(MYSQL* m, int i) {
    char clause[64], sql[128];
    ROW rec;
    range_clause(clause, sizeof clause, i);
    snprintf(sql, sizeof sql, "select * from %s %s", "bench_stmt", clause);
    if (mysql_query(m, sql)) return false;
    MYSQL_RES* res = mysql_store_result(m);
    if (!res) return false;
    int rows = 0;
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
      parse_row(r, rec);
      rows++;
    }
    mysql_free_result(res);
    return rows == 10;
  }
};

// Five rows per statement into a table emptied before each repetition.
struct InsertBatch {
  static constexpr const char* kTable = "bench_stmt_insert";
  static bool lib(DB_ROW& row, int i) {
    return row.insert_batch(values(5 * i, 5 * i + 5)) == 0;
  }
  static bool raw(MYSQL* m, int i) {
    std::string sql = "insert into ";
    sql += kTable;
    sql += " values ";
    sql += values(5 * i, 5 * i + 5);
    return mysql_query(m, sql.c_str()) == 0;
  }
};

// The two sides take turns in blocks of 50 statements, in the order
// ABBA..., so that both meet the same server from moment to moment (its
// commits to disk, its buffer pool) and neither always goes first on a row.
// The statement texts of a block are the same on both sides. One
// repetition's figures are the ratios of the two sides' summed wall-clock
// and CPU times; the reported figure is their median over the repetitions.
template <typename Op>
void BM_Pair(benchmark::State& state) {
  if (!need_server(state)) return;
  if (!stmt_table_ready()) {
    state.SkipWithError("could not fill the table");
    return;
  }
  constexpr int kBlock = 50;
  for (auto _ : state) {
    if (Op::kTable != std::string("bench_stmt")) {  // a table written to
      state.PauseTiming();
      conn()->do_query((std::string("truncate table ") + Op::kTable).c_str());
      state.ResumeTiming();
    }
    DB_ROW row(Op::kTable, conn());
    MYSQL* m = conn()->handle;
    PairTimes t;
    for (int block = 0; block * kBlock < kStatements; block++) {
      int begin = block * kBlock, end = std::min(kStatements, begin + kBlock);
      for (int turn = 0; turn < 2; turn++) {
        int side = (block + turn) % 2;  // 0 the library, 1 the raw side
        bool ok = t.run(side, [&] {
          for (int i = begin; i < end; i++) {
            if (!(side ? Op::raw(m, i) : Op::lib(row, i))) return false;
          }
          return true;
        });
        if (!ok) {
          state.SkipWithError("a statement failed");
          return;
        }
      }
    }
    t.report(state, kStatements);
  }
  state.SetItemsProcessed(state.iterations() * kStatements * 2);
}

BENCHMARK(BM_Pair<Lookup>)->Name("BM_PairLookup")->Apply(once);
BENCHMARK(BM_Pair<Update>)->Name("BM_PairUpdate")->Apply(once);
BENCHMARK(BM_Pair<Count>)->Name("BM_PairCount")->Apply(once);
BENCHMARK(BM_Pair<Enumerate>)->Name("BM_PairEnumerate")->Apply(once);
BENCHMARK(BM_Pair<InsertBatch>)->Name("BM_PairInsertBatch")->Apply(once);

}  // namespace
