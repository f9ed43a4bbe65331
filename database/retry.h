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
// to commit, or a nonzero value to roll back and stop.
// What a body may do: statements through db, and enumerations, which it
// ends or leaves (the rollback ends a streamed one still open). It must keep
// no effect outside the database that a second run would repeat, and must
// not end the transaction itself: a COMMIT, a START TRANSACTION or a
// statement that commits (DDL) inside it makes the run not whole, and a run
// that then fails is never run again (ERR_DB_BODY_COMMITTED, one report
// line; the committed part stays). After the server rolled the transaction
// back (a conflict), every later statement of the body is refused, so a body
// that goes on after an error does no work outside the transaction.
// Returns 0 once committed; ERR_DB_CONFLICT when every run ended in a
// conflict; ERR_DB_OUTCOME_UNKNOWN when the COMMIT's answer was lost (never
// run again: look before doing the work again); otherwise the first failure,
// passed up at once: body's own nonzero value, or the failure of
// start_transaction or commit_transaction. Every failure is rolled back (a
// ROLLBACK that fails on a live session ends the session, so the server
// drops the work). *runs, when given, gets the number of runs.
int run_transaction(DB_CONN& db, int tries,
                    const std::function<int(DB_CONN&)>& body,
                    int* runs = nullptr);

#endif
