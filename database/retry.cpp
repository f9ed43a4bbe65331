#include "database/retry.h"

#include <cstdio>

#include "common/error_numbers.h"

bool db_conflict(DB_CONN& db) {
  return db.handle && mysql_errno(db.handle) == DB_CONFLICT_ERRNO;
}

int run_transaction(DB_CONN& db, int tries,
                    const std::function<int(DB_CONN&)>& body, int* runs) {
  int retval = 0, run = 0;
  if (tries < 1) tries = 1;
  while (run < tries) {
    run++;
    retval = db.start_transaction();
    if (retval) break;  // nothing ran: nothing to retry
    unsigned long commits = db.commits();
    retval = body(db);
    // A body that committed by itself cannot be taken back whole.
    bool committed = db.commits() != commits;
    bool conflict = retval && db_conflict(db);
    if (!retval) {
      retval = db.commit_transaction();
      conflict = retval && db_conflict(db);
    }
    if (!retval || retval == ERR_DB_OUTCOME_UNKNOWN) break;
    // The rollback ends the session when it fails on a live one, so that the
    // server never keeps a failed run's work open for the next one.
    db.rollback_transaction();
    if (committed) {
      fprintf(stderr,
              "Database error: the transaction's body committed part of its "
              "work itself and then failed; not run again\n");
      retval = ERR_DB_BODY_COMMITTED;
      break;
    }
    if (!conflict) break;
    retval = ERR_DB_CONFLICT;
  }
  if (runs) *runs = run;
  return retval;
}
