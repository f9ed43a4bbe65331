// The settings pattern guard against the compiler it guards. The input is a
// pattern (up to the first NUL, at most 1 KiB) and the seed of a subject
// (the rest, or the pattern itself when there is none), repeated to 256
// bytes. A pattern the guard accepts must compile, through the loader's
// paramdeck_compile_pattern, in at most 50 ms of CPU time and 64 MiB of heap
// at its peak, and one regexec over the subject on the freshly compiled
// pattern, on pages not touched before (the scheduler's case: a new process
// per request), must take at most 1 ms. A time over its bound is measured
// twice more and counts only when all three are over: the machine is
// shared. ORVEX_FUZZ_TIME_SLACK (at least 1) multiplies the two time bounds:
// the test command sets 2, since a busy machine doubled the CPU time of a
// 0.6 ms match (1.09 ms seen beside another fuzzing run); the long runs
// that judge the guard use the bounds themselves. ORVEX_FUZZ_LOCALE, when
// set, is the locale the program runs in (setlocale(LC_ALL, ...), as a
// scheduler inherits its web server's): the loader compiles in the C locale
// whatever it is, and the bounds must hold all the same. A locale that
// cannot be had ends the run at once.
//
// Built without AddressSanitizer, whose allocator would slow regcomp and
// regexec (libc's, not instrumented) several times over what programs
// meet; the heap is counted by wrapping libc's allocator here instead. The
// guard itself runs under AddressSanitizer in fuzz_paramdeck.
#include <locale.h>
#include <malloc.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/pattern_guard.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

long long heap_now = 0, heap_peak = 0;

void counted(void* p, long long sign) {
  if (!p) return;
  heap_now += sign * static_cast<long long>(malloc_usable_size(p));
  if (heap_now > heap_peak) heap_peak = heap_now;
}

}  // namespace

extern "C" void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  counted(p, 1);
  return p;
}
extern "C" void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  counted(p, 1);
  return p;
}
extern "C" void* realloc(void* old, size_t n) {
  counted(old, -1);
  void* p = __libc_realloc(old, n);
  counted(p ? p : old, 1);
  return p;
}
extern "C" void free(void* p) {
  counted(p, -1);
  __libc_free(p);
}

namespace {

constexpr double MAX_COMPILE_S = 0.050;
constexpr double MAX_MATCH_S = 0.001;
constexpr size_t MAX_HEAP = 64u << 20;

double time_slack() {
  static const double slack = [] {
    const char* text = getenv("ORVEX_FUZZ_TIME_SLACK");
    double value = text ? atof(text) : 1;
    return value >= 1 ? value : 1;
  }();
  return slack;
}

double cpu_now() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

struct Measure {
  double compile = 0, match = 0;
  size_t heap = 0;  // peak heap above the start, compiling and matching
};

Measure measure(const std::string& pattern, const std::string& subject) {
  Measure m;
  // Give the free heap back, so that regexec's states land on fresh pages
  // as in the scheduler, a new process per request: touching them first is
  // most of the cost of a state.
  malloc_trim(0);
  long long before = heap_now;
  heap_peak = before;
  regex_t re;
  double t0 = cpu_now();
  int rc = paramdeck_compile_pattern(&re, pattern.c_str());
  double t1 = cpu_now();
  m.compile = t1 - t0;
  if (rc == 0) {
    double t2 = cpu_now();
    regexec(&re, subject.c_str(), 0, nullptr, 0);
    m.match = cpu_now() - t2;
  }
  m.heap = static_cast<size_t>(heap_peak - before);
  if (rc == 0) regfree(&re);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* name = getenv("ORVEX_FUZZ_LOCALE");
  if (name && !setlocale(LC_ALL, name)) {
    fprintf(stderr, "ORVEX_FUZZ_LOCALE=%s: no such locale\n", name);
    exit(2);
  }
  if (name) fprintf(stderr, "running in the locale %s\n", name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t length = strnlen(text, size);
  std::string pattern(text, length < 1024 ? length : 1024);
  std::string seed;
  for (size_t i = length + 1; i < size; i++) {
    if (data[i]) seed += static_cast<char>(data[i]);
  }
  if (seed.empty()) seed = pattern;
  if (seed.empty()) seed = "x";
  std::string subject;
  while (subject.size() < 256) subject += seed;
  subject.resize(256);

  if (paramdeck_pattern_check(pattern.c_str())) return 0;
  Measure m = measure(pattern, subject);
  for (int again = 0; again < 2 && (m.compile > MAX_COMPILE_S * time_slack() ||
                                    m.match > MAX_MATCH_S * time_slack());
       again++) {
    Measure n = measure(pattern, subject);
    if (n.compile < m.compile) m.compile = n.compile;
    if (n.match < m.match) m.match = n.match;
  }
  bool over = m.compile > MAX_COMPILE_S * time_slack() ||
              m.match > MAX_MATCH_S * time_slack() || m.heap > MAX_HEAP;
  if (over || getenv("PATTERN_GUARD_FIGURES")) {
    PATTERN_COST cost;
    paramdeck_pattern_check(pattern.c_str(), nullptr, &cost);
    fprintf(stderr,
            "%s: compile %.3f ms, heap %zu "
            "bytes, regexec %.3f ms (nodes %d, states %d, work %ld)\n",
            over ? "accepted pattern over the bound" : "figures",
            m.compile * 1e3, m.heap, m.match * 1e3, cost.nodes, cost.states,
            cost.work);
    if (over) abort();
  }
  return 0;
}
