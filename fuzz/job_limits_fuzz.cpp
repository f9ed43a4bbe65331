// The job-limit parser alone, over arbitrary bytes as the content of a
// max_jobs_in_progress block.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_buf_read(text.c_str());
  JOB_LIMITS limits;
  int retval = limits.parse(xp, "/max_jobs_in_progress");
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  if (!memchr(limits.project_limit.app_name, 0, sizeof limits.project_limit.app_name)) {
    abort();
  }
  for (const JOB_LIMIT& app : limits.app_limits) {
    if (!memchr(app.app_name, 0, sizeof app.app_name) || !app.app_name[0]) {
      abort();
    }
  }
  return 0;
}
