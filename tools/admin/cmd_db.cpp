// db: a look at the project database over the connection the settings
// describe.
#include <mysql.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "daemon/db_helpers.h"
#include "database/replica.h"
#include "settings/paramdeck.h"
#include "tools/admin/admin.h"

namespace admin {

namespace {

// How an empty host, the client library's default, is shown.
const char* const kDefaultHost = "the default host";

const char* host_name() {
  return config.db_host[0] ? config.db_host : kDefaultHost;
}

// One configured server as ping saw it.
struct Server {
  Server(const char* r, const char* n, const char* h, const char* u,
         const char* p)
      : role(r), name(n), host(h), user(u), passwd(p) {}
  const char* role;                         // "primary" or "replica"
  const char *name, *host, *user, *passwd;  // host as shown
  const char* address = "";  // host as open reads it: "" is the default
  bool up = false;
  std::string version, tls;  // tls: the cipher, empty without TLS
  bool galera = false, primary_component = false;
  int cluster_size = 0;
  std::string node_state;
  bool replicates = false;
  REPLICA_STATE replication;
  std::string problem;  // why the server fails the check, empty when fine
};

// SHOW STATUS value of name on db; empty when there is none.
std::string status_value(DB_CONN& db, const char* name) {
  char sql[128];
  snprintf(sql, sizeof sql, "show status like '%s'", name);
  std::string value;
  if (db.do_query(sql)) return value;
  MYSQL_RES* result = mysql_store_result(db.handle);
  MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
  if (row && row[1]) value = row[1];
  if (result) mysql_free_result(result);
  return value;
}

// Connects to s and reads what the operator needs to know of it. max_lag
// < 0: no lag limit.
void look_at(Server& s, double max_lag) {
  DB_CONN db;
  int retval = db.open(s.name, s.address, s.user, s.passwd);
  if (retval) {
    s.problem = std::string("cannot connect to ") +
                (strcmp(s.role, "replica") ? "" : "the replica ") +
                "database '" + s.name + "' on " + s.host + " as '" + s.user +
                "' (" + orvexerror(retval) + ")";
    return;
  }
  s.up = true;
  const char* version = mysql_get_server_info(db.handle);
  s.version = version ? version : "of unknown version";
  const char* cipher = mysql_get_ssl_cipher(db.handle);
  s.tls = cipher ? cipher : "";
  // A Galera node outside the primary component refuses work: down.
  // A server without Galera shows a cluster of 0 (or no such status).
  s.cluster_size = atoi(status_value(db, "wsrep_cluster_size").c_str());
  if (s.cluster_size > 0) {
    s.galera = true;
    s.node_state = status_value(db, "wsrep_local_state_comment");
    s.primary_component = status_value(db, "wsrep_cluster_status") == "Primary";
    if (!s.primary_component) {
      s.problem = std::string("database '") + s.name + "' on " + s.host +
                  " is a cluster node outside the primary component";
    }
  }
  if (!strcmp(s.role, "replica")) {
    s.replicates = get_replica_state(db, s.replication) == 0;
    int lag = s.replication.seconds_behind;
    char text[256];
    if (!s.replicates) {
      snprintf(text, sizeof text, "the replica on %s replicates nothing",
               s.host);
      s.problem = text;
    } else if (max_lag >= 0 && lag < 0) {
      snprintf(text, sizeof text, "the replica on %s is not applying", s.host);
      s.problem = text;
    } else if (max_lag >= 0 && lag > max_lag) {
      snprintf(text, sizeof text,
               "the replica on %s is %d s behind, past "
               "--max-lag %s",
               s.host, lag, real_text(max_lag).c_str());
      s.problem = text;
    }
  }
  db.close();
}

void print_text(const Server& s) {
  if (!s.up) return;
  printf("%sdatabase '%s' on %s answers (server %s)\n",
         strcmp(s.role, "replica") ? "" : "replica ", s.name, s.host,
         s.version.c_str());
  printf("  tls          %s\n", s.tls.empty() ? "none" : s.tls.c_str());
  if (s.galera) {
    printf("  cluster      %d nodes, this node %s, %s\n", s.cluster_size,
           s.node_state.c_str(),
           s.primary_component ? "primary component" : "NOT primary component");
  }
  if (s.replicates) {
    const REPLICA_STATE& r = s.replication;
    char lag[32] = "not applying";
    if (r.seconds_behind >= 0) {
      snprintf(lag, sizeof lag, "%d s behind", r.seconds_behind);
    }
    printf("  replication  fetching %s, applying %s, %s, applied %s\n",
           r.io_running ? "yes" : "no", r.sql_running ? "yes" : "no", lag,
           r.applied_gtid[0] ? r.applied_gtid : "nothing");
  }
}

void print_json(const std::vector<Server>& servers, bool ok) {
  printf("{\n  \"ok\": %s,\n  \"servers\": [", ok ? "true" : "false");
  for (size_t i = 0; i < servers.size(); i++) {
    const Server& s = servers[i];
    printf(
        "%s\n    {\"role\": \"%s\", \"database\": %s, \"host\": %s, "
        "\"up\": %s",
        i ? "," : "", s.role, json_string(s.name).c_str(),
        json_string(s.host).c_str(), s.up ? "true" : "false");
    if (s.up) {
      printf(", \"version\": %s, \"tls\": %s", json_string(s.version).c_str(),
             s.tls.empty() ? "null" : json_string(s.tls).c_str());
    }
    if (s.galera) {
      printf(
          ", \"cluster\": {\"size\": %d, \"state\": %s, "
          "\"primary_component\": %s}",
          s.cluster_size, json_string(s.node_state).c_str(),
          s.primary_component ? "true" : "false");
    }
    if (s.replicates) {
      const REPLICA_STATE& r = s.replication;
      printf(
          ", \"replication\": {\"io_running\": %s, \"sql_running\": %s, "
          "\"seconds_behind\": %s, \"applied_gtid\": %s, "
          "\"fetched_gtid\": %s}",
          r.io_running ? "true" : "false", r.sql_running ? "true" : "false",
          r.seconds_behind < 0 ? "null"
                               : std::to_string(r.seconds_behind).c_str(),
          json_string(r.applied_gtid).c_str(),
          json_string(r.fetched_gtid).c_str());
    }
    printf(", \"problem\": %s}",
           s.problem.empty() ? "null" : json_string(s.problem).c_str());
  }
  printf("\n  ]\n}\n");
}

// Every configured server: the main database, and the replica when the
// settings name one apart from it. Each server of a list on its own; a text
// open refuses is kept whole, so that its refusal is reported. The texts
// point into hosts.
std::vector<Server> configured_servers(std::list<std::string>& hosts) {
  std::vector<Server> servers;
  auto add = [&](const char* role, const char* name, const char* host,
                 const char* user, const char* passwd) {
    std::vector<std::string> items;
    if (!split_db_hosts(host, items) || items.size() == 1) items = {host};
    for (const std::string& item : items) {
      hosts.push_back(item);
      servers.emplace_back(role, name,
                           item.empty() ? kDefaultHost : hosts.back().c_str(),
                           user, passwd);
      servers.back().address = hosts.back().c_str();
    }
  };
  add("primary", config.db_name, config.db_host, config.db_user,
      config.db_passwd);
  if (strcmp(config.replica_db_host, config.db_host) ||
      strcmp(config.replica_db_name, config.db_name)) {
    add("replica", config.replica_db_name, config.replica_db_host,
        config.replica_db_user, config.replica_db_passwd);
  }
  return servers;
}

// Status 1 when any server is down or a replica fails the lag limit.
int ping(bool json, double max_lag) {
  std::list<std::string> hosts;
  std::vector<Server> servers = configured_servers(hosts);
  bool ok = true;
  for (Server& s : servers) {
    look_at(s, max_lag);
    if (!json) print_text(s);
    if (!s.problem.empty()) {
      fail("%s", s.problem.c_str());
      ok = false;
    }
  }
  if (json) print_json(servers, ok);
  return ok ? EXIT_OK : EXIT_FAIL;
}

int counts(int appid, bool json) {
  char clause[64] = "";
  if (appid) snprintf(clause, sizeof clause, "where appid=%d", appid);
  int workunits = 0, results = 0, unsent = 0;
  int retval = count_workunits(workunits, clause);
  if (!retval) retval = count_results(clause, results);
  if (!retval) retval = count_unsent_results(unsent, appid);
  if (retval) {
    fail("cannot count the jobs (%d)", retval);
    return EXIT_FAIL;
  }
  if (json) {
    printf(
        "{\"application\": %s, \"workunits\": %d, \"results\": %d, "
        "\"unsent_results\": %d}\n",
        appid ? std::to_string(appid).c_str() : "null", workunits, results,
        unsent);
    return EXIT_OK;
  }
  if (appid) printf("application     %d\n", appid);
  printf("workunits       %d\n", workunits);
  printf("results         %d\n", results);
  printf("unsent results  %d\n", unsent);
  return EXIT_OK;
}

int perf() {
  int hosts = 0;
  DB_HOST host;
  int retval = host.count(hosts);
  PERF_INFO info;
  if (!retval) retval = info.get_from_db();
  if (retval) {
    fail("cannot read the host statistics (%d)", retval);
    return EXIT_FAIL;
  }
  printf("hosts         %d\n", hosts);
  printf("fpops_mean    %s\n", real_text(info.fpops_mean).c_str());
  printf("fpops_stddev  %s\n", real_text(info.fpops_stddev).c_str());
  printf("fpops_p50     %s\n", real_text(info.fpops_p50).c_str());
  printf("fpops_p95     %s\n", real_text(info.fpops_p95).c_str());
  // get_from_db keeps its defaults below ten hosts.
  printf("source        %s\n",
         hosts < 10 ? "defaults (fewer than 10 hosts)" : "the host table");
  return EXIT_OK;
}

}  // namespace

std::vector<DbHealth> db_health(double max_lag) {
  std::list<std::string> hosts;
  std::vector<Server> servers = configured_servers(hosts);
  std::vector<DbHealth> health;
  for (Server& s : servers) {
    look_at(s, max_lag);
    DbHealth h;
    h.role = s.role;
    h.host = s.host;
    h.up = s.up;
    h.cluster_size = s.cluster_size;
    if (s.replicates) h.seconds_behind = s.replication.seconds_behind;
    h.problem = s.problem;
    health.push_back(h);
  }
  return health;
}

int cmd_db(const CommandLine& cl) {
  if (cl.positional.size() != 1) {
    return usage_error(cl, "expected ping, counts or perf");
  }
  const std::string& what = cl.positional[0];
  if (what != "ping" && what != "counts" && what != "perf") {
    return usage_error(cl, "unknown request '%s' (ping, counts or perf)",
                       what.c_str());
  }
  double max_lag = -1;
  auto lag = cl.values.find("--max-lag");
  if (lag != cl.values.end()) {
    if (what != "ping") return usage_error(cl, "--max-lag goes with ping");
    char* end;
    errno = 0;
    max_lag = strtod(lag->second.c_str(), &end);
    if (lag->second.empty() || *end || errno || !(max_lag >= 0)) {
      return usage_error(cl, "--max-lag needs a number of seconds, not '%s'",
                         lag->second.c_str());
    }
  }
  if (cl.has("--json") && what == "perf") {
    return usage_error(cl, "--json goes with ping or counts");
  }
  int appid = 0;
  auto app = cl.values.find("--app");
  if (app != cl.values.end()) {
    if (what != "counts") return usage_error(cl, "--app goes with counts");
    char* end;
    errno = 0;
    long id = strtol(app->second.c_str(), &end, 10);
    if (app->second.empty() || *end || errno || id <= 0 || id > INT_MAX) {
      return usage_error(cl, "--app needs an application id, not '%s'",
                         app->second.c_str());
    }
    appid = static_cast<int>(id);
  }

  SettingsFiles files = find_settings_files(cl.project);
  if (!load_settings_or_fail(files, true)) return EXIT_FAIL;
  if (!config.db_name[0]) {
    fail("db_name is not set in %s", files.main_path.c_str());
    return EXIT_FAIL;
  }
  if (what == "ping") return ping(cl.has("--json"), max_lag);
  int retval = orvex_db.open(config.db_name, config.db_host, config.db_user,
                             config.db_passwd);
  if (retval) {
    fail("cannot connect to database '%s' on %s as '%s' (%s)", config.db_name,
         host_name(), config.db_user, orvexerror(retval));
    return EXIT_FAIL;
  }
  int status = what == "counts" ? counts(appid, cl.has("--json")) : perf();
  orvex_db.close();
  return status;
}

}  // namespace admin
