// orvex-admin: what an operator runs against a project: the effective
// settings and a linter for them, file placement in the hashed trees, a look
// at the database, and the stop triggers of the daemons and the scheduler.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/str_util.h"
#include "orvex/version.h"
#include "settings/paramdeck.h"
#include "tools/admin/admin.h"
#include "tools/admin/settings_report.h"

namespace admin {

void fail(const char* fmt, ...) {
  fputs("orvex-admin: ", stderr);
  va_list args;
  va_start(args, fmt);
  vfprintf(stderr, fmt, args);
  va_end(args);
  fputc('\n', stderr);
}

int usage_error(const CommandLine& cl, const char* fmt, ...) {
  fprintf(stderr, "orvex-admin %s: ", cl.command.c_str());
  va_list args;
  va_start(args, fmt);
  vfprintf(stderr, fmt, args);
  va_end(args);
  fprintf(stderr, " (see 'orvex-admin %s --help')\n", cl.command.c_str());
  return EXIT_USAGE;
}

bool parse_command_line(const std::vector<std::string>& words,
                        const std::set<std::string>& flags,
                        const std::set<std::string>& valued, CommandLine& cl) {
  bool options = true;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string& w = words[i];
    if (options && w == "--") {
      options = false;  // a file name may begin with "-"
      continue;
    }
    if (!options) {
      cl.positional.push_back(w);
      continue;
    }
    if (w == "--help" || w == "-h") {
      cl.help = true;
      continue;
    }
    if (w.size() < 2 || w[0] != '-') {
      cl.positional.push_back(w);
      continue;
    }
    std::string name = w, value;
    size_t eq = w.find('=');
    bool inline_value = eq != std::string::npos;
    if (inline_value) {
      name = w.substr(0, eq);
      value = w.substr(eq + 1);
    }
    if (name == "--project" || valued.count(name)) {
      if (!inline_value) {
        if (i + 1 == words.size()) {
          usage_error(cl, "%s needs a value", name.c_str());
          return false;
        }
        value = words[++i];
      }
      if (name == "--project") {
        cl.project = value;
        cl.project_given = true;
      } else {
        cl.values[name] = value;
      }
    } else if (flags.count(name) && !inline_value) {
      cl.flags.insert(name);
    } else {
      usage_error(cl, "unknown option '%s'", w.c_str());
      return false;
    }
  }
  return true;
}

SettingsFiles find_settings_files(const std::string& project) {
  SettingsFiles files;
  if (!project.empty()) {
    files.dir = project;
    files.from_option = true;
  } else {
    // Ends the process, as every server program would, when there is no
    // project directory.
    config.project_path("%s", CONFIG_FILE);
    files.dir = config.project_dir;
  }
  files.main_path = files.dir + "/" + CONFIG_FILE;
  files.aux_path = files.dir + "/" + CONFIG_FILE_AUX;
  return files;
}

StderrHeld::StderrHeld() {
  fflush(stderr);
  saved_ = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  if (saved_ >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  if (null_fd >= 0) close(null_fd);
}

StderrHeld::~StderrHeld() {
  fflush(stderr);
  if (saved_ < 0) return;
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

int load_settings(const SettingsFiles& files, bool quiet) {
  std::unique_ptr<StderrHeld> held;
  if (quiet) held = std::make_unique<StderrHeld>();
  // The directory is known by now, so parse_file never searches (and never
  // exits) here.
  return config.parse_file(files.dir.c_str());
}

std::string load_failure_reason(const SettingsFiles& files, int retval) {
  SettingsTrace trace;
  trace_settings(files.main_path, files.aux_path, trace);
  for (const Finding& f : trace.findings) {
    if (f.stops_load) return f.text();
  }
  char text[64];
  snprintf(text, sizeof text, "error %d", retval);
  return files.main_path + ": the settings do not load (" + text + ")";
}

bool load_settings_or_fail(const SettingsFiles& files, bool quiet) {
  int retval = load_settings(files, quiet);
  if (!retval) return true;
  fail("cannot load the settings: %s",
       load_failure_reason(files, retval).c_str());
  return false;
}

std::string absolute_dir(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  char resolved[PATH_MAX];
  return realpath(dir.c_str(), resolved) ? resolved : dir;
}

int finish_output(int status) {
  errno = 0;
  bool failed = fflush(stdout) != 0;
  int err = errno;
  failed = ferror(stdout) || failed;
  if (fclose(stdout) != 0 && !failed) {  // a late error of the file system
    failed = true;
    err = errno;
  }
  if (!failed) return status;
  fail("cannot write the output: %s", err ? strerror(err) : "a write failed");
  return status == EXIT_OK ? EXIT_FAIL : status;
}

void settle_project_dir(const SettingsFiles& files) {
  if (!config.project_dir[0]) {
    strlcpy(config.project_dir, files.dir.c_str(), sizeof config.project_dir);
  }
}

}  // namespace admin

namespace {

using admin::CommandLine;

const char* const MAIN_HELP =
    "usage: orvex-admin [--project DIR] COMMAND [ARGS]\n"
    "       orvex-admin --version\n"
    "\n"
    "The operators' tool of an orvex project. The project directory is\n"
    "found as the server programs find it (ORVEX_PROJECT_DIR, \".\" or\n"
    "\"..\") unless --project DIR names it.\n"
    "\n"
    "commands:\n"
    "  config [--json] [--verbose] [--show-secrets] [KEY...]\n"
    "                             print the effective settings, or KEY's\n"
    "  config --describe KEY...   what KEY does\n"
    "  check [--strict] [--json]  lint config.xml and config_aux.xml\n"
    "  path download|upload NAME [--create]\n"
    "                             where NAME lives in the hashed trees\n"
    "  url download|upload NAME   the URL of NAME\n"
    "  db ping [--json] [--max-lag S]|counts [--app ID] [--json]|perf\n"
    "                             look at the project database\n"
    "  db health [--clear]        the servers this host's programs found down\n"
    "  stop daemons|sched         create the stop trigger file\n"
    "  start daemons|sched        remove the stop trigger file\n"
    "  status [--json]            the daemons, triggers and database servers\n"
    "  metrics [--output FILE]    the same and the job counts, for Prometheus\n"
    "\n"
    "Every command takes --help. Exit status: 0 success, 1 failure (or\n"
    "findings of check), 2 a command line that is not understood.\n";

const char* const CONFIG_HELP =
    "usage: orvex-admin config [--json] [--verbose] [--show-secrets]\n"
    "       orvex-admin config [--json] [--show-secrets] KEY [KEY...]\n"
    "       orvex-admin config --describe KEY [KEY...]\n"
    "\n"
    "Loads config.xml and config_aux.xml as the server programs do and\n"
    "prints the effective settings: every key in catalogue order with its\n"
    "value (defaults and the database host rules applied), the pattern\n"
    "lists and the job limits per resource and per application. With KEY,\n"
    "only the value of each KEY, one a line, in the order given. Status 1,\n"
    "with the nearest known names, for a key the catalogue does not know.\n"
    "\n"
    "  --json          print the same as one JSON object\n"
    "  --verbose       tell where each value came from: default, the\n"
    "                  closing rule that set it, or FILE:LINE of the element\n"
    "                  that set it (lists: every line)\n"
    "  --show-secrets  print the database passwords instead of ********\n"
    "  --describe      what each KEY does, its type and default (no\n"
    "                  settings are read)\n";

const char* const CHECK_HELP =
    "usage: orvex-admin check [--strict] [--json]\n"
    "\n"
    "Lints the settings before the daemons are restarted. Reports, as\n"
    "FILE:LINE: message, what stops a load (an element never closed, at\n"
    "the line where it opened) and what a load passes over in silence:\n"
    "unknown keys (in both files), closing tags that match no open element,\n"
    "patterns that do not compile, values that do not convert for their\n"
    "key's type (an integer beyond 32 bits), values that cannot work where\n"
    "they are used (a server list the database connection refuses, a\n"
    "negative count, size, job limit or fan-out), <app> limits without a\n"
    "name. Warnings (stray text, a key given twice, a value cut to 255\n"
    "bytes) do not change the exit status unless --strict is given.\n"
    "\n"
    "  --json    the findings as one JSON object\n"
    "\n"
    "Exit status: 0 when nothing is found, 1 otherwise.\n";

const char* const PATH_HELP =
    "usage: orvex-admin path download|upload NAME [--create]\n"
    "\n"
    "Prints the path of the file NAME in the download or upload tree\n"
    "(download_dir or upload_dir, hashed into uldl_dir_fanout buckets).\n"
    "\n"
    "  --create  make the bucket directory when it is missing\n"
    "\n"
    "Put -- before a NAME that begins with \"-\".\n";

const char* const URL_HELP =
    "usage: orvex-admin url download|upload NAME\n"
    "\n"
    "Prints the URL of the file NAME under download_url or upload_url, in\n"
    "the same bucket as its path.\n";

const char* const DB_HELP =
    "usage: orvex-admin db ping [--json] [--max-lag SECONDS]|counts [--app "
    "ID] [--json]|perf|health [--clear]\n"
    "\n"
    "Opens the database that the settings name (db_name, db_host, db_user,\n"
    "db_passwd) and\n"
    "  ping    tells whether each configured server serves: the main one\n"
    "          and the replica (replica_db_*, when it is another server),\n"
    "          with TLS in use, a cluster node's state and a replica's\n"
    "          progress, and the health record. Status 1 when one is down,\n"
    "          a cluster node does not serve (outside the primary\n"
    "          component, wsrep_on off, rejecting queries, desynced), or a\n"
    "          replica is not applying or more than --max-lag seconds behind\n"
    "  counts  counts workunits, results and unsent results (results\n"
    "          waiting to be sent to a host), of one application with\n"
    "          --app ID; --json prints them as one JSON object\n"
    "  perf    prints the host speed statistics, saying when the defaults\n"
    "          are in use (fewer than 10 hosts)\n"
    "  health  shows the record of servers that this user's programs on\n"
    "          this host found down lately, which open tries last\n"
    "          (ORVEX_DB_HEALTH_FILE, else /dev/shm/orvex-db-health.UID);\n"
    "          --clear removes it. Needs no settings\n";

const char* const STOP_HELP =
    "usage: orvex-admin stop daemons|sched\n"
    "\n"
    "Creates the trigger file \"stop_daemons\" (the daemons end at their\n"
    "next check) or \"stop_sched\" (the scheduler stops) in the project\n"
    "directory, and tells whether it was there before. Anything at that\n"
    "name counts, as it does for the daemons: a symbolic link too, even\n"
    "when its target is missing. A directory without config.xml and\n"
    "cgi-bin is refused: no daemon looks there.\n";

const char* const START_HELP =
    "usage: orvex-admin start daemons|sched\n"
    "\n"
    "Removes the trigger file \"stop_daemons\" or \"stop_sched\" from the\n"
    "project directory (a symbolic link there: the link itself), and\n"
    "tells whether it was there before. A directory without config.xml\n"
    "and cgi-bin is refused.\n";

const char* const STATUS_HELP =
    "usage: orvex-admin status [--json]\n"
    "\n"
    "The project as it runs on this host: each daemon that has a pid file\n"
    "(NAME.pid) in the project directory, running or not (from the lock on\n"
    "that file), its pid, since when, and the time of the last line of its\n"
    "log (log_HOST/NAME.log); the stop trigger files; and the database\n"
    "servers that the settings name, as db ping sees them.\n"
    "\n"
    "  --json    the same as one JSON object\n"
    "\n"
    "Exit status 1 when something that should run does not: a daemon whose\n"
    "pid file is left behind while no stop_daemons trigger is set (a clean\n"
    "exit removes the file), or a database server that db ping fails.\n";

const char* const METRICS_HELP =
    "usage: orvex-admin metrics [--output FILE]\n"
    "\n"
    "What status shows, and the job counts (unsent results, workunits and\n"
    "results by state), the replicas' lag and the clusters' size, in the\n"
    "Prometheus text format, for the node exporter's textfile collector.\n"
    "\n"
    "  --output FILE  write FILE (e.g. DIR/orvex.prom) atomically: a\n"
    "                 temporary file in its directory, renamed over it, so\n"
    "                 the collector never reads half of it\n"
    "\n"
    "Exit status 0 when the metrics were written, whatever they say.\n";

struct Command {
  const char* name;
  std::set<std::string> flags;
  std::set<std::string> valued;
  const char* help;
  int (*run)(const CommandLine&);
};

const Command COMMANDS[] = {
    {"config",
     {"--json", "--verbose", "--show-secrets", "--describe"},
     {},
     CONFIG_HELP,
     admin::cmd_config},
    {"check", {"--strict", "--json"}, {}, CHECK_HELP, admin::cmd_check},
    {"path",
     {"--create"},
     {},
     PATH_HELP,
     [](const CommandLine& cl) { return admin::cmd_path(cl, false); }},
    {"url",
     {},
     {},
     URL_HELP,
     [](const CommandLine& cl) { return admin::cmd_path(cl, true); }},
    {"db",
     {"--json", "--clear"},
     {"--app", "--max-lag"},
     DB_HELP,
     admin::cmd_db},
    {"stop",
     {},
     {},
     STOP_HELP,
     [](const CommandLine& cl) { return admin::cmd_trigger(cl, true); }},
    {"start",
     {},
     {},
     START_HELP,
     [](const CommandLine& cl) { return admin::cmd_trigger(cl, false); }},
    {"status", {"--json"}, {}, STATUS_HELP, admin::cmd_status},
    {"metrics", {}, {"--output"}, METRICS_HELP, admin::cmd_metrics},
};

// The tool without its output check: the exit status of the command line.
int run(const std::vector<std::string>& words) {
  std::string project;
  bool project_given = false;
  size_t i = 0;
  // Options before the command: --project and --help.
  for (; i < words.size() && words[i].size() > 1 && words[i][0] == '-'; i++) {
    const std::string& w = words[i];
    if (w == "--help" || w == "-h") {
      fputs(MAIN_HELP, stdout);
      return admin::EXIT_OK;
    }
    if (w == "--version") {
      printf("orvex-admin %s\n", ORVEX_VERSION_STRING);
      return admin::EXIT_OK;
    }
    if (w == "--project") {
      if (i + 1 == words.size()) {
        fputs(
            "orvex-admin: --project needs a directory (see 'orvex-admin "
            "--help')\n",
            stderr);
        return admin::EXIT_USAGE;
      }
      project = words[++i];
      project_given = true;
    } else if (w.rfind("--project=", 0) == 0) {
      project = w.substr(strlen("--project="));
      project_given = true;
    } else {
      fprintf(stderr,
              "orvex-admin: unknown option '%s' (see 'orvex-admin --help')\n",
              w.c_str());
      return admin::EXIT_USAGE;
    }
  }
  if (i == words.size()) {
    fputs(MAIN_HELP, stderr);
    return admin::EXIT_USAGE;
  }
  const std::string& name = words[i];
  for (const Command& c : COMMANDS) {
    if (name != c.name) continue;
    CommandLine cl;
    cl.command = name;
    cl.project = project;
    cl.project_given = project_given;
    std::vector<std::string> rest(words.begin() + i + 1, words.end());
    if (!admin::parse_command_line(rest, c.flags, c.valued, cl)) {
      return admin::EXIT_USAGE;
    }
    if (cl.help) {
      fputs(c.help, stdout);
      return admin::EXIT_OK;
    }
    if (cl.project_given && cl.project.empty()) {
      return admin::usage_error(cl, "--project needs a directory");
    }
    return c.run(cl);
  }
  fprintf(stderr,
          "orvex-admin: unknown command '%s' (see 'orvex-admin --help')\n",
          name.c_str());
  return admin::EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  return admin::finish_output(
      run(std::vector<std::string>(argv + 1, argv + argc)));
}
