// config: the effective settings; check: the settings linter.
#include <cmath>
#include <cstring>

#include "common/error_numbers.h"
#include "settings/paramdeck_keys.h"
#include "tools/admin/admin.h"
#include "tools/admin/settings_report.h"

namespace admin {

namespace {

constexpr int KEY_COLUMN = 38;  // the longest key's length
const char* const MASK = "********";

bool masked(const PARAMDECK_KEY& k, bool secrets) {
  return k.secret && !secrets &&
         !paramdeck_type(k.kind).text(config, k).empty();
}

// A key's value on one line (PARAMDECK_TYPE::text); a value holding a
// control byte is quoted, to keep one line per key.
std::string value_text(const PARAMDECK_KEY& k, bool secrets) {
  if (masked(k, secrets)) return MASK;
  std::string text = paramdeck_type(k.kind).text(config, k);
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return quoted_text(text);
  }
  return text;
}

std::string value_json(const PARAMDECK_KEY& k, bool secrets) {
  if (masked(k, secrets)) return json_string(MASK);
  return paramdeck_type(k.kind).json(config, k);
}

// Whether an element of key r sets the field that row k owns.
bool sets_field(const PARAMDECK_KEY& r, const PARAMDECK_KEY& k) {
  return &r == &k || (r.alias && r.same_field(k));
}

// The replica settings fall back to these when the documents leave them
// empty.
const char* replica_source(const PARAMDECK_KEY& k) {
  static const char* const pairs[][2] = {{"replica_db_host", "db_host"},
                                         {"replica_db_name", "db_name"},
                                         {"replica_db_user", "db_user"},
                                         {"replica_db_passwd", "db_passwd"}};
  for (const auto& p : pairs) {
    if (!strcmp(k.name, p[0])) return p[1];
  }
  return nullptr;
}

// Where the value of k came from: "default", "closing rule", the FILE:LINE
// of the element that set it last, or of every element of a list.
std::vector<std::string> origins(const PARAMDECK_KEY& k,
                                 const SettingsTrace& trace) {
  std::vector<const Occurrence*> setters;
  for (const Occurrence& o : trace.occurrences) {
    bool sets = o.stored && sets_field(*o.key, k);
    if (o.adds_ban_cpu && k.patterns == &PARAMDECK::ban_cpu) sets = true;
    if (sets) setters.push_back(&o);
  }
  if (k.kind == PARAMDECK_KIND::TEXT) {
    const Occurrence* last = setters.empty() ? nullptr : setters.back();
    bool filled = (config.*k.text)[0] != 0;
    // db_host equal to the local host name becomes "localhost".
    if (!strcmp(k.name, "db_host") && !strcmp(config.db_host, "localhost") &&
        (!last || last->text != "localhost")) {
      return {"closing rule"};
    }
    if (replica_source(k) && filled && (!last || last->text.empty())) {
      return {"closing rule"};
    }
  }
  if (setters.empty()) return {"default"};
  std::vector<std::string> out;
  if (!paramdeck_type(k.kind).repeatable)
    setters.erase(setters.begin(), setters.end() - 1);
  for (const Occurrence* o : setters) {
    out.push_back(o->file + ":" + std::to_string(o->line));
  }
  return out;
}

void print_text(bool secrets, const SettingsTrace* trace) {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.alias) continue;
    std::string line = k.name;
    if (line.size() < KEY_COLUMN) line.resize(KEY_COLUMN, ' ');
    line += " " + value_text(k, secrets);
    // Without origins an empty value leaves just the key.
    while (!trace && line.back() == ' ') line.pop_back();
    if (trace) {
      std::string where;
      for (const std::string& o : origins(k, *trace)) {
        where += (where.empty() ? "" : ", ") + o;
      }
      line += "  [" + where + "]";
    }
    printf("%s\n", line.c_str());
  }
  const JOB_LIMITS& limits = config.max_jobs_in_progress;
  printf("\njob limits (jobs in progress; /proc: per processor)\n");
  printf("  %-24s %-10s %-10s %s\n", "scope", "total", "cpu", "gpu");
  auto row = [](const std::string& scope, const JOB_LIMIT& l) {
    printf("  %-24s %-10s %-10s %s\n", scope.c_str(),
           paramdeck_cap_text(l.total_limit).c_str(),
           paramdeck_cap_text(l.cpu_limit).c_str(),
           paramdeck_cap_text(l.gpu_limit).c_str());
  };
  row("project", limits.project_limit);
  for (const JOB_LIMIT& app : limits.app_limits) {
    row(std::string("app ") + app.app_name, app);
  }
}

void print_json(const SettingsFiles& files, bool aux_read, bool secrets,
                const SettingsTrace* trace) {
  printf("{\n  \"files\": {\"config\": %s, \"config_aux\": %s},\n",
         json_string(files.main_path).c_str(),
         aux_read ? json_string(files.aux_path).c_str() : "null");
  printf("  \"settings\": {\n");
  bool first = true;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.alias) continue;
    printf("%s    %s: %s", first ? "" : ",\n", json_string(k.name).c_str(),
           value_json(k, secrets).c_str());
    first = false;
  }
  printf("\n  }");
  if (trace) {
    printf(",\n  \"origins\": {\n");
    first = true;
    for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
      if (k.alias) continue;
      std::string list;
      for (const std::string& o : origins(k, *trace)) {
        list += (list.empty() ? "" : ", ") + json_string(o);
      }
      printf("%s    %s: [%s]", first ? "" : ",\n", json_string(k.name).c_str(),
             list.c_str());
      first = false;
    }
    printf("\n  }");
  }
  printf("\n}\n");
}

}  // namespace

int cmd_config(const CommandLine& cl) {
  if (!cl.positional.empty()) {
    return usage_error(cl, "unexpected argument '%s'",
                       cl.positional[0].c_str());
  }
  SettingsFiles files = find_settings_files(cl.project);
  // The loader's own messages stay: they are what the daemons would log.
  if (!load_settings_or_fail(files, false)) return EXIT_FAIL;
  SettingsTrace trace;
  bool verbose = cl.has("--verbose");
  if (verbose) trace_settings(files.main_path, files.aux_path, trace);
  bool secrets = cl.has("--show-secrets");
  if (cl.has("--json")) {
    FILE* aux = fopen(files.aux_path.c_str(), "r");
    if (aux) fclose(aux);
    print_json(files, aux != nullptr, secrets, verbose ? &trace : nullptr);
  } else {
    print_text(secrets, verbose ? &trace : nullptr);
  }
  return EXIT_OK;
}

int cmd_check(const CommandLine& cl) {
  if (!cl.positional.empty()) {
    return usage_error(cl, "unexpected argument '%s'",
                       cl.positional[0].c_str());
  }
  SettingsFiles files = find_settings_files(cl.project);
  // Held back: the findings below say the same with file and line.
  int retval = load_settings(files, true);
  SettingsTrace trace;
  trace_settings(files.main_path, files.aux_path, trace);
  bool stops = false;
  for (const Finding& f : trace.findings) {
    printf("%s\n", f.text().c_str());
    stops = stops || f.stops_load;
  }
  int problems = trace.problems();
  if (retval && !stops) {
    printf("%s: the settings do not load (%d: %s)\n", files.main_path.c_str(),
           retval, orvexerror(retval));
    problems++;
  }
  int warnings = trace.warnings();
  std::string dir = absolute_dir(files.dir);  // "." tells an operator little
  if (!problems && !warnings) {
    printf("%s: no problems found\n", dir.c_str());
  } else {
    printf("%s: %d problem%s, %d warning%s\n", dir.c_str(), problems,
           problems == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  }
  bool failed = problems > 0 || (cl.has("--strict") && warnings > 0);
  return failed ? EXIT_FAIL : EXIT_OK;
}

}  // namespace admin
