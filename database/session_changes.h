// What statements changed in a session, read from the server's reports and
// judged by the rules of kSessionRules (db_conn.h): the changes carried to
// every later session, and the question that finds a change the server
// could not report.
#ifndef ORVEX_DATABASE_SESSION_CHANGES_H
#define ORVEX_DATABASE_SESSION_CHANGES_H

#include <mysql.h>

#include <string>
#include <vector>

class SESSION_CHANGES {
 public:
  // Forgets every carried change (a new open).
  void clear();

  // Reads the reports in the answer to the last statement on m, which
  // succeeded (an error answer carries none; the client library then keeps
  // a stale list). With carry, the statement was the program's: allowed
  // changes are kept. Without, it was a new session's set-up and the
  // reports are only judged. Null when every change is allowed; else why
  // not (a constant text), with "<name>=<value>" in *what.
  const char* read(MYSQL* m, bool carry, std::string* what);

  // True when a statement reported that the session's state changed, so
  // that a change the reports may not show (the program turned reporting
  // off) must be looked for before the next statement.
  bool verify_pending() const { return verify_; }
  // A new session needs no question: its set-up is known.
  void verified() { verify_ = false; }

  enum Verdict { kSafe, kUnsafe, kFailed };
  // Asks the server on m for every GUARDED value (one statement, its result
  // read) and clears verify_pending. kUnsafe with why and *what as read
  // gives them; kFailed when the question itself failed (the error is m's).
  Verdict verify(MYSQL* m, const char** why, std::string* what);

  // Appends the set-up statement of a new session: the escaping guard and
  // session tracking, then every carried change, in one SET.
  void setup_statement(std::string& out) const;

  // The default database a program's USE selected, or null.
  const char* database() const;
  // Whether causal reads are carried (wsrep_sync_wait other than 0).
  bool causal() const;
  // False when a carried value would not pass its rule (an invariant).
  bool consistent() const;

 private:
  struct Change {
    std::string name, value;
  };
  std::vector<Change> carried_;
  std::string database_;
  bool has_database_ = false;
  bool verify_ = false;
};

#endif
