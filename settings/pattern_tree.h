// The first half of the pattern guard: reads a settings pattern the way
// regcomp reads an extended pattern (REG_EXTENDED, in the C locale, where
// settings patterns are compiled) and builds the tree regcomp builds, with
// every counted repetition expanded into its copies. Whatever it does not
// read exactly as regcomp does it refuses, so a reading that differs is a
// refusal, never a pass. What the tree costs is pattern_cost.h's to judge.
//
// Refused besides what regcomp refuses too: back-references (\1 to \9,
// which make regexec backtrack), escapes of letters and digits other than
// the GNU operators \w \W \s \S \b \B \< \> \` \' (a "\d" is a plain d to
// regcomp, never what its author meant), a "{" that does not begin a valid
// interval, a repetition of an anchor or with an anchor inside, a loop over
// a group that can match nothing (regcomp's closures explode on "()+{76}"),
// and a tree beyond the budget's size or depth. Stacked repetitions ("x*?",
// "x+*", "x{2}{3}") are read as regcomp reads them: each applies to what
// the one before it made.
#ifndef ORVEX_SETTINGS_PATTERN_TREE_H
#define ORVEX_SETTINGS_PATTERN_TREE_H

#include <cstdint>
#include <vector>

struct PATTERN_BUDGET;

// A set of bytes, 0..255.
struct PATTERN_BYTES {
  uint64_t w[4] = {0, 0, 0, 0};
  void add(int c) { w[c >> 6] |= uint64_t(1) << (c & 63); }
  bool has(int c) const { return w[c >> 6] >> (c & 63) & 1; }
  void add_range(int lo, int hi) {
    while (lo <= hi && (lo & 63)) add(lo++);
    for (; lo + 63 <= hi; lo += 64) w[lo >> 6] = ~uint64_t(0);
    while (lo <= hi) add(lo++);
  }
  void invert() {
    for (uint64_t& x : w) x = ~x;
  }
  // The one byte of a set of one byte, else -1.
  int single() const;
};

// LEAF reads one byte of its set; ASSERT is an anchor, which reads none.
enum class PATTERN_KIND : uint8_t {
  LEAF,
  EMPTY,
  ASSERT,
  GROUP,
  CAT,
  ALT,
  STAR
};

struct PATTERN_NODE {
  PATTERN_KIND kind;
  int a = -1, b = -1;     // children; ALT with b < 0 is "a or nothing"
  int set = -1;           // LEAF: index into PATTERN_TREE::sets
  int size = 1;           // nodes in this subtree
  int loops = 0;          // stars nested on the deepest path, this one included
  int repeats = 0;        // the same, counting "?" operators too
  bool anchored = false;  // an anchor in this subtree
};

class PATTERN_TREE {
 public:
  // Reads `pattern` (not null) into the members below, replacing what they
  // held. 0, or the error regcomp itself gives such a pattern (REG_EPAREN,
  // REG_EBRACK, REG_ECTYPE, REG_ECOLLATE, REG_ERANGE, REG_EESCAPE,
  // REG_BADRPT: regerror's words fit), or REG_ESPACE for one regcomp would
  // take that the reader refuses; *why then gets the reason in plain words
  // (a static text). Bounded by the budget's node and depth limits for any
  // input.
  int read(const char* pattern, const PATTERN_BUDGET& budget, const char** why);

  // Children come before their parents; root is the last node made.
  std::vector<PATTERN_NODE> nodes;
  std::vector<PATTERN_BYTES> sets;
  int root = -1;
  int anchors = 0;  // ASSERT nodes
};

#endif
