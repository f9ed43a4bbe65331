// The soak checker's judgement (tools/soak/soak_check.h) on doctored runs:
// one clean run, and each change to its history or final state that the
// checker must refuse, or accept with the unknown resolved the other way.
#include "tools/soak/soak_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kHistory =
    "1000 sched1 claim s1 ok 0 a:1 1,2\n"
    "1100 sched2 claim s2 unknown -245 a:2 3\n"
    "1200 d1 done t1 ok 0 a:1 1\n"
    "1300 d1 batch b1 ok 0 a:1 b1-0,b1-1\n"
    "1400 r1 note n1 ok 0 p:1 -\n";
const char* const kState =
    "claim 1 s1\nclaim 2 s1\nclaim 3 s2\ndone 1 t1\nmark t1 d1\n"
    "counter d1 1\nbatch b1-0\nbatch b1-1\nnote n1\nreplica equal\n";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l))
    if (!l.empty()) out.push_back(l);
  return out;
}

// base without the lines of drop, with those of add.
std::vector<std::string> edit(const char* base, const char* drop,
                              const char* add) {
  std::vector<std::string> out = lines(base), gone = lines(drop);
  out.erase(std::remove_if(out.begin(), out.end(),
                           [&](const std::string& l) {
                             return std::count(gone.begin(), gone.end(), l);
                           }),
            out.end());
  for (const auto& l : lines(add)) out.push_back(l);
  return out;
}

TEST(SoakCheck, RefusesEveryDoctoredRun) {
  struct {
    const char *name, *hist_drop, *hist_add, *state_drop, *state_add, *faults;
    const char* want;  // in a violation; "" for a clean verdict
    int committed, absent;
  } cases[] = {
      {"clean", "", "", "", "", "", "", 1, 0},
      {"unknown not done", "", "", "claim 3 s2", "", "", "", 0, 1},
      {"lost update", "", "", "mark t1 d1", "", "", "(lost update)", 1, 0},
      {"lost claim", "", "", "claim 2 s1", "", "", "(lost claim)", 1, 0},
      {"double claim", "", "1500 sched2 claim s5 ok 0 a:2 1", "", "", "",
       "(double claim)", 1, 0},
      {"unresolved unknown", "1100 sched2 claim s2 unknown -245 a:2 3",
       "1100 sched2 claim s2 unknown -245 a:2 3,4", "", "", "",
       "outcome unknown, unresolved", 0, 0},
      {"counter off by one", "", "", "counter d1 1", "counter d1 0", "",
       "counter d1 is 0, its successful increments 1", 1, 0},
      {"failed, yet done", "1200 d1 done t1 ok 0 a:1 1",
       "1200 d1 done t1 failed 2013 a:1 1", "", "", "",
       "told failed, yet its work is present", 1, 0},
      {"claim no request made", "", "", "", "claim 9 zz", "",
       "claimed by zz, which no request reported", 1, 0},
      {"stale replica read", "1400 r1 note n1 ok 0 p:1 -",
       "1400 r1 note n1 stale 0 p:1 -", "", "", "", "did not show it", 1, 0},
      {"replica differs", "", "", "replica equal",
       "replica differ checksum 1 against 2", "", "differs from the primary", 1,
       0},
      {"batch row lost", "", "", "batch b1-1", "", "", "1 of 2 rows present", 1,
       0},
      {"wedged after a fault", "", "", "", "", "1150 1160 kill galera1 a:1",
       "sched1 made no progress within 30 s", 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SOAK_OP> ops;
    for (const auto& l : edit(kHistory, c.hist_drop, c.hist_add)) {
      SOAK_OP op;
      ASSERT_TRUE(parse_soak_op(l, op)) << l;
      ops.push_back(op);
    }
    SOAK_STATE state;
    for (const auto& l : edit(kState, c.state_drop, c.state_add))
      ASSERT_TRUE(parse_soak_state(l, state)) << l;
    std::vector<SOAK_FAULT> faults;
    for (const auto& l : lines(c.faults)) {
      SOAK_FAULT f;
      ASSERT_TRUE(parse_soak_fault(l, f)) << l;
      faults.push_back(f);
    }
    SOAK_VERDICT v = judge_soak(ops, state, faults, 60000, 30000);
    std::string all;
    for (const auto& m : v.violations) all += m + "\n";
    if (!*c.want) {
      EXPECT_EQ(all, "");
    } else {
      EXPECT_NE(all.find(c.want), std::string::npos) << all;
    }
    EXPECT_EQ(v.unknown_committed, c.committed);
    EXPECT_EQ(v.unknown_absent, c.absent);
  }
}

}  // namespace
