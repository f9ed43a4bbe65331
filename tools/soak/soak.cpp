// The programs of a fault soak (scripts/soak.sh), built on the library as
// the project's own programs are, and the checker run at the end.
//
//   soak scheduler --project DIR --prog NAME --hist FILE [--claims N]
//                  [--hosts N]                       one request, then exit
//   soak daemon --project DIR --prog NAME --hist FILE --until MS
//   soak reader --project DIR --prog NAME --hist FILE --until MS
//   soak check --project DIR --reader-project DIR --hist-dir DIR
//              --faults FILE --run-start MS --faults-start MS --run-end MS
//              [--bound-s S] [--state-out FILE]
//
// The programs append one line per operation to their history (the format
// is in soak_check.h); every operation writes its token into the database
// with its work, so that the checker can tell what an unknown outcome did.
// DIR holds the project's config.xml: the scheduler and the daemons use
// db_host (the cluster's list), the reader writes on db_host (the primary
// the replica follows) and reads on replica_db_host.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/db_rows.h"
#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/replica.h"
#include "database/retry.h"
#include "settings/paramdeck.h"
#include "tools/soak/soak_check.h"

namespace {

// A transaction body's "nothing to do here": rolled back, not a failure.
// Outside the library's codes (its own are negative, the client
// library's 1 and the server's and client's error numbers below 10000).
constexpr int kSkip = 100001;
// A body that found the database other than it left it.
constexpr int kBroken = 100002;
// The unsent results the daemons keep (soak.sh starts with as many).
constexpr int kPool = 3000;

using Args = std::map<std::string, std::string>;

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// What a history records of a failure: the server's or client's error
// number where the library's result is its bare 1.
int code_of(int rc, DB_CONN& db) {
  if (rc == 1 && db.handle && mysql_errno(db.handle)) return mysql_errno(db.handle);
  return rc;
}

const char* outcome_of(int rc) {
  switch (rc) {
    case 0: return "ok";
    case kSkip: return "skip";
    case ERR_DB_CONFLICT: return "conflict";
    case ERR_DB_OUTCOME_UNKNOWN: return "unknown";
    default: return "failed";
  }
}

std::string join(const std::vector<std::string>& v) {
  if (v.empty()) return "-";
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ",") + x;
  return s;
}

// One history: each line goes out in one write on an O_APPEND file, so the
// processes of one stream can share it.
struct HISTORY {
  int fd = -1;
  std::string prog;
  bool open(const std::string& path, const std::string& name) {
    prog = name;
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    return fd >= 0;
  }
  void log(const char* kind, const std::string& token, const char* outcome,
           int code, const char* server, const std::vector<std::string>& items) {
    std::string line = std::to_string(now_ms()) + " " + prog + " " + kind +
                       " " + token + " " + outcome + " " +
                       std::to_string(code) + " " +
                       (server && *server ? server : "-") + " " + join(items) +
                       "\n";
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
  }
};

bool load_settings(const Args& a) {
  auto it = a.find("--project");
  if (it == a.end()) return false;
  int rc = config.parse_file(it->second.c_str());
  if (rc) fprintf(stderr, "soak: settings: %s\n", orvexerror(rc));
  return rc == 0;
}

std::string arg(const Args& a, const char* key, const char* fallback = "") {
  auto it = a.find(key);
  return it == a.end() ? fallback : it->second;
}
long long arg_ll(const Args& a, const char* key, long long fallback) {
  auto it = a.find(key);
  return it == a.end() ? fallback : atoll(it->second.c_str());
}

// Each id of "select id ..." (one column), or the failure.
int ids_of(DB_CONN& db, const std::string& sql, std::vector<std::string>& ids) {
  ids.clear();
  int rc = db.do_query(sql.c_str());
  if (rc) return rc;
  MYSQL_RES* res = db.store_result();
  if (!res) return -1;
  while (MYSQL_ROW row = db.fetch_row(res)) ids.push_back(row[0] ? row[0] : "");
  mysql_free_result(res);
  return 0;
}

// One scheduler request: settings, a session on the list, a host looked
// up, N unsent results claimed for it in one transaction.
int run_scheduler(const Args& a) {
  HISTORY h;
  if (!h.open(arg(a, "--hist"), arg(a, "--prog"))) return 2;
  std::string token = h.prog + "-" + std::to_string(getpid()) + "-" +
                      std::to_string(now_ms());
  std::mt19937 rng(static_cast<unsigned>(getpid() ^ now_ms()));
  int claims = static_cast<int>(arg_ll(a, "--claims", 2));
  int hosts = static_cast<int>(arg_ll(a, "--hosts", 50));
  std::vector<std::string> taken;
  if (!load_settings(a)) {
    h.log("claim", token, "failed", ERR_FILE_OPEN, "-", taken);
    return 1;
  }
  DB_CONN db;
  int rc = db.open(config.db_name, config.db_host, config.db_user,
                   config.db_passwd);
  if (rc == 0) {
    DB_HOST host(&db);
    rc = host.lookup_id(1 + static_cast<int>(rng() % hosts));
    int hostid = host.id;
    unsigned start = rng() % 1000000;
    if (rc == 0)
      rc = run_transaction(db, 3, [&](DB_CONN& c) {
        taken.clear();
        std::vector<std::string> ids;
        int r = ids_of(c,
                       "select id from result where server_state=" +
                           std::to_string(RESULT_SERVER_STATE_UNSENT) +
                           " and appid=0 and priority=0 and random>=" +
                           std::to_string(start) +
                           " order by random limit " + std::to_string(claims),
                       ids);
        if (r) return r;
        for (const auto& id : ids) {
          std::string sql =
              "update result set server_state=" +
              std::to_string(RESULT_SERVER_STATE_IN_PROGRESS) +
              ", hostid=" + std::to_string(hostid) + ", sent_time=unix_timestamp()" +
              ", xml_doc_out='" + token + "' where id=" + id +
              " and server_state=" + std::to_string(RESULT_SERVER_STATE_UNSENT);
          r = c.do_query(sql.c_str());
          if (r) return r;
          if (c.affected_rows() == 1) taken.push_back(id);
        }
        return 0;
      });
  }
  h.log("claim", token, outcome_of(rc), code_of(rc, db), db.server(), taken);
  db.close();
  return rc == 0 ? 0 : 1;
}

// The results of one batch: all columns, unsent, named by the token.
std::string batch_values(const std::string& token, int n, std::mt19937& rng,
                         std::vector<std::string>& names) {
  std::string v;
  names.clear();
  for (int i = 0; i < n; ++i) {
    names.push_back(token + "-" + std::to_string(i));
    v += (i ? "," : "") + std::string("(0,unix_timestamp(),0,") +
         std::to_string(RESULT_SERVER_STATE_UNSENT) + ",0,0,0,0,0,0,0,'" +
         names.back() + "',0,'','',0,0,0,0,0," +
         std::to_string(rng() % 1000000) + ",0,0,0,0,0,0,0,0)";
  }
  return v;
}

// Passes until --until: results in progress taken over (each in its own
// transaction, with the counter of this daemon and a mark), then a batch of
// new unsent results.
int run_daemon(const Args& a) {
  HISTORY h;
  if (!h.open(arg(a, "--hist"), arg(a, "--prog")) || !load_settings(a))
    return 2;
  long long until = arg_ll(a, "--until", 0);
  std::mt19937 rng(static_cast<unsigned>(getpid() ^ now_ms()));
  std::string base = h.prog + "-" + std::to_string(getpid()) + "-";
  long long seq = 0;
  DB_CONN db;
  int rc = ERR_DB_CONNECT;
  while (now_ms() < until) {
    if (rc == ERR_DB_CONNECT && db.state() == DB_CONN::CLOSED) {
      rc = db.open(config.db_name, config.db_host, config.db_user,
                   config.db_passwd);
      if (rc) {
        h.log("scan", base + std::to_string(seq++), "failed", code_of(rc, db),
              "-", {});
        sleep_ms(200);
        continue;
      }
    }
    std::vector<std::string> ids;
    rc = ids_of(db,
                "select id from result where server_state=" +
                    std::to_string(RESULT_SERVER_STATE_IN_PROGRESS) +
                    " and outcome=0 and random>=" +
                    std::to_string(rng() % 1000000) +
                    " order by random limit 10",
                ids);
    if (rc) {
      h.log("scan", base + std::to_string(seq++), "failed", code_of(rc, db),
            db.server(), {});
      sleep_ms(200);
      continue;
    }
    for (const auto& id : ids) {
      std::string token = base + std::to_string(seq++);
      rc = run_transaction(db, 3, [&](DB_CONN& c) {
        std::string sql =
            "update result set server_state=" +
            std::to_string(RESULT_SERVER_STATE_OVER) + ", outcome=" +
            std::to_string(RESULT_OUTCOME_SUCCESS) +
            ", received_time=unix_timestamp(), stderr_out='" + token +
            "' where id=" + id + " and server_state=" +
            std::to_string(RESULT_SERVER_STATE_IN_PROGRESS);
        int r = c.do_query(sql.c_str());
        if (r) return r;
        if (c.affected_rows() != 1) return kSkip;
        sql = "insert into soak_mark (token, counter) values ('" + token +
              "', '" + h.prog + "')";
        if ((r = c.do_query(sql.c_str()))) return r;
        sql = "update soak_counter set n=n+1 where name='" + h.prog + "'";
        if ((r = c.do_query(sql.c_str()))) return r;
        return c.affected_rows() == 1 ? 0 : kBroken;
      });
      h.log("done", token, outcome_of(rc), code_of(rc, db), db.server(), {id});
    }
    // New work only while the unsent pool is short, as a feeder would:
    // the table stays the size it started at.
    DB_RESULT batch(&db);
    int unsent = 0;
    rc = batch.count(unsent, ("where server_state=" +
                              std::to_string(RESULT_SERVER_STATE_UNSENT))
                                 .c_str());
    if (rc == 0 && unsent < kPool) {
      std::string token = base + std::to_string(seq++);
      std::vector<std::string> names;
      rc = batch.insert_batch(batch_values(token, 10, rng, names));
      h.log("batch", token, outcome_of(rc), code_of(rc, db), db.server(),
            names);
    }
    // An idle daemon sleeps, as the project's own do.
    sleep_ms(ids.empty() ? 500 : 50);
  }
  db.close();
  return 0;
}

// Until --until: a note written on the primary, then read back on the
// replica once it has applied that write.
int run_reader(const Args& a) {
  HISTORY h;
  if (!h.open(arg(a, "--hist"), arg(a, "--prog")) || !load_settings(a))
    return 2;
  long long until = arg_ll(a, "--until", 0);
  std::string base = h.prog + "-" + std::to_string(getpid()) + "-";
  long long seq = 0;
  DB_CONN primary, replica;
  while (now_ms() < until) {
    std::string token = base + std::to_string(seq++);
    int rc = 0;
    if (primary.state() == DB_CONN::CLOSED)
      rc = primary.open(config.db_name, config.db_host, config.db_user,
                        config.db_passwd);
    if (rc == 0 && replica.state() == DB_CONN::CLOSED)
      rc = replica.open(config.replica_db_name, config.replica_db_host,
                        config.replica_db_user, config.replica_db_passwd);
    if (rc) {
      h.log("note", token, "failed", code_of(rc, primary), "-", {});
      sleep_ms(500);
      continue;
    }
    std::string sql = "insert into soak_note (token, v) values ('" + token +
                      "', " + std::to_string(seq) + ")";
    rc = primary.do_query(sql.c_str());
    if (rc) {
      h.log("note", token, outcome_of(rc), code_of(rc, primary),
            primary.server(), {});
      sleep_ms(200);
      continue;
    }
    rc = wait_for_replica(primary, replica, 3);
    const char* outcome = "lag";
    if (rc == 0) {
      std::vector<std::string> seen;
      rc = ids_of(replica,
                  "select token from soak_note where token='" + token + "'",
                  seen);
      outcome = rc ? "lag" : seen.size() == 1 ? "ok" : "stale";
    }
    h.log("note", token, outcome, code_of(rc, replica), primary.server(), {});
    sleep_ms(50);
  }
  primary.close();
  replica.close();
  return 0;
}

// --- the checker ------------------------------------------------------

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
    for (unsigned i = 0; i < n; ++i) rows.back().push_back(row[i] ? row[i] : "");
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
  if (rows_of(cl, "select id, server_state, xml_doc_out, stderr_out, name "
                  "from result", rows))
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
  printf("requests: %lld, %lld ok, %lld results claimed\n", requests,
         requests - [&] {
           long long n = 0;
           for (const auto& w : why) n += w.second;
           return n;
         }(),
         claimed);
  printf("requests/s fault-free: %.1f over %.0f s (before the faults %.1f, "
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
    long long elsewhere = -1;
    for (const auto& op : ops)
      if (is_write(op) && op.ms >= f.start && !on(f, op.server) &&
          (elsewhere < 0 || op.ms < elsewhere))
        elsewhere = op.ms;
    // The programs that were on a taken node: each one's next write.
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
            !on(f, op.server) && (next < 0 || op.ms < next))
          next = op.ms;
      double s = next < 0 ? (run_end - f.start) / 1000.0
                          : (next - f.start) / 1000.0;
      if (s > stall) {
        stall = s;
        who = l.first;
      }
    }
    worst = std::max(worst, std::max(stall, elsewhere < 0
                                                ? (run_end - f.start) / 1000.0
                                                : (elsewhere - f.start) / 1000.0));
    printf("fault %s %s: %.1f s; first write on another node %.2f s after "
           "it began; slowest program that was on it (%s) wrote on another "
           "after %.2f s\n",
           f.kind.c_str(), f.nodes.c_str(), (f.end - f.start) / 1000.0,
           elsewhere < 0 ? -1.0 : (elsewhere - f.start) / 1000.0, who.c_str(),
           stall);
  }
  // The later of the two, over every fault that took cluster nodes.
  printf("worst fault-to-next-write: %.2f s\n", worst);
}

int run_check(const Args& a) {
  std::vector<SOAK_OP> ops;
  std::vector<std::string> bad_lines;
  std::string dir = arg(a, "--hist-dir");
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() < 6 || n.substr(n.size() - 5) != ".hist") continue;
      std::ifstream in(dir + "/" + n);
      std::string line;
      SOAK_OP op;
      while (std::getline(in, line))
        if (parse_soak_op(line, op)) ops.push_back(op);
        else bad_lines.push_back(n + ": " + line);
    }
    closedir(d);
  }
  std::vector<SOAK_FAULT> faults;
  {
    std::ifstream in(arg(a, "--faults"));
    std::string line;
    SOAK_FAULT f;
    while (std::getline(in, line))
      if (parse_soak_fault(line, f)) faults.push_back(f);
      else bad_lines.push_back("faults: " + line);
  }
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
  printf("operations: %d; faults: %zu; outcome unknown: %d resolved as done, "
         "%d as not done\n",
         v.operations, faults.size(), v.unknown_committed, v.unknown_absent);
  size_t shown = 0;
  for (const auto& m : v.violations)
    if (shown++ < 40) printf("VIOLATION: %s\n", m.c_str());
  printf("soak check: %s (%zu violations)\n",
         v.violations.empty() ? "clean" : "FAILED", v.violations.size());
  return v.violations.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc % 2) != 0) {
    fprintf(stderr, "usage: soak scheduler|daemon|reader|check --key value...\n");
    return 2;
  }
  Args a;
  for (int i = 2; i + 1 < argc; i += 2) a[argv[i]] = argv[i + 1];
  std::string mode = argv[1];
  if (mode == "scheduler") return run_scheduler(a);
  if (mode == "daemon") return run_daemon(a);
  if (mode == "reader") return run_reader(a);
  if (mode == "check") return run_check(a);
  fprintf(stderr, "soak: unknown mode %s\n", argv[1]);
  return 2;
}
