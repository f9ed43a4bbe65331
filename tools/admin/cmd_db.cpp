// db: a look at the project database over the connection the settings
// describe.
#include <mysql.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "daemon/db_helpers.h"
#include "database/readiness.h"
#include "database/replica.h"
#include "database/server_health.h"
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
  DB_READINESS ready;        // the probe open uses on a list
  bool replicates = false;
  REPLICA_STATE replication;
  std::string problem;  // why the server fails the check, empty when fine
};

bool is_replica(const Server& s) { return !strcmp(s.role, "replica"); }

// open's reason for one server, without the server's own name before it.
std::string connect_reason(const DB_CONN& db, const Server& s, int retval) {
  std::string why = db.connect_error();
  std::string prefix = std::string(s.address) + ": ";
  if (s.address[0] && why.compare(0, prefix.size(), prefix) == 0) {
    why.erase(0, prefix.size());
  }
  return why.empty() ? orvexerror(retval) : why;
}

// Connects to s and reads what the operator needs to know of it. max_lag
// < 0: no lag limit. The connect waits as long as DB_CONN::open lets it, so
// a server that does not answer costs open's own bound here too.
void look_at(Server& s, double max_lag) {
  DB_CONN db;
  int retval = db.open(s.name, s.address, s.user, s.passwd);
  if (retval) {
    s.problem = std::string("cannot connect to ") +
                (is_replica(s) ? "the replica " : "") + "database '" + s.name +
                "' on " + s.host + " as '" + s.user + "' (" +
                connect_reason(db, s, retval) + ")";
    return;
  }
  s.up = true;
  const char* version = mysql_get_server_info(db.handle);
  s.version = version ? version : "of unknown version";
  const char* cipher = mysql_get_ssl_cipher(db.handle);
  s.tls = cipher ? cipher : "";
  // Said wherever the cipher is: the operator turned the check off.
  if (db.tls() == DB_TLS_NAME_UNCHECKED) {
    s.tls += " (the server's name not checked: ssl-verify-server-cert=0)";
  }
  if (probe_readiness(db.handle, false, true, s.ready) != DB_READY) {
    s.problem = std::string("database '") + s.name + "' on " + s.host +
                " does not serve: " + s.ready.reason;
  }
  if (is_replica(s)) {
    s.replicates = get_replica_state(db, s.replication) == 0;
    const REPLICA_STATE& r = s.replication;
    int lag = r.seconds_behind;
    char error[32] = "";
    if (r.last_errno)
      snprintf(error, sizeof error, ", last error %d", r.last_errno);
    char text[512];
    text[0] = '\0';
    // Not applying is a fault with or without a lag limit: the replica
    // falls behind from now on.
    if (!s.replicates) {
      snprintf(text, sizeof text, "the replica on %s replicates nothing",
               s.host);
    } else if (!r.sql_running) {
      snprintf(text, sizeof text,
               "the replica on %s is not applying (its SQL thread is "
               "stopped%s)",
               s.host, error);
    } else if (!r.io_running) {
      snprintf(text, sizeof text,
               "the replica on %s is not fetching from the primary (its I/O "
               "thread is not running%s)",
               s.host, error);
    } else if (lag < 0) {
      snprintf(text, sizeof text, "the replica on %s is not applying", s.host);
    } else if (max_lag >= 0 && lag > max_lag) {
      snprintf(text, sizeof text,
               "the replica on %s is %d s behind, past "
               "--max-lag %s",
               s.host, lag, real_text(max_lag).c_str());
    }
    if (text[0] && s.problem.empty()) s.problem = text;
  }
  db.close();
}

void print_text(const Server& s) {
  if (!s.up) return;
  printf("%sdatabase '%s' on %s answers (server %s)\n",
         is_replica(s) ? "replica " : "", s.name, s.host, s.version.c_str());
  printf("  tls          %s\n", s.tls.empty() ? "none" : s.tls.c_str());
  const DB_READINESS& g = s.ready;
  if (g.galera) {
    printf("  cluster      %d nodes, this node %s, %s\n", g.cluster_size,
           g.state[0] ? g.state : "(state not shown)",
           !strcmp(g.component, "Primary") ? "primary component"
                                           : "NOT primary component");
  }
  if (g.verdict != DB_READY) printf("  serves       no: %s\n", g.reason);
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

// The shared health record as open reads it.
struct Health {
  char path[4096] = "";
  bool on = false;
  DB_HEALTH record;
  long long now = 0;
};

void read_health(Health& h) {
  h.now = time(nullptr);
  h.on = db_health_path(h.path, sizeof h.path);
  db_health_read(h.record, h.now);
}

// brief: nothing when the record is off or holds nothing (ping).
void print_health_text(const Health& h, bool brief) {
  if (brief && (!h.on || (!h.record.problem[0] && h.record.count == 0))) {
    return;
  }
  if (!h.on) {
    printf("health record off (%s is set but empty)\n", DB_HEALTH_ENV);
  } else if (h.record.problem[0]) {
    printf("health record %s ignored: %s\n", h.path, h.record.problem);
  } else if (h.record.count == 0) {
    printf("health record %s: no server marked down\n", h.path);
  }
  for (int i = 0; i < h.record.count; i++) {
    const DB_HEALTH_ENTRY& e = h.record.entries[i];
    long long age = h.now - e.down_since;
    printf(
        "health record %s: %s marked down %lld s ago, tried last for %lld "
        "s more\n",
        h.path, e.server, age < 0 ? 0 : age,
        DB_HEALTH_TTL - (age < 0 ? 0 : age));
  }
}

std::string health_json(const Health& h) {
  std::string out = "{\"file\": ";
  out += h.on ? json_string(h.path) : "null";
  out += ", \"problem\": ";
  out += h.record.problem[0] ? json_string(h.record.problem) : "null";
  out += ", \"down\": [";
  for (int i = 0; i < h.record.count; i++) {
    const DB_HEALTH_ENTRY& e = h.record.entries[i];
    out += std::string(i ? ", " : "") +
           "{\"server\": " + json_string(e.server) +
           ", \"since\": " + std::to_string(e.down_since) + "}";
  }
  return out + "]}";
}

void print_json(const std::vector<Server>& servers, const Health& health,
                bool ok) {
  printf("{\n  \"ok\": %s,\n  \"servers\": [", ok ? "true" : "false");
  for (size_t i = 0; i < servers.size(); i++) {
    const Server& s = servers[i];
    const DB_READINESS& g = s.ready;
    printf(
        "%s\n    {\"role\": \"%s\", \"database\": %s, \"host\": %s, "
        "\"up\": %s",
        i ? "," : "", s.role, json_string(s.name).c_str(),
        json_string(s.host).c_str(), s.up ? "true" : "false");
    if (s.up) {
      printf(", \"version\": %s, \"tls\": %s, \"serves\": %s",
             json_string(s.version).c_str(),
             s.tls.empty() ? "null" : json_string(s.tls).c_str(),
             g.verdict == DB_READY ? "true" : "false");
    }
    if (g.galera) {
      printf(
          ", \"cluster\": {\"size\": %d, \"state\": %s, "
          "\"primary_component\": %s, \"wsrep_on\": %s}",
          g.cluster_size, json_string(g.state).c_str(),
          !strcmp(g.component, "Primary") ? "true" : "false",
          g.wsrep_on ? "true" : "false");
    }
    if (s.replicates) {
      const REPLICA_STATE& r = s.replication;
      printf(
          ", \"replication\": {\"io_running\": %s, \"sql_running\": %s, "
          "\"seconds_behind\": %s, \"applied_gtid\": %s, "
          "\"fetched_gtid\": %s, \"last_errno\": %d}",
          r.io_running ? "true" : "false", r.sql_running ? "true" : "false",
          r.seconds_behind < 0 ? "null"
                               : std::to_string(r.seconds_behind).c_str(),
          json_string(r.applied_gtid).c_str(),
          json_string(r.fetched_gtid).c_str(), r.last_errno);
    }
    printf(", \"problem\": %s}",
           s.problem.empty() ? "null" : json_string(s.problem).c_str());
  }
  printf("\n  ],\n  \"health\": %s\n}\n", health_json(health).c_str());
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
  Health health;
  read_health(health);
  if (json) {
    print_json(servers, health, ok);
  } else {
    print_health_text(health, true);
  }
  return ok ? EXIT_OK : EXIT_FAIL;
}

// The record of this user's programs on this host, or its removal.
int health(bool clear) {
  Health h;
  read_health(h);
  if (!clear) {
    print_health_text(h, false);
    return EXIT_OK;
  }
  switch (db_health_clear()) {
    case DB_HEALTH_WRITTEN: printf("health record %s removed\n", h.path); break;
    case DB_HEALTH_UNCHANGED:
      printf("health record %s: there was none\n", h.path);
      break;
    case DB_HEALTH_OFF: print_health_text(h, false); break;
    default:
      // The reader says what is there (a directory, another's file).
      fail("cannot remove the health record %s (%s)", h.path,
           h.record.problem[0] ? h.record.problem : strerror(errno));
      return EXIT_FAIL;
  }
  return EXIT_OK;
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
    h.cluster_size = s.ready.cluster_size;
    if (s.replicates) h.seconds_behind = s.replication.seconds_behind;
    h.problem = s.problem;
    health.push_back(h);
  }
  return health;
}

int cmd_db(const CommandLine& cl) {
  if (cl.positional.size() != 1) {
    return usage_error(cl, "expected ping, counts, perf or health");
  }
  const std::string& what = cl.positional[0];
  if (what != "ping" && what != "counts" && what != "perf" &&
      what != "health") {
    return usage_error(cl,
                       "unknown request '%s' (ping, counts, perf or health)",
                       what.c_str());
  }
  if (cl.has("--clear") && what != "health") {
    return usage_error(cl, "--clear goes with health");
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

  // Per host and user, not per project: no settings needed.
  if (what == "health") return health(cl.has("--clear"));

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
