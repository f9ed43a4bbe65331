// PARAMDECK::parse and parse_aux over arbitrary bytes. Afterwards every text
// setting must be terminated inside its 256 bytes, every pattern list must
// exist and match its source texts, and every application name must be
// terminated. Loaded again with a listener, the record must print the same
// and every item heard must stand on a line of the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

struct Lines : LOAD_LISTENER {
  int last = 1;  // lines in the input
  void heard(const LOAD_ITEM& item) override {
    if (item.line < 1 || item.line > last || !item.name || !item.value) abort();
  }
};

// Both documents of data into p, with listener or without; what p prints.
std::string load(PARAMDECK& p, const uint8_t* data, size_t size,
                 LOAD_LISTENER* listener) {
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) abort();
  int retval = p.parse(f, listener);
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  check(p);
  rewind(f);
  retval = p.parse_aux(f, listener);
  if (retval != 0 && retval != ERR_XML_INPUT) abort();
  check(p);
  fclose(f);
  char* text = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&text, &len);
  p.print(out);
  fclose(out);
  std::string printed(text, len);
  free(text);
  return printed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_messages.output = fopen("/dev/null", "w");  // BAD REGEXP lines
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  static PARAMDECK p;       // one record, reloaded: reuse across loads too
  static PARAMDECK heard;
  Lines lines;
  lines.last += static_cast<int>(std::count(data, data + size, '\n'));
  if (load(p, data, size, nullptr) != load(heard, data, size, &lines)) abort();
  return 0;
}
