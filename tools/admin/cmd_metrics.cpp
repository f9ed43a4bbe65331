// metrics: what status sees and the job counts, in the Prometheus text
// format, for the node exporter's textfile collector.
#include <fcntl.h>
#include <mysql.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/db_rows.h"
#include "daemon/db_helpers.h"
#include "settings/paramdeck.h"
#include "tools/admin/project_state.h"

namespace admin {

namespace {

// The length of the UTF-8 character at s[i], or 0 when the bytes there are
// not one (an overlong form, a surrogate, a stray continuation byte).
size_t utf8_length(const std::string& s, size_t i) {
  auto at = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  if (c < 0x80) return 1;
  size_t n = c >= 0xC2 && c <= 0xDF   ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  if (!n || i + n > s.size()) return 0;
  // The second byte's range depends on the first; the rest are 80..BF.
  unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; k++) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return n;
}

// A label value: backslash, double quote and line feed escaped, and each
// byte that is not UTF-8 (a file name may hold any) as U+FFFD, since one
// such byte makes the collector refuse the whole file.
std::string label(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size();) {
    char c = v[i];
    size_t n = utf8_length(v, i);
    if (!n) {
      out += "\xEF\xBF\xBD";
      i++;
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
      i++;
    } else if (c == '\n') {
      out += "\\n";
      i++;
    } else {
      out.append(v, i, n);
      i += n;
    }
  }
  return out;
}

class Metrics {
 public:
  explicit Metrics(const std::string& project)
      : project_("project=\"" + label(project) + "\"") {}
  // A family: its help and type once, before its samples.
  void family(const char* name, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name +
            " gauge\n";
    name_ = name;
  }
  // One sample of the last family; labels: `k="v"` pairs, escaped.
  void sample(double value, const std::string& labels = "") {
    char number[64];
    snprintf(number, sizeof number, "%.17g", value);
    text += name_ + "{" + project_ + (labels.empty() ? "" : ",") + labels +
            "} " + number + "\n";
  }
  std::string text;

 private:
  std::string project_, name_;
};

std::string pair(const char* key, const std::string& value) {
  return std::string(key) + "=\"" + label(value) + "\"";
}

// "select <column>, count(*) from <table> group by <column>" on orvex_db:
// the counts by value. False when the statement fails.
bool counts_by(const char* table, const char* column,
               std::vector<std::pair<long long, long long>>& out) {
  char sql[256];
  snprintf(sql, sizeof sql, "select %s, count(*) from %s group by %s", column,
           table, column);
  if (orvex_db.do_query(sql)) return false;
  MYSQL_RES* result = mysql_store_result(orvex_db.handle);
  if (!result) return false;
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    if (row[0] && row[1]) out.emplace_back(atoll(row[0]), atoll(row[1]));
  }
  mysql_free_result(result);
  return true;
}

const char* result_state_name(long long state) {
  switch (state) {
    case RESULT_SERVER_STATE_INACTIVE: return "inactive";
    case RESULT_SERVER_STATE_UNSENT: return "unsent";
    case RESULT_SERVER_STATE_IN_PROGRESS: return "in_progress";
    case RESULT_SERVER_STATE_OVER: return "over";
    default: return nullptr;
  }
}

// The job counts from the main database, when it opens; not tried when the
// probe found none of its servers up (each try would wait for them again).
void job_counts(Metrics& m, bool primary_up) {
  int unsent = 0;
  std::vector<std::pair<long long, long long>> results, workunits;
  bool ok = primary_up &&
            !orvex_db.open(config.db_name, config.db_host, config.db_user,
                           config.db_passwd) &&
            count_unsent_results(unsent, 0) == 0 &&
            counts_by("result", "server_state", results) &&
            counts_by("workunit", "assimilate_state", workunits);
  orvex_db.close();
  m.family("orvex_job_counts_read",
           "Whether the job counts below could be read from the database.");
  m.sample(ok);
  if (!ok) return;
  m.family("orvex_unsent_results",
           "Results waiting to be sent to a host (server_state unsent).");
  m.sample(unsent);
  m.family("orvex_results", "Results by server_state.");
  for (const auto& r : results) {
    const char* name = result_state_name(r.first);
    m.sample(static_cast<double>(r.second),
             pair("server_state", name ? name : std::to_string(r.first)));
  }
  m.family("orvex_workunits", "Workunits by assimilate_state.");
  for (const auto& w : workunits) {
    m.sample(static_cast<double>(w.second),
             pair("assimilate_state", std::to_string(w.first)));
  }
}

std::string metrics_text(const ProjectState& p) {
  Metrics m(p.dir);
  m.family("orvex_daemon_running",
           "Whether the daemon holds the lock of its pid file.");
  for (const DaemonState& d : p.daemons)
    m.sample(d.pid.locked, pair("daemon", d.name));
  m.family("orvex_daemon_down",
           "Whether the daemon should run and does not (status fails).");
  for (const DaemonState& d : p.daemons)
    m.sample(d.down, pair("daemon", d.name));
  m.family("orvex_daemon_start_time_seconds",
           "When the daemon wrote its pid file, in seconds since the epoch.");
  for (const DaemonState& d : p.daemons) {
    m.sample(static_cast<double>(d.pid.written), pair("daemon", d.name));
  }
  m.family("orvex_daemon_last_log_time_seconds",
           "Time of the last line of the daemon's log on this host.");
  for (const DaemonState& d : p.daemons) {
    if (d.last_log) {
      m.sample(static_cast<double>(d.last_log), pair("daemon", d.name));
    }
  }
  m.family("orvex_stop_trigger", "Whether the stop trigger file is present.");
  for (const TriggerState& t : p.triggers)
    m.sample(t.set, pair("trigger", t.name));
  m.family("orvex_db_server_up",
           "Whether the database server answers and is ready (db ping).");
  for (const DbHealth& s : p.servers) {
    m.sample(s.up && s.problem.empty(),
             pair("role", s.role) + "," + pair("server", s.host));
  }
  m.family("orvex_db_replica_lag_seconds",
           "How far the replica is behind its primary, while it applies.");
  for (const DbHealth& s : p.servers) {
    if (s.seconds_behind >= 0)
      m.sample(s.seconds_behind, pair("server", s.host));
  }
  m.family("orvex_db_cluster_size", "Nodes in the Galera cluster of the node.");
  for (const DbHealth& s : p.servers) {
    if (s.cluster_size > 0) m.sample(s.cluster_size, pair("server", s.host));
  }
  bool primary_up = false;
  for (const DbHealth& s : p.servers) {
    primary_up = primary_up || (s.role == "primary" && s.up);
  }
  if (p.db_named) job_counts(m, primary_up);
  m.family("orvex_status_problems",
           "What orvex-admin status reports as failing (it exits 1 above 0).");
  m.sample(static_cast<double>(p.problems.size()));
  m.family("orvex_metrics_time_seconds", "When these metrics were written.");
  m.sample(static_cast<double>(time(nullptr)));
  return m.text;
}

// Writes text to path through a temporary file beside it, renamed over it:
// a reader sees the old file or the new one, never a part. The temporary
// name does not end in ".prom", so the collector passes it by.
bool write_atomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    fail("cannot create %s: %s", temp.c_str(), strerror(errno));
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  int err = done == text.size() ? 0 : errno ? errno : EIO;
  if (!err && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    unlink(temp.c_str());
    fail("cannot write %s: %s", path.c_str(), strerror(err));
    return false;
  }
  return true;
}

}  // namespace

int cmd_metrics(const CommandLine& cl) {
  auto output = cl.values.find("--output");
  if (!cl.positional.empty()) {
    return usage_error(cl, "unexpected argument '%s'",
                       cl.positional[0].c_str());
  }
  if (output != cl.values.end() && output->second.empty()) {
    return usage_error(cl, "--output needs a file name");
  }
  ProjectState p;
  if (!load_project(cl, p)) return EXIT_FAIL;
  std::string text = metrics_text(p);
  if (output == cl.values.end()) {
    fputs(text.c_str(), stdout);
    return EXIT_OK;
  }
  return write_atomically(output->second, text) ? EXIT_OK : EXIT_FAIL;
}

}  // namespace admin
