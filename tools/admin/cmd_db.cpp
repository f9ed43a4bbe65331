// db: a look at the project database over the connection the settings
// describe.
#include <mysql.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/error_numbers.h"
#include "daemon/db_helpers.h"
#include "settings/paramdeck.h"
#include "tools/admin/admin.h"

namespace admin {

namespace {

const char* host_name() {
  return config.db_host[0] ? config.db_host : "the default host";
}

int ping() {
  if (orvex_db.ping()) {
    fail("database '%s' on %s does not answer", config.db_name, host_name());
    return EXIT_FAIL;
  }
  const char* server = mysql_get_server_info(orvex_db.handle);
  printf("database '%s' on %s answers (server %s)\n", config.db_name,
         host_name(), server ? server : "of unknown version");
  return EXIT_OK;
}

int counts(int appid) {
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
  printf("fpops_mean    %s\n", format_real(info.fpops_mean).c_str());
  printf("fpops_stddev  %s\n", format_real(info.fpops_stddev).c_str());
  printf("fpops_p50     %s\n", format_real(info.fpops_p50).c_str());
  printf("fpops_p95     %s\n", format_real(info.fpops_p95).c_str());
  // get_from_db keeps its defaults below ten hosts.
  printf("source        %s\n",
         hosts < 10 ? "defaults (fewer than 10 hosts)" : "the host table");
  return EXIT_OK;
}

}  // namespace

int cmd_db(const CommandLine& cl) {
  if (cl.positional.size() != 1) {
    return usage_error(cl, "expected ping, counts or perf");
  }
  const std::string& what = cl.positional[0];
  if (what != "ping" && what != "counts" && what != "perf") {
    return usage_error(cl, "unknown request '%s' (ping, counts or perf)",
                       what.c_str());
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
  int retval = load_settings(files, true);
  if (retval) {
    fail("cannot load the settings: %s",
         load_failure_reason(files, retval).c_str());
    return EXIT_FAIL;
  }
  if (!config.db_name[0]) {
    fail("db_name is not set in %s", files.main_path.c_str());
    return EXIT_FAIL;
  }
  retval = orvex_db.open(config.db_name, config.db_host, config.db_user,
                         config.db_passwd);
  if (retval) {
    fail("cannot connect to database '%s' on %s as '%s' (%s)", config.db_name,
         host_name(), config.db_user, orvexerror(retval));
    return EXIT_FAIL;
  }
  int status = what == "ping"     ? ping()
               : what == "counts" ? counts(appid)
                                  : perf();
  orvex_db.close();
  return status;
}

}  // namespace admin
