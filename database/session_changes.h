// What statements changed in a session, read from the server's reports and
// judged by the rules of kSessionRules (db_conn.h): the changes carried to
// every later session, and the question that reads their values back and
// finds a change the server could not report.
#ifndef ORVEX_DATABASE_SESSION_CHANGES_H
#define ORVEX_DATABASE_SESSION_CHANGES_H

#include <mysql.h>

#include <string>
#include <vector>

class SESSION_CHANGES {
 public:
  // Forgets every carried change (a new open).
  void clear();

  // Reads the reports in the last answer on m, which succeeded (an error
  // answer carries none, and the client library then keeps a stale list;
  // a result set's come after its rows). With carry, the statement was the
  // program's: allowed changes are kept, and any change of state makes the
  // question due. Without, it was a new session's set-up and the reports
  // are only judged. Null when every change is allowed; else why not (a
  // constant text), with "<name>=<value>" in *what.
  const char* read(MYSQL* m, bool carry, std::string* what);

  // True when the question is due: a statement changed the session's state
  // (or failed, and may have), so its values are read back and a change the
  // reports may not show (the program turned reporting off) looked for.
  bool verify_pending() const { return verify_; }
  void need_verify() { verify_ = true; }
  // A new session needs no question: its set-up is known.
  void verified() { verify_ = false; }

  enum Verdict { kSafe, kUnsafe, kFailed };
  // Asks the server on m for every GUARDED value and every carried one (one
  // statement, its result read), keeps the carried values and types as
  // read, and clears verify_pending. kUnsafe with why and *what when a
  // GUARDED value fails its rule; kFailed when the question itself failed
  // (the error is m's).
  Verdict verify(MYSQL* m, const char** why, std::string* what);

  // Appends the set-up statement of a new session: session tracking, the
  // escaping guard, then every carried change, in one SET. Values are
  // written as numbers or as hexadecimal literals, which read the same
  // whatever character set and sql_mode the session starts with.
  void setup_statement(std::string& out) const;
  // Appends "SET SESSION <carried>, ..." alone; false when nothing is
  // carried (an option file's init commands ran after the set-up).
  bool carried_statement(std::string& out) const;

  // The default database a program's USE selected, or null.
  const char* database() const;
  // Whether causal reads are carried (wsrep_sync_wait other than 0).
  bool causal() const;
  // Whether a value of the variable name (any case) is carried.
  bool carries(const char* name) const { return find(name) != nullptr; }
  // False when a carried value would not pass its rule (an invariant).
  bool consistent() const;

 private:
  struct Change {
    std::string name, value;
    bool numeric;  // written bare: read back as a number, or a number read
    bool null;     // SQL NULL
    bool known;    // a value to write (a variable to read back has none yet)
  };
  Change& carry(const std::string& name);
  const Change* find(const char* name) const;  // a known value of name
  void append_changes(std::string& out, bool first) const;
  std::vector<Change> carried_;
  std::string database_;
  bool has_database_ = false;
  bool verify_ = false;
};

#endif
