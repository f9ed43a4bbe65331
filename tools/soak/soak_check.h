// The judgement of a fault soak: what the programs were told (their
// histories) against what the database holds at the end. Pure: it reads
// text lines and maps, so doctored histories and states can be judged as
// well as real ones.
//
// A history line, one per operation, fields separated by one space:
//   <ms> <prog> <kind> <token> <outcome> <code> <server> <items>
// ms: wall clock milliseconds when the answer came; prog: the program
// stream (sched1, d1, r1); kind: claim (a scheduler request), done (a
// daemon's update of one result and its counter), batch (a daemon's
// insert_batch), note (the reader's write read back on the replica), scan
// (a daemon's enumeration); token: the operation's identity, written into
// the database with its work; outcome: ok, failed, conflict, unknown, skip
// (nothing to do), lag (written, the replica not caught up in time), stale
// (the replica said it had applied the write and did not show it); code:
// the library's result; server: the server that answered, "-" for none;
// items: comma-separated result ids (claim, done) or row names (batch),
// "-" for none.
//
// A state line: "claim <id> <token>" (a result taken, with the request's
// token), "done <id> <token>" (a result over, with the daemon operation's
// token), "mark <token> <counter>", "counter <name> <n>", "batch <name>" (a
// result row by name), "note <token>" (on the primary), "replica equal" or
// "replica differ <why>".
//
// A fault line: "<start ms> <end ms> <kind> <nodes> <servers>", servers
// being those the fault took away, comma-separated ("-" for none).
#ifndef ORVEX_TOOLS_SOAK_SOAK_CHECK_H
#define ORVEX_TOOLS_SOAK_SOAK_CHECK_H

#include <map>
#include <set>
#include <string>
#include <vector>

struct SOAK_OP {
  long long ms = 0;
  std::string prog, kind, token, outcome;
  int code = 0;
  std::string server;
  std::vector<std::string> items;
};

struct SOAK_STATE {
  std::map<std::string, std::string> claimed;  // result id -> token
  std::map<std::string, std::string> done;     // result id -> token
  std::map<std::string, std::string> marks;    // token -> counter
  std::map<std::string, long long> counters;
  std::set<std::string> batch_names;
  std::set<std::string> notes;
  bool replica_checked = false;
  bool replica_equal = false;
  std::string replica_why;
};

struct SOAK_FAULT {
  long long start = 0, end = 0;
  std::string kind, nodes;
  std::vector<std::string> servers;
};

struct SOAK_VERDICT {
  std::vector<std::string> violations;
  int unknown_committed = 0;  // unknowns the database shows done
  int unknown_absent = 0;     // unknowns it shows not done
  int operations = 0;
};

// False when the line is not of its form.
bool parse_soak_op(const std::string& line, SOAK_OP& op);
bool parse_soak_state(const std::string& line, SOAK_STATE& state);
bool parse_soak_fault(const std::string& line, SOAK_FAULT& fault);

// Every rule: each unknown resolved, each ok present, each failed absent,
// nothing present that no operation reported, one claim per result,
// counters equal to their increments, the replica equal, and each program
// that ran across a fault's end making progress (an ok operation) within
// bound_ms of it, when the run went on that long (run_end).
SOAK_VERDICT judge_soak(const std::vector<SOAK_OP>& ops,
                        const SOAK_STATE& state,
                        const std::vector<SOAK_FAULT>& faults,
                        long long run_end, long long bound_ms);

#endif
