// The job-limit parser alone, over arbitrary bytes as the content of a
// max_jobs_in_progress block; again with a listener and the reader counting
// lines, which must change nothing and place every item on a line.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/error_numbers.h"
#include "limits/job_limits.h"
#include "log/sched_msg_log.h"
#include "xml/xml_parser.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_messages.output = fopen("/dev/null", "w");  // "missing app name"
  return 0;
}

namespace {

struct Lines : LOAD_LISTENER {
  int last = 1;  // lines in the input
  void heard(const LOAD_ITEM& item) override {
    if (item.line < 1 || item.line > last) abort();
  }
};

JOB_LIMITS parsed(const std::string& text, LOAD_LISTENER* listener) {
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_buf_read(text.c_str());
  if (listener) xp.count_lines();
  JOB_LIMITS limits;
  int retval = limits.parse(xp, "/max_jobs_in_progress", listener);
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  return limits;
}

bool same(const RSC_JOB_LIMIT& a, const RSC_JOB_LIMIT& b) {
  return a.jobs == b.jobs && a.per_proc == b.per_proc;
}
bool same(const JOB_LIMIT& a, const JOB_LIMIT& b) {
  return !strcmp(a.app_name, b.app_name) &&
         same(a.total_limit, b.total_limit) && same(a.cpu_limit, b.cpu_limit) &&
         same(a.gpu_limit, b.gpu_limit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  JOB_LIMITS limits = parsed(text, nullptr);
  if (!memchr(limits.project_limit.app_name, 0,
              sizeof limits.project_limit.app_name)) {
    abort();
  }
  for (const JOB_LIMIT& app : limits.app_limits) {
    if (!memchr(app.app_name, 0, sizeof app.app_name) || !app.app_name[0]) {
      abort();
    }
  }
  Lines lines;
  const char* s = text.c_str();  // the reader stops at a NUL
  lines.last += static_cast<int>(std::count(s, s + strlen(s), '\n'));
  JOB_LIMITS heard = parsed(text, &lines);
  if (!same(heard.project_limit, limits.project_limit) ||
      heard.app_limits.size() != limits.app_limits.size()) {
    abort();
  }
  for (size_t i = 0; i < limits.app_limits.size(); i++) {
    if (!same(heard.app_limits[i], limits.app_limits[i])) abort();
  }
  return 0;
}
