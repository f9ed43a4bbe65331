// The second half of the pattern guard: what a pattern's tree (read by
// pattern_tree.h) costs regcomp and regexec, judged against one budget.
//
// glibc's regcomp works out, for every node, the nodes it reaches without
// reading a byte, and copies them once per combination of anchors met on
// the way; its regexec builds a state of its lazy automaton (a set of live
// positions and a table of 256 or 512 pointers) at the first visit of each
// new set. The model: the follow sets of the tree's positions, the width of
// those closures, the longest run of anchors that one can pass without
// reading, the classes of bytes that the positions tell apart, and every
// state reachable over those classes, each weighed by what building it
// costs. Its figures were fitted to regcomp and regexec measured in fresh
// processes (fuzz/pattern_guard_fuzz.cpp measures both).
#ifndef ORVEX_SETTINGS_PATTERN_COST_H
#define ORVEX_SETTINGS_PATTERN_COST_H

#include "settings/pattern_tree.h"

// Every limit of the guard, in one place. Beyond them a pattern is refused.
// They keep regcomp under 50 ms and 64 MiB for any pattern, and one regexec
// over 256 bytes under 1 ms, in a new process, in the C locale (where the
// loader compiles every settings pattern).
struct PATTERN_BUDGET {
  int max_nodes = 1000;  // of the expanded tree, as regcomp builds it
  int max_depth = 256;   // nested groups
  // Stars nested or stacked over one atom ("?" counts one more); one less
  // once the pattern holds an anchor, whose closures regcomp copies per
  // anchor ("\\ba**" six times took seconds).
  int max_loops = 2;
  // Anchors passed in a row without reading a byte: regcomp's closures grow
  // about 1.3 times with each ("\\ba*" 12 times: 1.8 ms, 30 times: 150 ms).
  // Anchors side by side in alternatives ("^a$|^b$", "\\bXP\\b|...") pass
  // one or two each and cost nothing much.
  int max_anchor_run = 4;
  // Positions inside loops that one point reaches without reading: what
  // the loops of "(a*|b*){99}" multiply at compile time; fewer behind an
  // anchor ("^" before (a*|b*) 20 times: 1 ms, 40 times: 10 ms).
  int max_width = 64;
  int max_width_anchored = 24;
  // Positions, in loops or not, that an anchor met after a byte was read
  // reaches without reading (".*\\b(.{,12})xx": 0.5 ms a match).
  int max_width_inner = 8;
  // regexec's work, as measured under the fuzzer (its counting allocator
  // makes it dearer than in a program): building a state costs
  // `state_work` units and a unit per `bytes_per_unit` bytes that move on
  // from it (the table regexec fills: the 256 states of a 255-byte literal
  // take 0.45 ms, 336 states of dots 1.16 ms), four times over when it
  // holds an anchor (once per context); each group of positions that a
  // state reads on some bytes costs a unit per position in the state and
  // per position of the follow sets the group joins (40-60 ns each: 24
  // wide states of ".*(.{,99})", 16,000 units, 0.7-1.0 ms). Summed over
  // every state reachable, the work stays under max_work; max_states
  // bounds the guard's own search.
  int max_states = 600;
  long state_work = 35;
  long bytes_per_unit = 8;
  long max_work = 14000;
  long max_judging = 4000000;  // the guard's own word operations
};
constexpr PATTERN_BUDGET PATTERN_LIMITS{};

// What the guard found out about a pattern.
struct PATTERN_COST {
  int nodes = 0;   // nodes of the expanded tree
  int states = 0;  // states regexec may build (every context counted)
  long work = 0;   // the units of regexec's work (PATTERN_BUDGET)
};

// 0 when the tree's cost is within `budget`; else REG_ESPACE, with *why the
// reason (a static text). cost gets the figures counted so far. Bounded by
// the budget's max_judging for any tree.
int pattern_cost_judge(const PATTERN_TREE& tree, const PATTERN_BUDGET& budget,
                       PATTERN_COST& cost, const char** why);

#endif
