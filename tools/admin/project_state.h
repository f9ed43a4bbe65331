// What orvex-admin status and metrics look at: the project as it runs on
// this host (tools/admin/cmd_status.cpp gathers it).
#ifndef ORVEX_TOOLS_ADMIN_PROJECT_STATE_H
#define ORVEX_TOOLS_ADMIN_PROJECT_STATE_H

#include <ctime>
#include <string>
#include <vector>

#include "daemon/daemon_control.h"
#include "tools/admin/admin.h"

namespace admin {

// A daemon of the project: one with a pid file NAME.pid in the project
// directory.
struct DaemonState {
  std::string name;  // the pid file's name without ".pid"
  std::string pid_path, log_path;
  PID_FILE_STATE pid;
  time_t last_log = 0;  // time of the log's last stamped line; 0: none
  bool down = false;    // should run and does not
};

struct TriggerState {
  const char* name;
  bool set;
};

struct ProjectState {
  std::string dir, host;
  std::vector<DaemonState> daemons;
  std::vector<TriggerState> triggers;
  bool db_named = false;  // db_name is set
  std::vector<DbHealth> servers;
  std::vector<std::string> problems;
};

// Loads the settings (their messages held back) and looks at the project:
// its pid files and their locks, the daemons' logs, the stop triggers and,
// when db_name is set, the database servers (db_health). False after one
// line on standard error when the settings do not load.
bool load_project(const CommandLine& cl, ProjectState& p);

// t as "YYYY-MM-DD HH:MM:SS" in local time, as the logs write it; "" for 0.
std::string local_time(time_t t);

}  // namespace admin

#endif
