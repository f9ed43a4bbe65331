// One log line through log_messages.printf against a plain fprintf of the
// same text to the same stream.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "log/sched_msg_log.h"

namespace {

FILE* null_stream() {
  static FILE* f = fopen("/dev/null", "w");
  return f;
}

void BM_LogPrintf(benchmark::State& state) {
  SCHED_MSG_LOG log(null_stream());
  int n = 0;
  for (auto _ : state) {
    log.printf(KIND_NORMAL, "[feeder] sent result %d of workunit %s\n", n++,
               "wu_123456_0");
  }
}
BENCHMARK(BM_LogPrintf);

void BM_PlainFprintf(benchmark::State& state) {
  FILE* f = null_stream();
  int n = 0;
  for (auto _ : state) {
    fprintf(f, "[feeder] sent result %d of workunit %s\n", n++, "wu_123456_0");
  }
}
BENCHMARK(BM_PlainFprintf);

}  // namespace
