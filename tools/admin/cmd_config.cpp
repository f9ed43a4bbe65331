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

// Where the value of k came from: "default", "closing rule: <the rule>",
// the FILE:LINE of the element that set it last, or of every element of a
// list.
std::vector<std::string> origins(const PARAMDECK_KEY& k,
                                 const SettingsTrace& trace) {
  std::vector<const Occurrence*> setters;
  for (const Occurrence& o : trace.occurrences) {
    bool sets = o.stored && sets_field(*o.key, k);
    if (o.adds_ban_cpu && k.patterns == &PARAMDECK::ban_cpu) sets = true;
    if (sets) setters.push_back(&o);
  }
  if (setters.empty()) return {"default"};
  std::vector<std::string> out;
  if (!paramdeck_type(k.kind).repeatable)
    setters.erase(setters.begin(), setters.end() - 1);
  for (const Occurrence* o : setters) {
    out.push_back(o->rule.empty() ? o->file + ":" + std::to_string(o->line)
                                  : "closing rule: " + o->rule);
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

namespace {

// text folded into lines of at most width bytes after indent.
std::string folded(const std::string& text, const char* indent, size_t width) {
  std::string out, line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += indent + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  if (!line.empty()) out += indent + line + "\n";
  return out;
}

// The rows of `names`, in their order; null after a one-line reason on
// standard error for each name the catalogue does not know.
std::vector<const PARAMDECK_KEY*> rows_of(const CommandLine& cl) {
  std::vector<const PARAMDECK_KEY*> rows;
  bool unknown = false;
  for (const std::string& name : cl.positional) {
    const PARAMDECK_KEY* k = paramdeck_find_key(name.c_str());
    rows.push_back(k);
    if (k) continue;
    unknown = true;
    std::string near;
    for (const std::string& n : nearest_keys(name)) {
      near += (near.empty() ? " (nearest: " : ", ") + n;
    }
    fail("unknown key '%s'%s%s", name.c_str(), near.c_str(),
         near.empty() ? "" : ")");
  }
  if (unknown) rows.clear();
  return rows;
}

void describe(const PARAMDECK_KEY& k) {
  const PARAMDECK_TYPE& type = paramdeck_type(k.kind);
  std::string def = type.default_text(k);
  printf("%s (%s%s%s%s)\n", k.name, type.description,
         def.empty() ? "" : ", default ", def.c_str(),
         k.auxiliary() ? ", in config_aux.xml" : "");
  std::string notes = paramdeck_key_notes(k);
  fputs(folded(std::string(k.description) + (notes.empty() ? "" : " ") + notes,
               "  ", 74)
            .c_str(),
        stdout);
}

}  // namespace

int cmd_config(const CommandLine& cl) {
  bool verbose = cl.has("--verbose"), secrets = cl.has("--show-secrets");
  if (cl.has("--describe")) {
    if (cl.positional.empty()) {
      return usage_error(cl, "--describe needs one key or more");
    }
    std::vector<const PARAMDECK_KEY*> rows = rows_of(cl);
    for (const PARAMDECK_KEY* k : rows) describe(*k);
    return rows.empty() ? EXIT_FAIL : EXIT_OK;
  }
  if (verbose && !cl.positional.empty()) {
    return usage_error(cl, "--verbose goes with the whole listing, not KEY");
  }
  std::vector<const PARAMDECK_KEY*> rows;
  if (!cl.positional.empty()) {
    rows = rows_of(cl);
    if (rows.empty()) return EXIT_FAIL;
  }
  SettingsFiles files = find_settings_files(cl.project);
  // The loader's own messages stay: they are what the daemons would log.
  if (!load_settings_or_fail(files, false)) return EXIT_FAIL;
  if (!rows.empty()) {
    // Each value alone on its line (an alias: the value its field holds,
    // in the key's units), or one JSON object of them.
    bool json = cl.has("--json");
    if (json) printf("{");
    for (size_t i = 0; i < rows.size(); i++) {
      const PARAMDECK_KEY& k = *rows[i];
      if (json) {
        printf("%s\n  %s: %s", i ? "," : "", json_string(k.name).c_str(),
               value_json(k, secrets).c_str());
      } else {
        printf("%s\n", value_text(k, secrets).c_str());
      }
    }
    if (json) printf("\n}\n");
    return EXIT_OK;
  }
  SettingsTrace trace;
  if (verbose) trace_settings(files.main_path, files.aux_path, trace);
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
  for (const Finding& f : trace.findings) stops = stops || f.stops_load;
  if (retval && !stops) {
    Finding f;
    f.file = files.main_path;
    f.stops_load = true;
    f.message = "the settings do not load (" + std::to_string(retval) + ": " +
                orvexerror(retval) + ")";
    trace.findings.push_back(f);
  }
  int problems = trace.problems(), warnings = trace.warnings();
  std::string dir = absolute_dir(files.dir);  // "." tells an operator little
  bool failed = problems > 0 || (cl.has("--strict") && warnings > 0);
  if (cl.has("--json")) {
    printf(
        "{\n  \"project\": %s,\n  \"ok\": %s,\n  \"problems\": %d,\n"
        "  \"warnings\": %d,\n  \"findings\": [",
        json_string(dir).c_str(), failed ? "false" : "true", problems,
        warnings);
    for (size_t i = 0; i < trace.findings.size(); i++) {
      const Finding& f = trace.findings[i];
      printf(
          "%s\n    {\"file\": %s, \"line\": %s, \"severity\": \"%s\", "
          "\"stops_load\": %s, \"message\": %s}",
          i ? "," : "", json_string(f.file).c_str(),
          f.line > 0 ? std::to_string(f.line).c_str() : "null",
          f.warning ? "warning" : "problem", f.stops_load ? "true" : "false",
          json_string(f.message).c_str());
    }
    printf("%s]\n}\n", trace.findings.empty() ? "" : "\n  ");
    return failed ? EXIT_FAIL : EXIT_OK;
  }
  for (const Finding& f : trace.findings) printf("%s\n", f.text().c_str());
  if (!problems && !warnings) {
    printf("%s: no problems found\n", dir.c_str());
  } else {
    printf("%s: %d problem%s, %d warning%s\n", dir.c_str(), problems,
           problems == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  }
  return failed ? EXIT_FAIL : EXIT_OK;
}

}  // namespace admin
