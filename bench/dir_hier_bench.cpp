// dir_hier_url (no file system) against the MD5 hex digest alone, which is
// the floor of any hashed placement.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/str_util.h"
#include "daemon/dir_hier.h"

namespace {

const std::vector<std::string>& names() {
  static const std::vector<std::string> n = [] {
    std::vector<std::string> v;
    for (int i = 0; i < 1024; i++) {
      v.push_back("wu_" + std::to_string(100000 + i) + "_r" +
                  std::to_string(7 * i) + "_0");
    }
    return v;
  }();
  return n;
}

void BM_Md5Hex(benchmark::State& state) {
  char hex[MD5_HEX_LEN + 1];
  size_t i = 0;
  for (auto _ : state) {
    const std::string& name = names()[i++ & 1023];
    md5_string(reinterpret_cast<const unsigned char*>(name.data()),
               static_cast<int>(name.size()), hex);
    benchmark::DoNotOptimize(hex);
  }
}
BENCHMARK(BM_Md5Hex);

void BM_DirHierUrl(benchmark::State& state) {
  char url[DIR_HIER_PATH_LEN];
  size_t i = 0;
  for (auto _ : state) {
    const std::string& name = names()[i++ & 1023];
    dir_hier_url(name.c_str(), "https://orvex.example.org/project/download",
                 1024, url);
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_DirHierUrl);

}  // namespace
