// escape_string against the client library's mysql_escape_string, on a
// million short texts (about 22 bytes, some with quotes and backslashes).
#include <benchmark/benchmark.h>
#include <mysql.h>

#include <cstring>
#include <string>
#include <vector>

#include "database/sql_escape.h"

namespace {

const std::vector<std::string>& texts() {
  static const std::vector<std::string> t = [] {
    std::vector<std::string> v;
    for (int i = 0; i < 1000000; i++) {
      std::string s = "host_" + std::to_string(i) + " O'Brien's box";
      if (i % 7 == 0) s += "\\n";
      v.push_back(s.substr(0, 22));
    }
    return v;
  }();
  return t;
}

void BM_EscapeString(benchmark::State& state) {
  char buf[256];
  for (auto _ : state) {
    for (const std::string& s : texts()) {
      memcpy(buf, s.c_str(), s.size() + 1);
      escape_string(buf, sizeof buf);
      benchmark::DoNotOptimize(buf);
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_EscapeString)->Unit(benchmark::kMillisecond);

void BM_MysqlEscapeString(benchmark::State& state) {
  // The client library sets up its default character set when it starts;
  // mysql_escape_string crashes before that.
  static MYSQL* library = mysql_init(nullptr);
  benchmark::DoNotOptimize(library);
  char buf[256];
  for (auto _ : state) {
    for (const std::string& s : texts()) {
      mysql_escape_string(buf, s.c_str(), static_cast<unsigned long>(s.size()));
      benchmark::DoNotOptimize(buf);
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_MysqlEscapeString)->Unit(benchmark::kMillisecond);

}  // namespace
