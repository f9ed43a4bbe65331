#include "limits/job_limits.h"

#include "common/error_numbers.h"
#include "log/sched_msg_log.h"

// All three loops pass over text and unknown tags item by item (not whole
// elements), and end at end_tag wherever it stands.

int RSC_JOB_LIMIT::parse(XML_PARSER& xp, const char* end_tag) {
  per_proc = false;
  while (!xp.get_tag()) {
    if (!xp.is_tag) continue;
    if (xp.match_tag(end_tag)) return 0;
    if (xp.parse_int("jobs", jobs)) continue;
    if (xp.parse_bool("per_proc", per_proc)) continue;
  }
  return ERR_XML_INPUT;
}

int JOB_LIMIT::parse(XML_PARSER& xp, const char* end_tag) {
  while (!xp.get_tag()) {
    if (!xp.is_tag) continue;
    if (xp.match_tag(end_tag)) return 0;
    if (xp.parse_str("app_name", app_name, sizeof app_name)) continue;
    // A nested block cut off by the end of input shows up at our next
    // get_tag, so its result need not be looked at.
    if (xp.match_tag("total_limit")) {
      total_limit.parse(xp, "/total_limit");
    } else if (xp.match_tag("cpu_limit")) {
      cpu_limit.parse(xp, "/cpu_limit");
    } else if (xp.match_tag("gpu_limit")) {
      gpu_limit.parse(xp, "/gpu_limit");
    }
  }
  return ERR_XML_INPUT;
}

int JOB_LIMITS::parse(XML_PARSER& xp, const char* end_tag) {
  while (!xp.get_tag()) {
    if (!xp.is_tag) continue;
    if (xp.match_tag(end_tag)) return 0;
    if (xp.match_tag("project")) {
      project_limit.parse(xp, "/project");
    } else if (xp.match_tag("app")) {
      JOB_LIMIT limit;
      limit.parse(xp, "/app");
      if (limit.app_name[0]) {
        app_limits.push_back(limit);
      } else {
        log_messages.printf(KIND_NORMAL, "missing app name\n");
      }
    }
  }
  return ERR_XML_INPUT;
}
