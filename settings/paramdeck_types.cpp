// The kinds of settings keys, each in one place: how its field is reset,
// how its element is read, how its value is written (text and JSON) and how
// the reference table describes it. Nothing else tells the kinds apart.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/str_util.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck_keys.h"

namespace {

using K = PARAMDECK_KEY;
using P = PARAMDECK;

constexpr int TEXT_LEN = 256;
const char* const BLOCK = "config";  // where the main document's keys stand

// Old clients gave their version as major*100+minor; newer ones as
// major*10000+minor*100+release. A result beyond int saturates rather than
// overflow.
void scale_client_version(const char* name, int& version) {
  if (version == 0 || version > 9999) return;
  log_messages.printf(KIND_CRITICAL, "%s too small; multiplying by 100\n",
                      name);
  long long scaled = 100LL * version;
  version = scaled < INT_MIN ? INT_MIN : static_cast<int>(scaled);
}

// Hours to whole seconds, truncated toward zero; beyond int saturates.
int hours_to_int_seconds(double hours) {
  double seconds = std::trunc(hours * 3600.0);
  if (seconds >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (seconds <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(seconds);
}

// A value read and converted into a local first (decoded, as the keys with
// a rule always were), so that one that does not convert changes nothing.
template <class T>
bool read_decoded(XML_PARSER& xp, const K& k, T& value,
                  bool (*convert)(const char*, T&, const char**),
                  LOAD_ITEM::TYPE type, LOAD_LISTENER* l,
                  LOAD_RULE<T> rule = nullptr) {
  bool converted = false;
  load_value(xp, k.name, value, convert, type, true, l, BLOCK, &converted,
             rule);
  return converted;
}

template <class T>
std::string joined(const std::vector<T>& values, const char* sep,
                   std::string (*text)(const T&)) {
  std::string out;
  for (const T& v : values) out += (out.empty() ? "" : sep) + text(v);
  return out;
}
std::string int_text(const int& v) { return std::to_string(v); }
std::string pattern_text(const std::string& v) { return quoted_text(v); }
std::string pattern_json(const std::string& v) { return json_string(v); }
std::string json_real(double x) {
  return std::isfinite(x) ? real_text(x) : "null";
}
std::string no_default(const K&) { return ""; }
std::string number_default(const K& k) {
  if (k.number_default == 0) return "";
  char buf[64];
  snprintf(buf, sizeof buf, "%g", k.number_default);
  return buf;
}
const char* no_note(const K&) { return ""; }

// --- TEXT: char[256]; parse_str, 255 bytes kept.
constexpr PARAMDECK_TYPE text_type = {
    PARAMDECK_KIND::TEXT,
    PARAMDECK_VALUE::TEXT,
    "text (255 bytes)",
    false,
    [](P& c, const K& k) {
      char(&text)[TEXT_LEN] = c.*k.text;
      memset(text, 0, sizeof text);
      strlcpy(text, k.text_default, sizeof text);
    },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      int line = xp.line();
      size_t length = 0;
      xp.parse_str(k.name, c.*k.text, TEXT_LEN, l ? &length : nullptr);
      if (l) {
        LOAD_ITEM item(LOAD_ITEM::STORED, line, k.name, BLOCK);
        item.value = c.*k.text;
        item.length = length;
        const char* broken = k.text_rule ? k.text_rule(item.value) : nullptr;
        item.reason = broken ? broken : "";
        l->heard(item);
        load_heard_end(xp, l, k.name, line, BLOCK);
      }
      return true;
    },
    [](const P& c, const K& k) { return std::string(c.*k.text); },
    [](const P& c, const K& k) { return json_string(c.*k.text); },
    [](const K& k) {
      return *k.text_default ? std::string("\"") + k.text_default + "\""
                             : std::string();
    },
    no_note,
};

// --- INTEGER: int; parse_int, or decoded and scaled for CLIENT_VERSION.
constexpr PARAMDECK_TYPE integer_type = {
    PARAMDECK_KIND::INTEGER,
    PARAMDECK_VALUE::INTEGER,
    "integer",
    false,
    [](P& c, const K& k) { c.*k.integer = static_cast<int>(k.number_default); },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      if (k.rule != PARAMDECK_RULE::CLIENT_VERSION) {
        return load_value(xp, k.name, c.*k.integer, xml_text_to_int,
                          LOAD_ITEM::INTEGER, false, l, BLOCK, nullptr,
                          k.int_rule);
      }
      int value;
      if (read_decoded(xp, k, value, xml_text_to_int, LOAD_ITEM::INTEGER, l)) {
        c.*k.integer = value;
        scale_client_version(k.name, c.*k.integer);
      }
      return true;
    },
    [](const P& c, const K& k) { return std::to_string(c.*k.integer); },
    [](const P& c, const K& k) { return std::to_string(c.*k.integer); },
    number_default,
    no_note,
};

// --- REAL: double; parse_double.
constexpr PARAMDECK_TYPE real_type = {
    PARAMDECK_KIND::REAL,
    PARAMDECK_VALUE::REAL,
    "real",
    false,
    [](P& c, const K& k) { c.*k.real = k.number_default; },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      return load_value(xp, k.name, c.*k.real, xml_text_to_double,
                        LOAD_ITEM::REAL, false, l, BLOCK);
    },
    [](const P& c, const K& k) { return real_text(c.*k.real); },
    [](const P& c, const K& k) { return json_real(c.*k.real); },
    number_default,
    no_note,
};

// --- FLAG: bool; parse_bool, or decoded for AMD_K6, whose true also bans
// AMD K6 processors.
constexpr PARAMDECK_TYPE flag_type = {
    PARAMDECK_KIND::FLAG,
    PARAMDECK_VALUE::FLAG,
    "flag",
    false,
    [](P& c, const K& k) { c.*k.flag = k.number_default != 0; },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      if (k.rule != PARAMDECK_RULE::AMD_K6) {
        return load_value(xp, k.name, c.*k.flag, xml_text_to_bool,
                          LOAD_ITEM::FLAG, false, l, BLOCK);
      }
      bool value;
      if (read_decoded(xp, k, value, xml_text_to_bool, LOAD_ITEM::FLAG, l)) {
        c.*k.flag = value;
        if (value) c.add_pattern(&PARAMDECK::ban_cpu, PARAMDECK_AMD_K6_PATTERN);
      }
      return true;
    },
    [](const P& c, const K& k) { return std::string(c.*k.flag ? "1" : "0"); },
    [](const P& c, const K& k) {
      return std::string(c.*k.flag ? "true" : "false");
    },
    [](const K& k) { return std::string(k.number_default ? "true" : ""); },
    no_note,
};

// --- PATTERN_LIST: text compiled (REG_EXTENDED | REG_NOSUB), appended; one
// that the guard refuses or regcomp rejects is logged and dropped.
constexpr PARAMDECK_TYPE pattern_list_type = {
    PARAMDECK_KIND::PATTERN_LIST,
    PARAMDECK_VALUE::TEXT,
    "pattern, repeatable",
    true,
    [](P& c, const K& k) { c.*k.patterns = new std::vector<regex_t>; },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      char pattern[TEXT_LEN];
      int line = xp.line();
      size_t length = 0;
      xp.parse_str(k.name, pattern, sizeof pattern, l ? &length : nullptr);
      const char* guard = nullptr;
      int rc = c.add_pattern(k.patterns, pattern, &guard);
      if (rc) log_messages.printf(KIND_CRITICAL, "BAD REGEXP: %s\n", pattern);
      if (!l) return true;
      LOAD_ITEM item(LOAD_ITEM::STORED, line, k.name, BLOCK);
      item.value = pattern;
      item.length = length;
      char why[256];
      if (rc) {
        // The guard's words, else regcomp's.
        bool refused = rc == REG_ESPACE;  // one regcomp itself would take
        regerror(rc, nullptr, why, sizeof why);  // the text needs no pattern
        item.kind =
            refused ? LOAD_ITEM::PATTERN_REFUSED : LOAD_ITEM::PATTERN_INVALID;
        item.reason = refused && guard ? guard : why;
      }
      l->heard(item);
      load_heard_end(xp, l, k.name, line, BLOCK);
      return true;
    },
    [](const P& c, const K& k) {
      return joined(c.pattern_texts(k.patterns), " ", pattern_text);
    },
    [](const P& c, const K& k) {
      return "[" + joined(c.pattern_texts(k.patterns), ", ", pattern_json) +
             "]";
    },
    no_default,
    no_note,
};

// --- INTEGER_LIST: an integer appended to a list.
constexpr PARAMDECK_TYPE integer_list_type = {
    PARAMDECK_KIND::INTEGER_LIST,
    PARAMDECK_VALUE::INTEGER,
    "integer, repeatable",
    true,
    [](P& c, const K& k) { (c.*k.integers).clear(); },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      int value;
      if (read_decoded(xp, k, value, xml_text_to_int, LOAD_ITEM::INTEGER, l)) {
        (c.*k.integers).push_back(value);
      }
      return true;
    },
    [](const P& c, const K& k) { return joined(c.*k.integers, " ", int_text); },
    [](const P& c, const K& k) {
      return "[" + joined(c.*k.integers, ", ", int_text) + "]";
    },
    no_default,
    no_note,
};

// --- HOURS: a real in hours, stored in seconds: into a double field of its
// own, or truncated into an int field that another row owns.
double hours_of(const P& c, const K& k) {
  return (k.integer ? c.*k.integer : c.*k.real) / 3600.0;
}
constexpr PARAMDECK_TYPE hours_type = {
    PARAMDECK_KIND::HOURS,
    PARAMDECK_VALUE::REAL,
    "real, hours",
    false,
    [](P& c, const K& k) { c.*k.real = k.number_default; },
    [](P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
      double hours;
      if (!read_decoded(xp, k, hours, xml_text_to_double, LOAD_ITEM::REAL, l)) {
        return true;
      }
      if (k.integer) {
        c.*k.integer = hours_to_int_seconds(hours);
      } else {
        c.*k.real = hours * 3600.0;
      }
      return true;
    },
    [](const P& c, const K& k) { return real_text(hours_of(c, k)); },
    [](const P& c, const K& k) { return json_real(hours_of(c, k)); },
    no_default,
    [](const K& k) {
      return k.alias ? "sets report_grace_period in seconds"
                     : "sets delete_delay in seconds";
    },
};

// --- PROJECT_CPU_CAP, PROJECT_GPU_CAP: an integer; the project's cap of
// max_jobs_in_progress (cpu_limit, gpu_limit), per processor.
template <RSC_JOB_LIMIT JOB_LIMIT::*Cap>
bool read_cap(P& c, XML_PARSER& xp, const K& k, LOAD_LISTENER* l) {
  int jobs;
  if (read_decoded(xp, k, jobs, xml_text_to_int, LOAD_ITEM::INTEGER, l,
                   k.int_rule)) {
    RSC_JOB_LIMIT& cap = (c.*k.limits).project_limit.*Cap;
    cap.jobs = jobs;
    cap.per_proc = true;
  }
  return true;
}
// The cap a key sets, as the key reads: "J/proc" when it set it, else as
// the auxiliary file left it.
template <RSC_JOB_LIMIT JOB_LIMIT::*Cap>
std::string cap_key_text(const P& c, const K& k) {
  return paramdeck_cap_text((c.*k.limits).project_limit.*Cap);
}
template <RSC_JOB_LIMIT JOB_LIMIT::*Cap>
std::string cap_key_json(const P& c, const K& k) {
  return json_string(cap_key_text<Cap>(c, k));
}
template <RSC_JOB_LIMIT JOB_LIMIT::*Cap>
constexpr PARAMDECK_TYPE cap_type(PARAMDECK_KIND kind,
                                  decltype(PARAMDECK_TYPE::note) note) {
  return {kind,
          PARAMDECK_VALUE::INTEGER,
          "integer",
          false,
          nullptr,
          read_cap<Cap>,
          cap_key_text<Cap>,
          cap_key_json<Cap>,
          no_default,
          note};
}
constexpr PARAMDECK_TYPE cpu_cap_type = cap_type<&JOB_LIMIT::cpu_limit>(
    PARAMDECK_KIND::PROJECT_CPU_CAP,
    [](const K&) { return "sets max_jobs_in_progress (project, cpu)"; });
constexpr PARAMDECK_TYPE gpu_cap_type = cap_type<&JOB_LIMIT::gpu_limit>(
    PARAMDECK_KIND::PROJECT_GPU_CAP,
    [](const K&) { return "sets max_jobs_in_progress (project, gpu)"; });

// --- JOB_LIMITS: the auxiliary document's block (limits/job_limits.h).
std::string cap_text(const RSC_JOB_LIMIT& cap) {
  return std::to_string(cap.jobs) + (cap.per_proc ? "/proc" : "");
}
std::string limit_text(const char* name, const JOB_LIMIT& limit) {
  return std::string(name) + "(total=" + cap_text(limit.total_limit) +
         " cpu=" + cap_text(limit.cpu_limit) +
         " gpu=" + cap_text(limit.gpu_limit) + ")";
}
std::string cap_json(const RSC_JOB_LIMIT& cap) {
  return "{\"jobs\": " + std::to_string(cap.jobs) +
         ", \"per_proc\": " + (cap.per_proc ? "true" : "false") + "}";
}
std::string limit_json(const JOB_LIMIT& limit, bool with_name) {
  const std::string in = "        ";
  std::string out = "{\n";
  if (with_name)
    out += in + "\"app_name\": " + json_string(limit.app_name) + ",\n";
  out += in + "\"total\": " + cap_json(limit.total_limit) + ",\n";
  out += in + "\"cpu\": " + cap_json(limit.cpu_limit) + ",\n";
  out += in + "\"gpu\": " + cap_json(limit.gpu_limit) + "\n";
  return out + "      }";
}
constexpr PARAMDECK_TYPE job_limits_type = {
    PARAMDECK_KIND::JOB_LIMITS,
    PARAMDECK_VALUE::BLOCK,
    "job-limit block",
    true,
    [](P& c, const K& k) { c.*k.limits = JOB_LIMITS(); },
    [](P&, XML_PARSER&, const K&, LOAD_LISTENER*) { return false; },
    [](const P& c, const K& k) {
      const JOB_LIMITS& limits = c.*k.limits;
      std::string out = limit_text("project", limits.project_limit);
      for (const JOB_LIMIT& app : limits.app_limits) {
        out += " " + limit_text(app.app_name, app);
      }
      return out;
    },
    [](const P& c, const K& k) {
      const JOB_LIMITS& limits = c.*k.limits;
      std::string out =
          "{\n      \"project\": " + limit_json(limits.project_limit, false) +
          ",\n      \"apps\": [";
      for (size_t i = 0; i < limits.app_limits.size(); i++) {
        out += (i ? ", " : "") + limit_json(limits.app_limits[i], true);
      }
      return out + "]\n    }";
    },
    no_default,
    [](const K&) { return "in config_aux.xml"; },
};

}  // namespace

std::string paramdeck_cap_text(const RSC_JOB_LIMIT& cap) {
  return cap_text(cap);
}

// In the order of PARAMDECK_KIND.
constexpr const PARAMDECK_TYPE* const PARAMDECK_TYPES[] = {
    &text_type,         &integer_type,      &real_type,  &flag_type,
    &pattern_list_type, &integer_list_type, &hours_type, &cpu_cap_type,
    &gpu_cap_type,      &job_limits_type,
};

namespace {
constexpr bool types_in_kind_order() {
  int i = 0;
  for (const PARAMDECK_TYPE* t : PARAMDECK_TYPES) {
    if (static_cast<int>(t->kind) != i++) return false;
  }
  return i == static_cast<int>(PARAMDECK_KIND::JOB_LIMITS) + 1;
}
static_assert(types_in_kind_order(), "one type per kind, in kind order");
}  // namespace

const char* const PARAMDECK_AMD_K6_PATTERN =
    ".*AMD.*\t.*Family 5 Model 8 Stepping 0.*";
