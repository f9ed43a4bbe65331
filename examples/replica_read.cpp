// Read-your-writes with a replica: writes one workunit row on the project
// database (the settings' db_*), waits until the replica (replica_db_*)
// has applied that very write, and reads the row there.
//
//   replica-read NAME
//
// Exit status 0 when the replica gave the row back, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/db_conn.h"
#include "database/replica.h"
#include "database/sql_escape.h"
#include "settings/paramdeck.h"

namespace {

int fail(const char* what, DB_CONN& db, int retval) {
  fprintf(stderr, "replica-read: %s: %s %s\n", what, orvexerror(retval),
          db.connect_error());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !*argv[1]) {
    fprintf(stderr, "usage: replica-read NAME\n");
    return 2;
  }
  char name[256];
  if (strlcpy(name, argv[1], sizeof name) >= sizeof name / 2) {
    fprintf(stderr, "replica-read: NAME too long\n");
    return 2;
  }
  escape_string(name, sizeof name);
  int retval = config.parse_file(nullptr);
  if (retval) {
    fprintf(stderr, "replica-read: cannot load the settings: %s\n",
            orvexerror(retval));
    return 1;
  }
  DB_CONN primary, replica;
  retval = primary.open(config.db_name, config.db_host, config.db_user,
                        config.db_passwd);
  if (retval) return fail("cannot open the database", primary, retval);
  retval = replica.open(config.replica_db_name, config.replica_db_host,
                        config.replica_db_user, config.replica_db_passwd);
  if (retval) return fail("cannot open the replica", replica, retval);

  char sql[600];
  snprintf(sql, sizeof sql,
           "insert into workunit (name, appid) values ('%s', 1)", name);
  if (primary.do_query(sql)) return 1;
  auto t0 = std::chrono::steady_clock::now();
  retval = wait_for_replica(primary, replica, 10);
  double ms = std::chrono::duration<double, std::milli>(
                  std::chrono::steady_clock::now() - t0)
                  .count();
  if (retval)
    return fail("the replica did not apply the write", replica, retval);

  snprintf(sql, sizeof sql, "select count(*) from workunit where name='%s'",
           name);
  if (replica.do_query(sql)) return 1;
  MYSQL_RES* res = mysql_store_result(replica.handle);
  MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
  int rows = row && row[0] ? atoi(row[0]) : 0;
  mysql_free_result(res);
  printf(
      "wrote workunit %s on %s; the replica on %s had it after %.2f ms and "
      "reads %d row(s)\n",
      argv[1], primary.server(), replica.server(), ms, rows);
  primary.close();
  replica.close();
  return rows == 1 ? 0 : 1;
}
