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
#include "tools/soak/soak_tool.h"

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool load_settings(const Args& a) {
  auto it = a.find("--project");
  if (it == a.end()) return false;
  int rc = config.parse_file(it->second.c_str());
  if (rc) fprintf(stderr, "soak: settings: %s\n", orvexerror(rc));
  return rc == 0;
}

std::string arg(const Args& a, const char* key, const char* fallback) {
  auto it = a.find(key);
  return it == a.end() ? fallback : it->second;
}
long long arg_ll(const Args& a, const char* key, long long fallback) {
  auto it = a.find(key);
  return it == a.end() ? fallback : atoll(it->second.c_str());
}

namespace {

// A transaction body's "nothing to do here": rolled back, not a failure.
// Outside the library's codes (its own are negative, the client
// library's 1 and the server's and client's error numbers below 10000).
constexpr int kSkip = 100001;
// A body that found the database other than it left it.
constexpr int kBroken = 100002;
// The unsent results the daemons keep (soak.sh starts with as many).
constexpr int kPool = 3000;

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// What a history records of a failure: the server's or client's error
// number where the library's result is its bare 1.
int code_of(int rc, DB_CONN& db) {
  if (rc == 1 && db.handle && mysql_errno(db.handle))
    return mysql_errno(db.handle);
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
           int code, const char* server,
           const std::vector<std::string>& items) {
    std::string line =
        std::to_string(now_ms()) + " " + prog + " " + kind + " " + token + " " +
        outcome + " " + std::to_string(code) + " " +
        (server && *server ? server : "-") + " " + join(items) + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
  }
};

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
  std::string token =
      h.prog + "-" + std::to_string(getpid()) + "-" + std::to_string(now_ms());
  std::mt19937 rng(static_cast<unsigned>(getpid() ^ now_ms()));
  int claims = static_cast<int>(arg_ll(a, "--claims", 2));
  int hosts = static_cast<int>(arg_ll(a, "--hosts", 50));
  std::vector<std::string> taken;
  if (!load_settings(a)) {
    h.log("claim", token, "failed", ERR_FILE_OPEN, "-", taken);
    return 1;
  }
  DB_CONN db;
  int rc =
      db.open(config.db_name, config.db_host, config.db_user, config.db_passwd);
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
                           std::to_string(start) + " order by random limit " +
                           std::to_string(claims),
                       ids);
        if (r) return r;
        for (const auto& id : ids) {
          std::string sql = "update result set server_state=" +
                            std::to_string(RESULT_SERVER_STATE_IN_PROGRESS) +
                            ", hostid=" + std::to_string(hostid) +
                            ", sent_time=unix_timestamp()" + ", xml_doc_out='" +
                            token + "' where id=" + id + " and server_state=" +
                            std::to_string(RESULT_SERVER_STATE_UNSENT);
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
    rc = ids_of(
        db,
        "select id from result where server_state=" +
            std::to_string(RESULT_SERVER_STATE_IN_PROGRESS) +
            " and outcome=0 and random>=" + std::to_string(rng() % 1000000) +
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
            std::to_string(RESULT_SERVER_STATE_OVER) +
            ", outcome=" + std::to_string(RESULT_OUTCOME_SUCCESS) +
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc % 2) != 0) {
    fprintf(stderr,
            "usage: soak scheduler|daemon|reader|check --key value...\n");
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
