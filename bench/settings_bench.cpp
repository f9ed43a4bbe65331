// Loading "config.xml" as programs meet it: the first load in a fresh
// process (settings_probe, one process per sample), against libxml2's tree
// and text reader doing the same work; the time from exec to "settings
// loaded" of a minimal program (settings_minimal) against the same program
// that only reads the file; the pattern guard's share of the cold load (the
// guard alone over the document's patterns, in a fresh process); and the
// load against the document's size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "settings/paramdeck.h"
#include "settings/paramdeck_keys.h"

extern char** environ;

namespace {

// A value of the right kind for every key; nothing that makes the loader
// log (client versions above 9999, patterns that compile).
std::string value_for(const PARAMDECK_KEY& k) {
  switch (k.value()) {
    case PARAMDECK_VALUE::TEXT:
      return k.kind == PARAMDECK_KIND::PATTERN_LIST ? ".*Pentium II.*"
                                                    : "/srv/project/value";
    case PARAMDECK_VALUE::INTEGER: return "70100";
    case PARAMDECK_VALUE::REAL: return "1.5";
    case PARAMDECK_VALUE::FLAG: return "1";
    case PARAMDECK_VALUE::BLOCK: return "";
  }
  return "";
}

// Project directories holding generated documents, removed at exit.
struct Projects {
  std::vector<std::string> dirs;
  ~Projects() {
    for (const std::string& d : dirs) {
      remove((d + "/config.xml").c_str());
      rmdir(d.c_str());
    }
  }
} projects;

std::string make_project(const std::string& body) {
  char tmpl[] = "/tmp/orvex_bench_settings_XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    exit(1);
  }
  std::string d = tmpl;
  projects.dirs.push_back(d);
  std::string doc = "<?xml version=\"1.0\"?>\n<orvex>\n<config>\n" + body +
                    "</config>\n</orvex>\n";
  FILE* f = fopen((d + "/config.xml").c_str(), "w");
  fputs(doc.c_str(), f);
  fclose(f);
  return d;
}

std::string element(const std::string& name, const std::string& value) {
  return "  <" + name + ">" + value + "</" + name + ">\n";
}

// Every key of the main document once.
const std::string& full_project() {
  static const std::string dir = [] {
    std::string body;
    for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
      if (!k.auxiliary()) body += element(k.name, value_for(k));
    }
    return make_project(body);
  }();
  return dir;
}

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// The patterns the load of full_project() puts through the guard (the
// no_amd_k6 pattern skips it).
std::vector<std::string> guarded_patterns() {
  std::vector<std::string> out;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind == PARAMDECK_KIND::PATTERN_LIST) out.push_back(value_for(k));
  }
  return out;
}

// Runs PROGRAM MODE DIR [ARGS...] and reads the two numbers it prints;
// false on failure. started: the time just before the spawn.
bool run(const char* program, const char* mode, const std::string& dir,
         long long& load_ns, long long& loaded_at, long long& started,
         std::vector<std::string> args = {}) {
  int out[2];
  if (pipe(out)) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::string prog = program, m = mode, d = dir;
  std::vector<char*> argv = {prog.data(), m.data(), d.data()};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  started = now_ns();
  int err = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char text[128] = "";
  size_t n = 0;
  for (ssize_t got; n < sizeof text - 1 &&
                    (got = read(out[0], text + n, sizeof text - 1 - n)) > 0;) {
    n += static_cast<size_t>(got);
  }
  text[n] = 0;
  close(out[0]);
  int status = 0;
  if (err || waitpid(pid, &status, 0) != pid || status != 0) return false;
  return sscanf(text, "%lld %lld", &load_ns, &loaded_at) == 2;
}

// One sample per iteration: the load's own time (inside the process) or the
// time from the spawn to "loaded".
void cold(benchmark::State& state, const char* program, const char* mode,
          bool from_exec) {
  const std::string& dir = full_project();
  for (auto _ : state) {
    long long load_ns, loaded_at, started;
    if (!run(program, mode, dir, load_ns, loaded_at, started,
             strcmp(mode, "guard") ? std::vector<std::string>()
                                   : guarded_patterns())) {
      state.SkipWithError("the probe failed");
      break;
    }
    state.SetIterationTime((from_exec ? loaded_at - started : load_ns) * 1e-9);
  }
}

#define COLD(name, program, mode, from_exec) \
  void name(benchmark::State& state) {       \
    cold(state, program, mode, from_exec);   \
  }                                          \
  BENCHMARK(name)                            \
      ->Unit(benchmark::kMicrosecond)        \
      ->UseManualTime()                      \
      ->Iterations(15)

COLD(BM_SettingsColdLoad, ORVEX_SETTINGS_PROBE, "orvex", false);
COLD(BM_SettingsColdLibxml2Tree, ORVEX_SETTINGS_PROBE, "tree", false);
COLD(BM_SettingsColdLibxml2TextReader, ORVEX_SETTINGS_PROBE, "reader", false);
COLD(BM_SettingsColdGuard, ORVEX_SETTINGS_PROBE, "guard", false);
COLD(BM_ExecToSettingsLoaded, ORVEX_SETTINGS_MINIMAL, "load", true);
COLD(BM_ExecToFileRead, ORVEX_SETTINGS_MINIMAL, "read", true);

// The load against the number of elements: known keys (every key of the
// main document but the four pattern lists, in turn) or unknown ones, each
// load into a record of its own (no pattern of an earlier load to reuse).
void BM_SettingsLoadSize(benchmark::State& state) {
  const bool known = state.range(0) != 0;
  const long elements = state.range(1);
  std::string body;
  std::vector<const PARAMDECK_KEY*> keys;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (!k.auxiliary() && k.kind != PARAMDECK_KIND::PATTERN_LIST)
      keys.push_back(&k);
  }
  for (long i = 0; i < elements; i++) {
    body +=
        known ? element(keys[i % keys.size()]->name,
                        value_for(*keys[i % keys.size()]))
              : element("unknown_key_" + std::to_string(i % 500), "some value");
  }
  std::string dir = make_project(body);
  for (auto _ : state) {
    state.PauseTiming();
    auto record = std::make_unique<PARAMDECK>();
    state.ResumeTiming();
    if (record->parse_file(dir.c_str())) state.SkipWithError("load failed");
    state.PauseTiming();
    record.reset();
    state.ResumeTiming();
  }
  state.counters["per_item_ns"] =
      benchmark::Counter(static_cast<double>(elements) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_SettingsLoadSize)
    ->ArgsProduct({{1, 0}, {100, 1000, 10000, 100000}})
    ->ArgNames({"known", "elements"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
