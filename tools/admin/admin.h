// orvex-admin: the operators' tool. Shared pieces of its subcommands.
#ifndef ORVEX_TOOLS_ADMIN_ADMIN_H
#define ORVEX_TOOLS_ADMIN_ADMIN_H

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/str_util.h"  // real_text, quoted_text, json_string

namespace admin {

// Exit statuses: success, a failed operation (or findings of `check`), and
// a command line the tool does not understand.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

// "orvex-admin: <message>\n" on standard error.
void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One subcommand's words after its name, split into positional words,
// flags ("--json") and options with a value ("--app 3" or "--app=3").
struct CommandLine {
  std::string command;  // "config", "db counts", ... for messages
  std::vector<std::string> positional;
  std::set<std::string> flags;
  std::map<std::string, std::string> values;
  std::string project;  // --project DIR
  bool project_given = false;
  bool help = false;  // --help or -h was given

  bool has(const char* flag) const { return flags.count(flag) != 0; }
};

// Splits words for a command that accepts `flags` and `valued` options.
// False after writing a one-line reason to standard error.
bool parse_command_line(const std::vector<std::string>& words,
                        const std::set<std::string>& flags,
                        const std::set<std::string>& valued, CommandLine& cl);

// A usage error: the reason and a pointer to the command's help.
int usage_error(const CommandLine& cl, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// The settings files of the project, named as the server programs name
// them: "DIR/config.xml" for --project DIR, else through config.project_path
// (ORVEX_PROJECT_DIR, "." or ".."), which ends the process with status 1
// and the library's message when there is no project directory.
struct SettingsFiles {
  std::string dir;  // the project directory the paths are built from
  std::string main_path;
  std::string aux_path;
  bool from_option = false;  // dir came from --project
};
SettingsFiles find_settings_files(const std::string& project);

// While one lives, standard error goes nowhere: for the loader's own
// messages (unexpected text, bad patterns, ...) when a command reports in
// its own words.
class StderrHeld {
 public:
  StderrHeld();
  ~StderrHeld();
  StderrHeld(const StderrHeld&) = delete;
  StderrHeld& operator=(const StderrHeld&) = delete;

 private:
  int saved_ = -1;
};

// Loads both files into `config` with config.parse_file. quiet: the
// loader's own messages (unexpected text, bad patterns, ...) are held back,
// for commands that report in their own words. Returns parse_file's result.
int load_settings(const SettingsFiles& files, bool quiet);

// A one-line reason for a failed load, from the first problem of the
// documents that stops a load (or the loader's code when none is found).
std::string load_failure_reason(const SettingsFiles& files, int retval);

// load_settings, and when it fails, "cannot load the settings: <reason>"
// through fail(). False then: the command ends with EXIT_FAIL.
bool load_settings_or_fail(const SettingsFiles& files, bool quiet);

// After a load, the project directory as the daemons see it: the settings'
// project_dir when given, else the one the files were found in.
void settle_project_dir(const SettingsFiles& files);

// dir as an absolute path for messages: as given when it is absolute, else
// resolved against the current directory (as given when that fails).
std::string absolute_dir(const std::string& dir);

// Ends a command: flushes and closes standard output and checks that all of
// it was written. Returns status, or EXIT_FAIL after one line on standard
// error when the output was lost (a full disk, a closed descriptor), since a
// script would otherwise take an empty or cut file for the answer.
int finish_output(int status);

// The subcommands. Each returns the process's exit status.
int cmd_config(const CommandLine& cl);
int cmd_check(const CommandLine& cl);
int cmd_path(const CommandLine& cl, bool url);
int cmd_trigger(const CommandLine& cl, bool stop);
int cmd_db(const CommandLine& cl);
int cmd_status(const CommandLine& cl);
int cmd_metrics(const CommandLine& cl);

// One database server that the settings name, as `db ping` sees it.
struct DbHealth {
  std::string role;  // "primary" or "replica"
  std::string host;  // as the settings write it
  bool up = false;
  int cluster_size = 0;     // of a Galera node, else 0
  int seconds_behind = -2;  // of a replica: -1 not applying; -2: no replica
  std::string problem;      // why db ping fails it, empty when fine
};

// The db ping probe (cmd_db.cpp): every server the loaded settings name,
// connected to and looked at in turn. max_lag < 0: no lag limit.
std::vector<DbHealth> db_health(double max_lag);

}  // namespace admin

#endif
