// The soak's checker at the end of a run: the final state gathered from the
// cluster, the primary and the replica, the histories judged against it
// (soak_check.h), and the run's figures.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/db_rows.h"
#include "database/db_conn.h"
#include "database/replica.h"
#include "settings/paramdeck.h"
#include "tools/soak/soak_check.h"
#include "tools/soak/soak_tool.h"

namespace {

// Rows of sql, each column as text ("" for NULL).
int rows_of(DB_CONN& db, const char* sql,
            std::vector<std::vector<std::string>>& rows) {
  rows.clear();
  int rc = db.do_query(sql);
  if (rc) return rc;
  MYSQL_RES* res = db.store_result();
  if (!res) return -1;
  unsigned n = mysql_num_fields(res);
  while (MYSQL_ROW row = db.fetch_row(res)) {
    rows.emplace_back();
    for (unsigned i = 0; i < n; ++i)
      rows.back().push_back(row[i] ? row[i] : "");
  }
  mysql_free_result(res);
  return 0;
}

// The final state, as state lines (soak_check.h); false when a question
// failed (why on standard error).
bool gather_state(const Args& a, std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> rows;
  DB_CONN cl;
  if (!load_settings(a) || cl.open(config.db_name, config.db_host,
                                   config.db_user, config.db_passwd)) {
    fprintf(stderr, "soak check: cannot open the cluster: %s\n",
            cl.connect_error());
    return false;
  }
  cl.set_causal_reads(true);
  if (rows_of(cl,
              "select id, server_state, xml_doc_out, stderr_out, name "
              "from result",
              rows))
    return false;
  for (const auto& r : rows) {
    int st = atoi(r[1].c_str());
    if (st >= RESULT_SERVER_STATE_IN_PROGRESS)
      lines.push_back("claim " + r[0] + " " + r[2]);
    if (st == RESULT_SERVER_STATE_OVER)
      lines.push_back("done " + r[0] + " " + r[3]);
    lines.push_back("batch " + r[4]);
  }
  if (rows_of(cl, "select token, counter from soak_mark", rows)) return false;
  for (const auto& r : rows) lines.push_back("mark " + r[0] + " " + r[1]);
  if (rows_of(cl, "select name, n from soak_counter", rows)) return false;
  for (const auto& r : rows) lines.push_back("counter " + r[0] + " " + r[1]);
  cl.close();

  Args ra = a;
  ra["--project"] = arg(a, "--reader-project");
  DB_CONN primary, replica;
  if (!load_settings(ra) ||
      primary.open(config.db_name, config.db_host, config.db_user,
                   config.db_passwd) ||
      replica.open(config.replica_db_name, config.replica_db_host,
                   config.replica_db_user, config.replica_db_passwd)) {
    fprintf(stderr, "soak check: cannot open the primary and the replica\n");
    return false;
  }
  if (rows_of(primary, "select token from soak_note", rows)) return false;
  for (const auto& r : rows) lines.push_back("note " + r[0]);
  if (rows_of(primary, "select @@gtid_binlog_pos", rows) || rows.empty())
    return false;
  int rc = wait_for_gtid(replica, rows[0][0].c_str(), 60);
  if (rc) {
    lines.push_back("replica differ did not reach " + rows[0][0] + ": " +
                    orvexerror(rc));
  } else {
    std::vector<std::vector<std::string>> p, r;
    const char* sum = "checksum table soak_note";
    if (rows_of(primary, sum, p) || rows_of(replica, sum, r) || p.empty() ||
        r.empty())
      return false;
    lines.push_back(p[0][1] == r[0][1] ? "replica equal"
                                       : "replica differ checksum " + p[0][1] +
                                             " against " + r[0][1]);
  }
  primary.close();
  replica.close();
  return true;
}

bool is_write(const SOAK_OP& op) {
  return op.outcome == "ok" &&
         (op.kind == "claim" || op.kind == "done" || op.kind == "batch");
}
bool on(const SOAK_FAULT& f, const std::string& server) {
  for (const auto& s : f.servers)
    if (s == server) return true;
  return false;
}

// Figures of the run: request rates with and without faults, the time from
// each fault to the next write, why requests failed.
void figures(const std::vector<SOAK_OP>& ops,
             const std::vector<SOAK_FAULT>& faults, long long run_start,
             long long faults_start, long long run_end) {
  long long faults_end = faults_start;
  for (const auto& f : faults) faults_end = std::max(faults_end, f.end);
  // Fault-free: before the schedule, and after the last fault ended (the
  // rate drifts with the machine's load and the tables' growth, so both
  // ends count).
  long long before = 0, after = 0, faulty = 0, requests = 0, claimed = 0;
  std::map<std::string, int> why;
  for (const auto& op : ops) {
    if (op.kind != "claim") continue;
    ++requests;
    if (op.outcome != "ok") {
      why[op.outcome + " " + std::to_string(op.code) + " (" +
          orvexerror(op.code) + ")"]++;
      continue;
    }
    claimed += static_cast<long long>(op.items.size());
    if (op.ms >= run_start && op.ms < faults_start) ++before;
    if (op.ms >= faults_start && op.ms <= faults_end) ++faulty;
    if (op.ms > faults_end && op.ms <= run_end) ++after;
  }
  double before_s = (faults_start - run_start) / 1000.0;
  double after_s = (run_end - faults_end) / 1000.0;
  double clean_s = before_s + after_s;
  double faulty_s = (faults_end - faults_start) / 1000.0;
  double r0 = clean_s > 0 ? (before + after) / clean_s : 0;
  double r1 = faulty_s > 0 ? faulty / faulty_s : 0;
  printf(
      "requests: %lld, %lld ok, %lld results claimed\n", requests,
      requests -
          [&] {
            long long n = 0;
            for (const auto& w : why) n += w.second;
            return n;
          }(),
      claimed);
  printf(
      "requests/s fault-free: %.1f over %.0f s (before the faults %.1f, "
      "after %.1f); under faults: %.1f over %.0f s; share %.2f\n",
      r0, clean_s, before_s > 0 ? before / before_s : 0.0,
      after_s > 0 ? after / after_s : 0.0, r1, faulty_s,
      r0 > 0 ? r1 / r0 : 0.0);
  for (const auto& w : why)
    printf("failed requests: %d %s (%.2f%%)\n", w.second, w.first.c_str(),
           requests ? 100.0 * w.second / requests : 0.0);
  double worst = 0;
  for (const auto& f : faults) {
    if (f.servers.empty() || f.kind == "sqlstop") {
      printf("fault %s %s: %.1f s, no cluster node taken\n", f.kind.c_str(),
             f.nodes.c_str(), (f.end - f.start) / 1000.0);
      continue;
    }
    // The cluster writes again: on a node the fault did not take, or on a
    // taken one once the fault was over (a fault over before any program
    // had to move, or whose survivor the restart took too, would otherwise
    // count until some program happened onto another node).
    long long elsewhere = -1;
    for (const auto& op : ops)
      if (is_write(op) && op.ms >= f.start &&
          (!on(f, op.server) || op.ms >= f.end) &&
          (elsewhere < 0 || op.ms < elsewhere))
        elsewhere = op.ms;
    // The programs that were on a taken node: each one's next write, on
    // another node or on that one once the fault was over.
    std::map<std::string, std::string> last;
    for (const auto& op : ops)
      if (op.ms < f.start && op.server != "-") last[op.prog] = op.server;
    double stall = 0;
    std::string who = "none";
    for (const auto& l : last) {
      if (!on(f, l.second)) continue;
      long long next = -1;
      for (const auto& op : ops)
        if (op.prog == l.first && is_write(op) && op.ms >= f.start &&
            (!on(f, op.server) || op.ms >= f.end) && (next < 0 || op.ms < next))
          next = op.ms;
      double s =
          next < 0 ? (run_end - f.start) / 1000.0 : (next - f.start) / 1000.0;
      if (s > stall) {
        stall = s;
        who = l.first;
      }
    }
    worst = std::max(
        worst, std::max(stall, elsewhere < 0 ? (run_end - f.start) / 1000.0
                                             : (elsewhere - f.start) / 1000.0));
    printf(
        "fault %s %s: %.1f s; first write on another node (or on it once "
        "the fault was over) %.2f s after it began; slowest program that was "
        "on it (%s) wrote again after "
        "%.2f s\n",
        f.kind.c_str(), f.nodes.c_str(), (f.end - f.start) / 1000.0,
        elsewhere < 0 ? -1.0 : (elsewhere - f.start) / 1000.0, who.c_str(),
        stall);
  }
  // The later of the two, over every fault that took cluster nodes.
  printf("worst fault-to-next-write: %.2f s\n", worst);
}

}  // namespace

int run_check(const Args& a) {
  std::vector<std::string> bad_lines;
  // Each line of a file parsed into out; what does not parse is kept, named.
  auto read_lines = [&bad_lines](const std::string& path,
                                 const std::string& name, auto parse,
                                 auto& out) {
    std::ifstream in(path);
    std::string line;
    typename std::decay_t<decltype(out)>::value_type item;
    while (std::getline(in, line)) {
      if (parse(line, item)) {
        out.push_back(item);
      } else {
        bad_lines.push_back(name + ": " + line);
      }
    }
  };
  std::vector<SOAK_OP> ops;
  std::string dir = arg(a, "--hist-dir");
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() < 6 || n.substr(n.size() - 5) != ".hist") continue;
      read_lines(dir + "/" + n, n, parse_soak_op, ops);
    }
    closedir(d);
  }
  std::vector<SOAK_FAULT> faults;
  read_lines(arg(a, "--faults"), "faults", parse_soak_fault, faults);
  std::vector<std::string> lines;
  if (!gather_state(a, lines)) {
    printf("soak check: FAILED: the final state could not be read\n");
    return 1;
  }
  SOAK_STATE state;
  for (const auto& l : lines)
    if (!parse_soak_state(l, state)) bad_lines.push_back("state: " + l);
  std::string out = arg(a, "--state-out");
  if (!out.empty()) {
    std::ofstream s(out);
    for (const auto& l : lines) s << l << "\n";
  }
  long long run_end = arg_ll(a, "--run-end", 0);
  SOAK_VERDICT v = judge_soak(ops, state, faults, run_end,
                              arg_ll(a, "--bound-s", 30) * 1000);
  for (const auto& l : bad_lines)
    v.violations.push_back("unreadable line: " + l);
  figures(ops, faults, arg_ll(a, "--run-start", 0),
          arg_ll(a, "--faults-start", 0), run_end);
  printf(
      "operations: %d; faults: %zu; outcome unknown: %d resolved as done, "
      "%d as not done\n",
      v.operations, faults.size(), v.unknown_committed, v.unknown_absent);
  size_t shown = 0;
  for (const auto& m : v.violations)
    if (shown++ < 40) printf("VIOLATION: %s\n", m.c_str());
  printf("soak check: %s (%zu violations)\n",
         v.violations.empty() ? "clean" : "FAILED", v.violations.size());
  return v.violations.empty() ? 0 : 1;
}
