// The loaders of the main and auxiliary settings documents.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck_keys.h"

namespace {

constexpr int TEXT_LEN = 256;

// Processors that report themselves like this are banned by no_amd_k6.
const char* const AMD_K6_PATTERN = ".*AMD.*\t.*Family 5 Model 8 Stepping 0.*";

// Readers for the keys with a rule: they tell whether the value converted,
// so that a value that does not convert changes nothing at all (the plain
// typed readers only leave the field unchanged). False: not this key.
bool read_text(XML_PARSER& xp, const char* name, char* text) {
  return xp.parse_str(name, text, TAG_BUF_LEN);
}

bool read_int(XML_PARSER& xp, const char* name, int& value, bool& converted) {
  char text[TAG_BUF_LEN];
  if (!read_text(xp, name, text)) return false;
  converted = xml_text_to_int(text, value);
  return true;
}

bool read_double(XML_PARSER& xp, const char* name, double& value,
                 bool& converted) {
  char text[TAG_BUF_LEN];
  if (!read_text(xp, name, text)) return false;
  converted = xml_text_to_double(text, value);
  return true;
}

bool read_bool(XML_PARSER& xp, const char* name, bool& value, bool& converted) {
  char text[TAG_BUF_LEN];
  if (!read_text(xp, name, text)) return false;
  converted = xml_text_to_bool(text, value);
  return true;
}

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

// The catalogue row of the tag in tag_buf ("name" or "name/"), or null.
const PARAMDECK_KEY* key_of_tag(const char* tag) {
  char name[64];
  size_t n = strnlen(tag, sizeof name);
  if (n == sizeof name) return nullptr;  // longer than any key
  memcpy(name, tag, n + 1);
  if (n > 0 && name[n - 1] == '/') name[n - 1] = 0;
  return paramdeck_find_key(name);
}

}  // namespace

// Reads the value of the main document's key k at the current tag; false
// when the reader does not take the tag.
static bool read_key(PARAMDECK& c, XML_PARSER& xp, const PARAMDECK_KEY& k) {
  switch (k.kind) {
    case PARAMDECK_KIND::TEXT: return xp.parse_str(k.name, c.*k.text, TEXT_LEN);
    case PARAMDECK_KIND::INTEGER: {
      if (k.rule != PARAMDECK_RULE::CLIENT_VERSION) {
        return xp.parse_int(k.name, c.*k.integer);
      }
      int value;
      bool converted;
      if (!read_int(xp, k.name, value, converted)) return false;
      if (converted) {
        c.*k.integer = value;
        scale_client_version(k.name, c.*k.integer);
      }
      return true;
    }
    case PARAMDECK_KIND::REAL: return xp.parse_double(k.name, c.*k.real);
    case PARAMDECK_KIND::FLAG: {
      if (k.rule != PARAMDECK_RULE::AMD_K6) {
        return xp.parse_bool(k.name, c.*k.flag);
      }
      bool value;
      bool converted;
      if (!read_bool(xp, k.name, value, converted)) return false;
      if (converted) {
        c.*k.flag = value;
        if (value) c.add_pattern(&PARAMDECK::ban_cpu, AMD_K6_PATTERN);
      }
      return true;
    }
    case PARAMDECK_KIND::PATTERN_LIST: {
      char pattern[TEXT_LEN];
      if (!xp.parse_str(k.name, pattern, sizeof pattern)) return false;
      if (!c.add_pattern(k.patterns, pattern)) {
        log_messages.printf(KIND_CRITICAL, "BAD REGEXP: %s\n", pattern);
      }
      return true;
    }
    case PARAMDECK_KIND::INTEGER_LIST: {
      int value;
      bool converted;
      if (!read_int(xp, k.name, value, converted)) return false;
      if (converted) (c.*k.integers).push_back(value);
      return true;
    }
    case PARAMDECK_KIND::HOURS: {
      double hours;
      bool converted;
      if (!read_double(xp, k.name, hours, converted)) return false;
      if (!converted) return true;
      if (k.integer) {
        c.*k.integer = hours_to_int_seconds(hours);
      } else {
        c.*k.real = hours * 3600.0;
      }
      return true;
    }
    case PARAMDECK_KIND::PROJECT_CPU_CAP:
    case PARAMDECK_KIND::PROJECT_GPU_CAP: {
      int jobs;
      bool converted;
      if (!read_int(xp, k.name, jobs, converted)) return false;
      if (converted) {
        JOB_LIMIT& project = (c.*k.limits).project_limit;
        RSC_JOB_LIMIT& cap = k.kind == PARAMDECK_KIND::PROJECT_CPU_CAP
                                 ? project.cpu_limit
                                 : project.gpu_limit;
        cap.jobs = jobs;
        cap.per_proc = true;
      }
      return true;
    }
    case PARAMDECK_KIND::JOB_LIMITS: return false;  // auxiliary document only
  }
  return false;
}

void PARAMDECK::apply_closing_rules() {
  char host[TEXT_LEN];
  if (gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = 0;  // a cut name need not be terminated
    if (!strcmp(host, db_host)) strlcpy(db_host, "localhost", sizeof db_host);
  }
  // The replica is the main database unless the settings name another.
  if (!replica_db_host[0]) strlcpy(replica_db_host, db_host, TEXT_LEN);
  if (!replica_db_name[0]) strlcpy(replica_db_name, db_name, TEXT_LEN);
  if (!replica_db_user[0]) strlcpy(replica_db_user, db_user, TEXT_LEN);
  if (!replica_db_passwd[0]) strlcpy(replica_db_passwd, db_passwd, TEXT_LEN);
}

int PARAMDECK::parse(FILE* f) {
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_file(f);
  reset();
  // Patterns of the previous load that this one did not reuse are freed
  // however it ends.
  struct FreeSpares {
    PARAMDECK* record;
    ~FreeSpares() { record->free_spare_patterns(); }
  } free_spares{this};
  if (!xp.parse_start("orvex")) return ERR_XML_INPUT;
  if (!xp.parse_start("config")) return ERR_XML_INPUT;
  while (!xp.get_tag()) {
    if (!xp.is_tag) {
      fprintf(stderr, "PARAMDECK::parse(): unexpected text %s\n", xp.tag_buf);
      continue;
    }
    if (xp.match_tag("/config")) {
      apply_closing_rules();
      return 0;
    }
    const PARAMDECK_KEY* k = key_of_tag(xp.tag_buf);
    if (k && read_key(*this, xp, *k)) continue;
    xp.skip_unexpected(false, "PARAMDECK::parse");
  }
  return ERR_XML_INPUT;
}

int PARAMDECK::parse_aux(FILE* f) {
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_file(f);
  if (!xp.parse_start("config")) return ERR_XML_INPUT;
  while (!xp.get_tag()) {
    if (!xp.is_tag) {
      fprintf(stderr, "PARAMDECK::parse(): unexpected text %s\n", xp.tag_buf);
      continue;
    }
    if (xp.match_tag("/config")) return 0;
    // Other tags are passed by, not skipped: their children are met as if
    // they stood in <config>.
    const PARAMDECK_KEY* k = paramdeck_find_key(xp.tag_buf);
    if (k && k->auxiliary()) {
      char end_tag[64];
      snprintf(end_tag, sizeof end_tag, "/%s", k->name);
      (this->*k->limits).parse(xp, end_tag);
    }
  }
  return ERR_XML_INPUT;
}

int PARAMDECK::parse_file(const char* dir) {
  char path[PROJECT_PATH_LEN], path_aux[PROJECT_PATH_LEN];
  bool aux_fits = true;
  if (dir && *dir) {
    // A cut path would name another file; one that does not fit cannot be
    // opened (the system's own limit on paths is the same size).
    int n = snprintf(path, sizeof path, "%s/%s", dir, CONFIG_FILE);
    if (n < 0 || n >= PROJECT_PATH_LEN) return ERR_FILE_OPEN;
    n = snprintf(path_aux, sizeof path_aux, "%s/%s", dir, CONFIG_FILE_AUX);
    aux_fits = n >= 0 && n < PROJECT_PATH_LEN;
  } else {
    // project_path's buffer is overwritten by its next call.
    strlcpy(path, project_path("%s", CONFIG_FILE), sizeof path);
    strlcpy(path_aux, project_path("%s", CONFIG_FILE_AUX), sizeof path_aux);
  }

  FILE* f = fopen(path, "r");
  if (!f) return ERR_FILE_OPEN;
  int retval = parse(f);
  fclose(f);
  if (retval) return retval;

  f = aux_fits ? fopen(path_aux, "r") : nullptr;
  if (!f) return 0;  // the auxiliary file is optional
  retval = parse_aux(f);
  fclose(f);
  return retval;
}
