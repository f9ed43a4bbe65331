#include "database/retry.h"

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
    retval = body(db);
    bool conflict = retval && db_conflict(db);
    if (!retval) {
      retval = db.commit_transaction();
      conflict = retval && db_conflict(db);
    }
    if (!retval) break;
    db.rollback_transaction();  // conflict was read before: it resets errno
    if (!conflict) break;
    retval = ERR_DB_CONFLICT;
  }
  if (runs) *runs = run;
  return retval;
}
