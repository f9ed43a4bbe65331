// PARAMDECK::parse and parse_aux over arbitrary bytes. Afterwards every text
// setting must be terminated inside its 256 bytes, every pattern list must
// exist and match its source texts, and every application name must be
// terminated.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck.h"
#include "settings/paramdeck_keys.h"

namespace {

void check(const PARAMDECK& p) {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind == PARAMDECK_KIND::TEXT && !memchr(p.*k.text, 0, 256)) abort();
    if (k.kind == PARAMDECK_KIND::PATTERN_LIST) {
      const std::vector<regex_t>* list = p.*k.patterns;
      if (!list || list->size() != p.pattern_texts(k.patterns).size()) abort();
    }
  }
  const JOB_LIMITS& limits = p.max_jobs_in_progress;
  if (!memchr(limits.project_limit.app_name, 0, 256)) abort();
  for (const JOB_LIMIT& app : limits.app_limits) {
    if (!memchr(app.app_name, 0, 256) || !app.app_name[0]) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_messages.output = fopen("/dev/null", "w");  // BAD REGEXP lines
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  static PARAMDECK p;       // one record, reloaded: reuse across loads too
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) return 0;
  int retval = p.parse(f);
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  check(p);
  rewind(f);
  retval = p.parse_aux(f);
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  check(p);
  fclose(f);
  return 0;
}
