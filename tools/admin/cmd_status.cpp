// status: the project as it runs on this host, gathered from its pid files
// and their locks, its logs, the stop triggers and the database servers.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "settings/paramdeck.h"
#include "tools/admin/project_state.h"

namespace admin {

namespace {

// "YYYY-MM-DD HH:MM:SS" at the start of line, as the log writes it (local
// time); 0 when the line does not start so.
time_t stamp_of(const std::string& line) {
  struct tm tm = {};
  const char* end = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  if (!end || end != line.c_str() + 19) return 0;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// The time of the last stamped line of the log at path (its last 64 KiB
// are looked at); 0 when there is none.
time_t last_log_time(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat sb;
  std::string tail;
  if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode)) {
    off_t size = sb.st_size, from = size > 65536 ? size - 65536 : 0;
    tail.resize(static_cast<size_t>(size - from));
    ssize_t n = pread(fd, &tail[0], tail.size(), from);
    tail.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(fd);
  size_t end = tail.size();
  while (end > 0) {
    size_t start = tail.rfind('\n', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    time_t t = stamp_of(tail.substr(start, end - start));
    if (t) return t;
    end = start ? start - 1 : 0;
  }
  return 0;
}

// The pid files in the project directory, by name.
std::vector<std::string> pid_file_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 4 && !name.compare(name.size() - 4, 4, ".pid")) {
      names.push_back(name.substr(0, name.size() - 4));
    }
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

ProjectState look_at_project(const SettingsFiles& files) {
  ProjectState p;
  settle_project_dir(files);
  p.dir = absolute_dir(config.project_dir);
  char host[256];
  short_host_name(host, sizeof host);
  p.host = host;
  for (const char* name : {STOP_DAEMONS_FILENAME, STOP_SCHED_FILENAME}) {
    p.triggers.push_back(
        {name, trigger_file_present(config.project_path("%s", name))});
  }
  bool stopping = p.triggers[0].set;
  for (const std::string& name : pid_file_names(config.project_dir)) {
    DaemonState d;
    d.name = name;
    // As the daemons name them, from the directory as an operator names it.
    d.pid_path = p.dir + "/" + name + ".pid";
    char log_dir[300];
    snprintf(log_dir, sizeof log_dir, LOG_DIR_FORMAT, host);
    d.log_path = p.dir + "/" + log_dir + "/" + name + ".log";
    if (read_pid_file(d.pid_path.c_str(), d.pid) != 0) continue;
    d.last_log = last_log_time(d.log_path);
    // A clean exit removes the pid file: one left behind without its lock
    // is a daemon that died, unless the operator asked them all to stop.
    d.down = !d.pid.locked && !stopping;
    if (d.down) {
      p.problems.push_back(d.name + " is not running: its pid file " +
                           d.pid_path + " is left behind (pid " +
                           std::to_string(d.pid.pid) + ") and " +
                           STOP_DAEMONS_FILENAME + " is not set");
    }
    p.daemons.push_back(d);
  }
  p.db_named = config.db_name[0] != 0;
  if (p.db_named) p.servers = db_health(-1);
  for (const DbHealth& s : p.servers) {
    if (!s.problem.empty()) p.problems.push_back(s.problem);
  }
  return p;
}

}  // namespace

std::string local_time(time_t t) {
  char text[32] = "";
  struct tm tm;
  if (t && localtime_r(&t, &tm)) {
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  }
  return text;
}

// What status and metrics start with: the settings, then the project.
bool load_project(const CommandLine& cl, ProjectState& p) {
  SettingsFiles files = find_settings_files(cl.project);
  if (!load_settings_or_fail(files, true)) return false;
  p = look_at_project(files);
  return true;
}

namespace {

void print_status_text(const ProjectState& p) {
  printf("project %s on %s\n", p.dir.c_str(), p.host.c_str());
  printf("daemons%s\n", p.daemons.empty() ? ": none has a pid file here" : "");
  for (const DaemonState& d : p.daemons) {
    std::string state = d.pid.locked
                            ? "running, pid " + std::to_string(d.pid.pid) +
                                  " since " + local_time(d.pid.written)
                            : std::string(d.down ? "NOT RUNNING" : "stopped") +
                                  " (pid file of " + std::to_string(d.pid.pid) +
                                  " from " + local_time(d.pid.written) + ")";
    printf("  %-20s %s; last log line %s\n", d.name.c_str(), state.c_str(),
           d.last_log ? local_time(d.last_log).c_str() : "none");
  }
  printf("triggers\n");
  for (const TriggerState& t : p.triggers) {
    printf("  %-20s %s\n", t.name, t.set ? "SET" : "not set");
  }
  printf("database%s\n", p.db_named ? "" : ": db_name is not set");
  for (const DbHealth& s : p.servers) {
    std::string extra;
    if (s.cluster_size > 0) {
      extra += ", cluster of " + std::to_string(s.cluster_size);
    }
    if (s.seconds_behind >= 0) {
      extra += ", " + std::to_string(s.seconds_behind) + " s behind";
    } else if (s.seconds_behind == -1) {
      extra += ", not applying";
    }
    printf("  %-8s %-20s %s%s\n", s.role.c_str(), s.host.c_str(),
           s.up ? "up" : "DOWN", extra.c_str());
  }
}

void print_status_json(const ProjectState& p) {
  printf("{\n  \"project\": %s,\n  \"host\": %s,\n  \"ok\": %s,\n",
         json_string(p.dir).c_str(), json_string(p.host).c_str(),
         p.problems.empty() ? "true" : "false");
  printf("  \"daemons\": [");
  for (size_t i = 0; i < p.daemons.size(); i++) {
    const DaemonState& d = p.daemons[i];
    printf(
        "%s\n    {\"name\": %s, \"running\": %s, \"pid\": %d, \"since\": %s, "
        "\"last_log\": %s, \"down\": %s, \"pid_file\": %s, \"log\": %s}",
        i ? "," : "", json_string(d.name).c_str(),
        d.pid.locked ? "true" : "false", d.pid.pid,
        json_string(local_time(d.pid.written)).c_str(),
        d.last_log ? json_string(local_time(d.last_log)).c_str() : "null",
        d.down ? "true" : "false", json_string(d.pid_path).c_str(),
        json_string(d.log_path).c_str());
  }
  printf("%s],\n  \"triggers\": {", p.daemons.empty() ? "" : "\n  ");
  for (size_t i = 0; i < p.triggers.size(); i++) {
    printf("%s\"%s\": %s", i ? ", " : "", p.triggers[i].name,
           p.triggers[i].set ? "true" : "false");
  }
  printf("},\n  \"database\": %s,\n  \"servers\": [",
         p.db_named ? "true" : "false");
  for (size_t i = 0; i < p.servers.size(); i++) {
    const DbHealth& s = p.servers[i];
    printf(
        "%s\n    {\"role\": %s, \"host\": %s, \"up\": %s, \"cluster_size\": "
        "%d, \"seconds_behind\": %s, \"problem\": %s}",
        i ? "," : "", json_string(s.role).c_str(), json_string(s.host).c_str(),
        s.up ? "true" : "false", s.cluster_size,
        s.seconds_behind >= 0 ? std::to_string(s.seconds_behind).c_str()
                              : "null",
        s.problem.empty() ? "null" : json_string(s.problem).c_str());
  }
  printf("%s],\n  \"problems\": [", p.servers.empty() ? "" : "\n  ");
  for (size_t i = 0; i < p.problems.size(); i++) {
    printf("%s%s", i ? ", " : "", json_string(p.problems[i]).c_str());
  }
  printf("]\n}\n");
}

}  // namespace

int cmd_status(const CommandLine& cl) {
  if (!cl.positional.empty()) {
    return usage_error(cl, "unexpected argument '%s'",
                       cl.positional[0].c_str());
  }
  ProjectState p;
  if (!load_project(cl, p)) return EXIT_FAIL;
  if (cl.has("--json")) {
    print_status_json(p);
  } else {
    print_status_text(p);
  }
  for (const std::string& problem : p.problems) fail("%s", problem.c_str());
  return p.problems.empty() ? EXIT_OK : EXIT_FAIL;
}

}  // namespace admin
