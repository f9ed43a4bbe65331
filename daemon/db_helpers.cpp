#include "daemon/db_helpers.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/error_numbers.h"

int count_workunits(int& n, const char* clause) {
  DB_WORKUNIT wu;
  return wu.count(n, clause);
}

int count_results(char* clause, int& n) {
  DB_RESULT result;
  return result.count(n, clause);
}

int count_unsent_results(int& n, int appid) {
  char clause[256];
  if (appid) {
    snprintf(clause, sizeof clause, "where server_state=%d and appid=%d ",
             RESULT_SERVER_STATE_UNSENT, appid);
  } else {
    snprintf(clause, sizeof clause, "where server_state=%d",
             RESULT_SERVER_STATE_UNSENT);
  }
  return count_results(clause, n);
}

int PERF_INFO::get_from_db() {
  fpops_mean = 2.2e9;
  fpops_stddev = 7e8;
  fpops_p50 = 3.3e9;
  fpops_p95 = 3.3e9;

  DB_HOST host;
  int nhosts = 0;
  int retval = host.count(nhosts, "");
  if (retval) return retval;
  // Too few hosts for statistics to mean anything.
  if (nhosts < 10) return 0;

  // All four or none: a caller never mixes defaults with the table's values.
  PERF_INFO got;
  if ((retval = host.fpops_mean(got.fpops_mean)) ||
      (retval = host.fpops_stddev(got.fpops_stddev)) ||
      (retval = host.fpops_percentile(50.0, got.fpops_p50)) ||
      (retval = host.fpops_percentile(95.0, got.fpops_p95))) {
    return retval;
  }
  *this = got;
  return 0;
}

void compute_avg_turnaround(HOST& host, double new_avg) {
  double old_avg = host.avg_turnaround;
  host.avg_turnaround = old_avg == 0 ? new_avg : 0.7 * old_avg + 0.3 * new_avg;
}

int restrict_wu_to_user(const WORKUNIT& wu, int userid) {
  DB_RESULT result;
  DB_ASSIGNMENT asg;
  DB_WORKUNIT db_wu;
  db_wu = wu;

  char buf[256];
  snprintf(buf, sizeof buf, "where workunitid=%d and server_state=%d", wu.id,
           RESULT_SERVER_STATE_UNSENT);
  char set_list[256];
  snprintf(set_list, sizeof set_list, "server_state=%d, outcome=%d",
           RESULT_SERVER_STATE_OVER, RESULT_OUTCOME_DIDNT_NEED);
  // The whole selection is fetched first, so the updates can share the
  // connection with the loop.
  // Each failure ends it at once: after a deadlock, the statements that
  // followed would run in autocommit.
  // A result sent to a host since the walk read it keeps running.
  char unsent[32];
  snprintf(unsent, sizeof unsent, "server_state=%d",
           RESULT_SERVER_STATE_UNSENT);
  int retval;
  while (!(retval = result.enumerate(buf, false))) {
    retval = result.update_field(set_list, unsent);
    if (retval) return retval;
  }
  if (retval != ERR_DB_NO_ROW) return retval;

  snprintf(buf, sizeof buf, "transitioner_flags=%d", TRANSITION_NO_NEW_RESULTS);
  retval = db_wu.update_field(buf);
  if (retval) return retval;
  // Matched rows: 0 when there is no such workunit to reserve.
  if (db_wu.affected_rows() != 1) return ERR_DB_NO_ROW;

  asg.clear();
  asg.create_time = static_cast<int>(time(nullptr));
  asg.target_id = userid;
  asg.target_type = ASSIGN_USER;
  asg.multi = 0;
  asg.workunitid = wu.id;
  return asg.insert();
}

bool app_plan_uses_gpu(const char* plan_class) {
  if (!plan_class) return false;
  if (strstr(plan_class, "cuda")) return true;
  if (strstr(plan_class, "nvidia")) return true;
  if (strstr(plan_class, "ati")) return true;
  return false;
}
