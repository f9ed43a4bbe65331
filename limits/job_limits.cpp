#include "limits/job_limits.h"

#include "common/error_numbers.h"
#include "log/sched_msg_log.h"

// All three loops pass over text and unknown tags item by item (not whole
// elements), and end at end_tag wherever it stands.

namespace {

const char* not_negative_limit(const int& jobs) {
  return jobs < 0 ? "a number of jobs cannot be negative" : nullptr;
}

// The end of input met inside the block opened at `line`.
int ended_in(const XML_PARSER& xp, LOAD_LISTENER* listener, const char* block,
             int line) {
  load_heard_end(xp, listener, block, line, "");
  return ERR_XML_INPUT;
}

}  // namespace

int RSC_JOB_LIMIT::parse(XML_PARSER& xp, const char* end_tag,
                         LOAD_LISTENER* listener) {
  per_proc = false;
  const char* block = end_tag + 1;
  int opened = xp.line();
  LOAD_PASSED_OVER passed(listener, block);
  while (!xp.get_tag()) {
    if (xp.is_tag) {
      if (xp.match_tag(end_tag)) return 0;
      if (load_value(xp, "jobs", jobs, xml_text_to_int, LOAD_ITEM::INTEGER,
                     false, listener, block, nullptr, not_negative_limit)) {
        continue;
      }
      if (load_value(xp, "per_proc", per_proc, xml_text_to_bool,
                     LOAD_ITEM::FLAG, false, listener, block)) {
        continue;
      }
    }
    passed.item(xp);
  }
  return ended_in(xp, listener, block, opened);
}

int JOB_LIMIT::parse(XML_PARSER& xp, const char* end_tag,
                     LOAD_LISTENER* listener) {
  const char* block = end_tag + 1;
  int opened = xp.line();
  LOAD_PASSED_OVER passed(listener, block);
  while (!xp.get_tag()) {
    if (!xp.is_tag) {
      passed.item(xp);
      continue;
    }
    if (xp.match_tag(end_tag)) return 0;
    int line = xp.line();
    size_t length;
    if (xp.parse_str("app_name", app_name, sizeof app_name,
                     listener ? &length : nullptr)) {
      if (listener) {
        LOAD_ITEM item(LOAD_ITEM::STORED, line, "app_name", block);
        item.value = app_name;
        item.length = length;
        listener->heard(item);
        load_heard_end(xp, listener, "app_name", line, block);
      }
      continue;
    }
    // A nested block cut off by the end of input shows up at our next
    // get_tag, so its result need not be looked at.
    if (xp.match_tag("total_limit")) {
      total_limit.parse(xp, "/total_limit", listener);
    } else if (xp.match_tag("cpu_limit")) {
      cpu_limit.parse(xp, "/cpu_limit", listener);
    } else if (xp.match_tag("gpu_limit")) {
      gpu_limit.parse(xp, "/gpu_limit", listener);
    } else {
      passed.item(xp);
    }
  }
  return ended_in(xp, listener, block, opened);
}

int JOB_LIMITS::parse(XML_PARSER& xp, const char* end_tag,
                      LOAD_LISTENER* listener) {
  int opened = xp.line();
  LOAD_PASSED_OVER passed(listener, end_tag + 1);
  while (!xp.get_tag()) {
    if (!xp.is_tag) {
      passed.item(xp);
      continue;
    }
    if (xp.match_tag(end_tag)) return 0;
    if (xp.match_tag("project")) {
      project_limit.parse(xp, "/project", listener);
    } else if (xp.match_tag("app")) {
      int line = xp.line();
      JOB_LIMIT limit;
      limit.parse(xp, "/app", listener);
      if (limit.app_name[0]) {
        app_limits.push_back(limit);
      } else {
        log_messages.printf(KIND_NORMAL, "missing app name\n");
        if (listener) {
          listener->heard(
              LOAD_ITEM(LOAD_ITEM::NO_NAME, line, "app", end_tag + 1));
        }
      }
    } else {
      passed.item(xp);
    }
  }
  return ended_in(xp, listener, end_tag + 1, opened);
}
