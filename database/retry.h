// Running a transaction again when the server refused it for a conflict
// with another one: a deadlock on one server, or on a Galera cluster a
// write set that lost certification against a write made on another node.
// The server then rolled the whole transaction back, so running it again
// from its start is safe, and no other failure is ever retried.
#ifndef ORVEX_DATABASE_RETRY_H
#define ORVEX_DATABASE_RETRY_H

#include <functional>

#include "database/db_conn.h"

// The server's number for a transaction rolled back for a conflict
// (deadlock, or failed certification on Galera).
constexpr unsigned DB_CONFLICT_ERRNO = 1213;

// True when the last statement on db failed for a conflict.
bool db_conflict(DB_CONN& db);

// Runs body inside a transaction on db and commits it. When body or the
// COMMIT fails for a conflict, the transaction is rolled back and run again
// from its start, up to `tries` runs in all (at least one). body returns 0
// to commit, or a nonzero value to roll back and stop; it must do all its
// work through db and keep no effect outside the database that a second run
// would repeat.
// Returns 0 once committed; ERR_DB_CONFLICT when every run ended in a
// conflict; otherwise the first failure, passed up at once: body's own
// nonzero value, or the failure of start_transaction or commit_transaction.
// Every failure is rolled back. *runs, when given, gets the number of runs.
int run_transaction(DB_CONN& db, int tries,
                    const std::function<int(DB_CONN&)>& body,
                    int* runs = nullptr);

#endif
