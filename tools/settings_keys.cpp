// settings-keys: prints the reference table of every settings key, from the
// catalogue itself, as Markdown.
//
//   settings-keys               the table on standard output
//   settings-keys --check FILE  exit 1 unless FILE holds the current table
//                               between its "keys:begin" and "keys:end" marks
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "settings/paramdeck_keys.h"

namespace {

const char* type_of(const PARAMDECK_KEY& k) {
  switch (k.kind) {
    case PARAMDECK_KIND::TEXT: return "text (255 bytes)";
    case PARAMDECK_KIND::INTEGER: return "integer";
    case PARAMDECK_KIND::REAL: return "real";
    case PARAMDECK_KIND::FLAG: return "flag";
    case PARAMDECK_KIND::PATTERN_LIST: return "pattern, repeatable";
    case PARAMDECK_KIND::INTEGER_LIST: return "integer, repeatable";
    case PARAMDECK_KIND::HOURS: return "real, hours";
    case PARAMDECK_KIND::PROJECT_CPU_CAP:
    case PARAMDECK_KIND::PROJECT_GPU_CAP: return "integer";
    case PARAMDECK_KIND::JOB_LIMITS: return "job-limit block";
  }
  return "";
}

std::string default_of(const PARAMDECK_KEY& k) {
  char buf[64];
  switch (k.kind) {
    case PARAMDECK_KIND::TEXT:
      return *k.text_default ? std::string("\"") + k.text_default + "\"" : "";
    case PARAMDECK_KIND::INTEGER:
    case PARAMDECK_KIND::REAL:
      if (k.number_default == 0) return "";
      snprintf(buf, sizeof buf, "%g", k.number_default);
      return buf;
    case PARAMDECK_KIND::FLAG: return k.number_default ? "true" : "";
    default: return "";
  }
}

std::string note_of(const PARAMDECK_KEY& k) {
  if (k.auxiliary()) return "in config_aux.xml";
  switch (k.rule) {
    case PARAMDECK_RULE::CLIENT_VERSION:
      return "nonzero values up to 9999 are multiplied by 100";
    case PARAMDECK_RULE::AMD_K6: return "true also bans AMD K6 processors";
    case PARAMDECK_RULE::NONE: break;
  }
  if (k.kind == PARAMDECK_KIND::HOURS) {
    return k.alias ? "sets report_grace_period in seconds"
                   : "sets delete_delay in seconds";
  }
  if (k.kind == PARAMDECK_KIND::PROJECT_CPU_CAP) {
    return "project-wide CPU job cap, per processor";
  }
  if (k.kind == PARAMDECK_KIND::PROJECT_GPU_CAP) {
    return "project-wide GPU job cap, per processor";
  }
  if (!strcmp(k.name, "db_host")) return "the local host name becomes \"localhost\"";
  if (!strncmp(k.name, "replica_db_", 11)) return "empty: the db_ value";
  return "";
}

std::string table() {
  std::string out = "| key | type | default | note |\n|---|---|---|---|\n";
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    out += std::string("| `") + k.name + "` | " + type_of(k) + " | " +
           default_of(k) + " | " + note_of(k) + " |\n";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    fputs(table().c_str(), stdout);
    return 0;
  }
  if (argc == 3 && !strcmp(argv[1], "--check")) {
    std::ifstream in(argv[2]);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const std::string begin = "<!-- keys:begin -->\n", end = "<!-- keys:end -->";
    size_t b = text.find(begin), e = text.find(end);
    if (b == std::string::npos || e == std::string::npos || e < b) {
      fprintf(stderr, "settings-keys: %s has no keys:begin/keys:end marks\n", argv[2]);
      return 1;
    }
    if (text.substr(b + begin.size(), e - b - begin.size()) != table()) {
      fprintf(stderr,
              "settings-keys: the key table in %s is out of date; run "
              "scripts/update-readme-keys.sh\n",
              argv[2]);
      return 1;
    }
    return 0;
  }
  fprintf(stderr, "usage: settings-keys [--check FILE]\n");
  return 2;
}
