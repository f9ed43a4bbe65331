// Database operations that several server programs share: counting
// workunits and results, project-wide host speed statistics, a host's
// averaged turnaround, restricting a workunit to one user, and telling GPU
// plans apart.
//
// The helpers make their row objects without a connection, so they run on
// the default connection orvex_db (common/db_rows.h), which the program
// opens first. Results are 0 or the table-row base's error code, passed up
// unchanged; nothing is logged.
#ifndef ORVEX_DAEMON_DB_HELPERS_H
#define ORVEX_DAEMON_DB_HELPERS_H

#include "common/db_rows.h"

// Counts the workunits that clause selects ("where ...", or "" for all) into
// n. On failure n is left as it was.
int count_workunits(int& n, const char* clause);

// Counts the results that clause selects into n (note the argument order).
// clause is not changed. On failure n is left as it was.
int count_results(char* clause, int& n);

// Counts the unsent results (server_state RESULT_SERVER_STATE_UNSENT) of
// application appid, or of every application when appid is 0.
int count_unsent_results(int& n, int appid);

// Project-wide statistics of the hosts' speed (p_fpops).
struct PERF_INFO {
  double fpops_mean;
  double fpops_stddev;
  double fpops_p50;
  double fpops_p95;

  // Sets the defaults (mean 2.2e9, deviation 7e8, both percentiles 3.3e9),
  // then, when the host table has at least 10 rows, replaces them with the
  // table's mean, population standard deviation and 50th and 95th
  // nearest-rank percentiles (DB_HOST: computed without overflow over every
  // host, whatever speeds hosts reported, so each lies within the
  // magnitudes stored). Returns 0, or the first failure, with all four
  // defaults in place: of counting the hosts, or of a statistic the server
  // refused or could not compute (ERR_DB_NO_ROW: no value, as when the
  // hosts went between the count and the statistic).
  int get_from_db();
};

// Folds a new turnaround sample into host.avg_turnaround: the sample itself
// when the host has no average yet (0), else 0.7 * old + 0.3 * sample. Only
// the record changes; nothing is written to the database.
void compute_avg_turnaround(HOST& host, double new_avg);

// Reserves workunit wu for user userid: its unsent results are retired
// (server_state OVER, outcome DIDNT_NEED), the workunit gets
// transitioner_flags TRANSITION_NO_NEW_RESULTS, and a user assignment is
// inserted, in that order. Returns 0 when all of it is done; otherwise the
// first failure, at once, with no statement sent after it: a refused
// statement's error (a failed walk of the results included), or
// ERR_DB_NO_ROW when no workunit has wu.id (deleted, or never there). A
// result gone between the walk and its update, or sent to a host meanwhile,
// is passed over (each update names server_state UNSENT too).
// It neither starts, commits nor rolls back a transaction. Inside the
// caller's (run_transaction), a failure is the caller's to roll back, and
// then nothing of it stays; a deadlock (1213) that the server already
// rolled back is returned at once too, so nothing runs in autocommit after
// it. Outside one each statement takes effect as it runs, and a failure
// leaves what ran before it: some of the unsent results retired (all of
// them when the workunit is missing or its update failed), and the
// workunit flagged when only the assignment failed.
// wu itself is not changed.
int restrict_wu_to_user(const WORKUNIT& wu, int userid);

// True when plan_class names a GPU plan: it contains "cuda", "nvidia" or
// "ati" anywhere, in that case exactly. False for a null name.
bool app_plan_uses_gpu(const char* plan_class);

#endif
