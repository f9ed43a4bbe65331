#include "tools/soak/soak_check.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

bool to_ll(const std::string& s, long long& x) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  x = strtoll(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

std::vector<std::string> items_of(const std::string& s) {
  if (s == "-") return {};
  return split(s, ',');
}

// Progress: an operation the program finished as it meant to.
bool progress(const std::string& o) { return o == "ok" || o == "skip"; }

struct JUDGE {
  SOAK_VERDICT v;
  void bad(const std::string& what) { v.violations.push_back(what); }
  // An unknown whose effect the database shows wholly (present == total),
  // not at all (present == 0), or in part, which no outcome explains.
  // True when it took effect.
  bool resolve(const SOAK_OP& op, size_t present, size_t total) {
    if (present == 0) {
      ++v.unknown_absent;
      return false;
    }
    if (present == total) {
      ++v.unknown_committed;
      return true;
    }
    std::ostringstream m;
    m << op.kind << " " << op.token << ": outcome unknown, unresolved: the "
      << "database shows " << present << " of its " << total << " effects";
    bad(m.str());
    return false;
  }
};

}  // namespace

bool parse_soak_op(const std::string& line, SOAK_OP& op) {
  std::vector<std::string> f = split(line, ' ');
  long long code = 0;
  if (f.size() != 8 || !to_ll(f[0], op.ms) || !to_ll(f[5], code)) return false;
  for (int i : {1, 2, 3, 4, 6})
    if (f[i].empty()) return false;
  op.prog = f[1];
  op.kind = f[2];
  op.token = f[3];
  op.outcome = f[4];
  op.code = static_cast<int>(code);
  op.server = f[6];
  op.items = items_of(f[7]);
  return true;
}

bool parse_soak_state(const std::string& line, SOAK_STATE& state) {
  std::vector<std::string> f = split(line, ' ');
  long long n = 0;
  if (f[0] == "claim" && f.size() == 3) {
    state.claimed[f[1]] = f[2];
  } else if (f[0] == "done" && f.size() == 3) {
    state.done[f[1]] = f[2];
  } else if (f[0] == "mark" && f.size() == 3) {
    state.marks[f[1]] = f[2];
  } else if (f[0] == "counter" && f.size() == 3 && to_ll(f[2], n)) {
    state.counters[f[1]] = n;
  } else if (f[0] == "batch" && f.size() == 2) {
    state.batch_names.insert(f[1]);
  } else if (f[0] == "note" && f.size() == 2) {
    state.notes.insert(f[1]);
  } else if (f[0] == "replica" && f.size() >= 2 &&
             (f[1] == "equal" || f[1] == "differ")) {
    state.replica_checked = true;
    state.replica_equal = f[1] == "equal";
    state.replica_why = line.size() > 15 ? line.substr(15) : "";
  } else {
    return false;
  }
  return true;
}

bool parse_soak_fault(const std::string& line, SOAK_FAULT& fault) {
  std::vector<std::string> f = split(line, ' ');
  if (f.size() != 5 || !to_ll(f[0], fault.start) || !to_ll(f[1], fault.end))
    return false;
  fault.kind = f[2];
  fault.nodes = f[3];
  fault.servers = items_of(f[4]);
  return true;
}

SOAK_VERDICT judge_soak(const std::vector<SOAK_OP>& ops,
                        const SOAK_STATE& state,
                        const std::vector<SOAK_FAULT>& faults,
                        long long run_end, long long bound_ms) {
  JUDGE j;
  j.v.operations = static_cast<int>(ops.size());
  std::map<std::string, std::vector<std::string>> db_claims;  // token -> ids
  for (const auto& c : state.claimed) db_claims[c.second].push_back(c.first);
  std::map<std::string, std::vector<std::string>> claimers;  // id -> tokens
  std::map<std::string, long long> increments;               // counter -> n
  std::set<std::string> reported;  // every token a history names
  auto get = [](const std::map<std::string, std::string>& m,
                const std::string& k) {
    auto it = m.find(k);
    return it == m.end() ? std::string("none") : it->second;
  };

  for (const SOAK_OP& op : ops) {
    reported.insert(op.token);
    const std::string who = op.kind + " " + op.token;
    if (op.kind == "claim") {
      size_t held = db_claims.count(op.token) ? db_claims[op.token].size() : 0;
      size_t matching = 0;
      for (const auto& id : op.items)
        if (get(state.claimed, id) == op.token) ++matching;
      bool took = false;
      if (op.outcome == "ok") {
        took = true;
        if (matching != op.items.size() || held != op.items.size())
          j.bad(who + ": told ok for " + std::to_string(op.items.size()) +
                " results, the database gives it " + std::to_string(held) +
                " (lost claim)");
      } else if (op.outcome == "unknown") {
        took = j.resolve(op, matching, op.items.size());
        if (held != matching) j.bad(who + ": holds results it did not try");
      } else if (held != 0) {
        j.bad(who + ": told " + op.outcome + ", yet holds " +
              std::to_string(held) + " results");
      }
      if (took)
        for (const auto& id : op.items) claimers[id].push_back(op.token);
    } else if (op.kind == "done") {
      const std::string id = op.items.empty() ? "" : op.items[0];
      bool mark = state.marks.count(op.token) != 0;
      bool over = get(state.done, id) == op.token;
      size_t present = (mark ? 1 : 0) + (over ? 1 : 0);
      bool took = false;
      if (op.outcome == "ok") {
        took = true;
        if (present != 2)
          j.bad(who + ": told ok, the database lacks its " +
                (mark ? "update of result " + id : std::string("increment")) +
                " (lost update)");
      } else if (op.outcome == "unknown") {
        took = j.resolve(op, present, 2);
      } else if (present != 0) {
        j.bad(who + ": told " + op.outcome + ", yet its work is present");
      }
      if (took) ++increments[op.prog];
    } else if (op.kind == "batch") {
      size_t present = 0;
      for (const auto& n : op.items) present += state.batch_names.count(n);
      if (op.outcome == "ok") {
        if (present != op.items.size())
          j.bad(who + ": told ok, " + std::to_string(present) + " of " +
                std::to_string(op.items.size()) + " rows present");
      } else if (op.outcome == "unknown") {
        j.resolve(op, present, op.items.size());
      } else if (present != 0) {
        j.bad(who + ": told " + op.outcome + ", yet rows are present");
      }
    } else if (op.kind == "note") {
      bool present = state.notes.count(op.token) != 0;
      if (op.outcome == "stale") {
        j.bad(who +
              ": the replica said it had applied the write, and did "
              "not show it");
      } else if (op.outcome == "ok" || op.outcome == "lag") {
        if (!present) j.bad(who + ": told ok, missing on the primary");
      } else if (op.outcome == "unknown") {
        j.resolve(op, present ? 1 : 0, 1);
      } else if (present) {
        j.bad(who + ": told " + op.outcome + ", yet present");
      }
    }
  }

  for (const auto& c : claimers)
    if (c.second.size() > 1)
      j.bad("result " + c.first + " claimed by " +
            std::to_string(c.second.size()) + " requests: " + c.second[0] +
            " and " + c.second[1] + " (double claim)");
  for (const auto& c : db_claims)
    if (!reported.count(c.first))
      j.bad("results claimed by " + c.first + ", which no request reported");
  for (const auto& d : state.done)
    if (!reported.count(d.second))
      j.bad("result " + d.first + " over by " + d.second +
            ", which no operation reported");
  for (const auto& m : state.marks)
    if (!reported.count(m.first))
      j.bad("increment " + m.first + ", which no operation reported");
  for (const auto& n : state.notes)
    if (!reported.count(n))
      j.bad("note " + n + ", which no operation reported");
  std::set<std::string> names;
  for (const auto& c : state.counters) names.insert(c.first);
  for (const auto& c : increments) names.insert(c.first);
  for (const auto& name : names) {
    auto it = state.counters.find(name);
    long long in_db = it == state.counters.end() ? 0 : it->second;
    long long want = increments.count(name) ? increments[name] : 0;
    if (in_db != want)
      j.bad("counter " + name + " is " + std::to_string(in_db) + ", its " +
            "successful increments " + std::to_string(want));
  }
  if (!state.replica_checked)
    j.bad("the replica was not compared with the primary");
  else if (!state.replica_equal)
    j.bad("the replica differs from the primary: " + state.replica_why);

  std::map<std::string, long long> first;
  for (const SOAK_OP& op : ops)
    if (!first.count(op.prog) || op.ms < first[op.prog]) first[op.prog] = op.ms;
  for (const SOAK_FAULT& f : faults) {
    if (f.end + bound_ms > run_end) continue;
    for (const auto& p : first) {
      if (p.second >= f.end) continue;
      bool moved = false;
      for (const SOAK_OP& op : ops)
        if (op.prog == p.first && progress(op.outcome) && op.ms >= f.end &&
            op.ms <= f.end + bound_ms)
          moved = true;
      if (!moved)
        j.bad(p.first + " made no progress within " +
              std::to_string(bound_ms / 1000) + " s after " + f.kind + " " +
              f.nodes + " ended (wedged)");
    }
  }
  return j.v;
}
