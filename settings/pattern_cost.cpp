// The cost model of settings patterns: follow sets over the tree's
// positions, then regexec's states breadth first over the byte classes.
#include "settings/pattern_cost.h"

#include <regex.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Kind = PATTERN_KIND;

class Judge {
 public:
  Judge(const PATTERN_TREE& tree, const PATTERN_BUDGET& budget,
        PATTERN_COST& cost)
      : tree_(tree), nodes_(tree.nodes), budget_(budget), cost_(cost) {}

  const char* run();

 private:
  const PATTERN_TREE& tree_;
  const std::vector<PATTERN_NODE>& nodes_;
  const PATTERN_BUDGET& budget_;
  PATTERN_COST& cost_;
};

// Flat bit rows: row(v, i) is the i-th row of `words` words.
struct Rows {
  size_t words;
  uint64_t* row(std::vector<uint64_t>& v, size_t i) const {
    return v.data() + i * words;
  }
  const uint64_t* row(const std::vector<uint64_t>& v, size_t i) const {
    return v.data() + i * words;
  }
  static bool bit(const uint64_t* r, int i) {
    return r[i >> 6] >> (i & 63) & 1;
  }
  static void set_bit(uint64_t* r, int i) {
    r[i >> 6] |= uint64_t(1) << (i & 63);
  }
  void or_in(uint64_t* to, const uint64_t* from) const {
    for (size_t w = 0; w < words; w++) to[w] |= from[w];
  }
  int count(const uint64_t* r) const {
    int n = 0;
    for (size_t w = 0; w < words; w++) n += __builtin_popcountll(r[w]);
    return n;
  }
};

const char* Judge::run() {
  const PATTERN_NODE& top = nodes_[tree_.root];
  const int max_loops = budget_.max_loops - (tree_.anchors ? 1 : 0);
  if (top.loops > max_loops || top.repeats > max_loops + 1) {
    return "repetitions stacked or nested too deep over one atom (as in "
           "a***, a???, ((a*)*)*, or a** with an anchor): compiling them "
           "takes too long";
  }
  // Positions: the tree's leaves, and its anchors, which read nothing.
  std::vector<int> pos_of(nodes_.size(), -1);
  std::vector<int> set_of;  // position -> byte set, -1 for an anchor
  for (size_t i = 0; i < nodes_.size(); i++) {
    Kind k = nodes_[i].kind;
    if (k != Kind::LEAF && k != Kind::ASSERT) continue;
    pos_of[i] = static_cast<int>(set_of.size());
    set_of.push_back(k == Kind::LEAF ? nodes_[i].set : -1);
  }
  const int positions = static_cast<int>(set_of.size());
  const Rows r{static_cast<size_t>(positions / 64 + 1)};  // and accept
  const size_t words = r.words;
  const int accept = static_cast<int>(words * 64 - 1);
  std::vector<uint64_t> first(nodes_.size() * words),
      last(nodes_.size() * words), follow(positions * words);
  std::vector<char> nullable(nodes_.size());
  long judging = 0;
  const char* too_costly = "it is too costly to judge";
  // Children come before their parents in nodes_.
  for (size_t i = 0; i < nodes_.size(); i++) {
    const PATTERN_NODE& n = nodes_[i];
    uint64_t* f = r.row(first, i);
    uint64_t* l = r.row(last, i);
    switch (n.kind) {
      case Kind::LEAF:
        r.set_bit(f, pos_of[i]);
        r.set_bit(l, pos_of[i]);
        break;
      case Kind::ASSERT:  // read by no byte, but what follows it is known
        r.set_bit(f, pos_of[i]);
        r.set_bit(l, pos_of[i]);
        nullable[i] = 1;
        break;
      case Kind::EMPTY: nullable[i] = 1; break;
      case Kind::GROUP:
      case Kind::ALT:
        r.or_in(f, r.row(first, n.a));
        r.or_in(l, r.row(last, n.a));
        nullable[i] = n.kind == Kind::ALT && n.b < 0 ? 1 : nullable[n.a];
        if (n.b >= 0) {
          r.or_in(f, r.row(first, n.b));
          r.or_in(l, r.row(last, n.b));
          nullable[i] |= nullable[n.b];
        }
        break;
      case Kind::STAR:
      case Kind::CAT: {
        const uint64_t* to = r.row(first, n.kind == Kind::CAT ? n.b : n.a);
        const uint64_t* from = r.row(last, n.a);
        for (int p = 0; p < positions; p++) {
          if (r.bit(from, p)) r.or_in(r.row(follow, p), to);
        }
        judging += positions * static_cast<long>(words);
        if (judging > budget_.max_judging) return too_costly;
        r.or_in(f, r.row(first, n.a));
        if (n.kind == Kind::STAR) {
          r.or_in(l, r.row(last, n.a));
          nullable[i] = 1;
        } else {
          if (nullable[n.a]) r.or_in(f, r.row(first, n.b));
          r.or_in(l, r.row(last, n.b));
          if (nullable[n.b]) r.or_in(l, r.row(last, n.a));
          nullable[i] = nullable[n.a] && nullable[n.b];
        }
        break;
      }
    }
  }
  const int root = tree_.root;
  // The widest closure in loops: the positions inside a loop that one
  // point reaches without reading. regcomp computes such closures per node
  // and again per loop that reaches them ("(a*|b*){99}"), and copies them
  // once more behind an anchor; positions outside loops ("^(95|98|Me|...)$",
  // the alternatives of a long list) cost it little however many.
  std::vector<char> in_loop(nodes_.size());
  for (size_t i = nodes_.size(); i-- > 0;) {
    const PATTERN_NODE& n = nodes_[i];
    bool inside = in_loop[i] || n.kind == Kind::STAR;
    if (n.a >= 0) in_loop[n.a] |= inside;
    if (n.b >= 0) in_loop[n.b] |= inside;
  }
  std::vector<uint64_t> looped(words);
  for (size_t i = 0; i < nodes_.size(); i++) {
    if (pos_of[i] >= 0 && in_loop[i]) r.set_bit(looped.data(), pos_of[i]);
  }
  auto loop_width = [&](const uint64_t* row) {
    int n = 0;
    for (size_t w = 0; w < words; w++) {
      n += __builtin_popcountll(row[w] & looped[w]);
    }
    return n;
  };
  // An anchor met after a byte was read ("x\\b", ".*^") is tested at every
  // position, and regexec keeps what follows it apart from the same
  // positions reached by reading: their closure, however plain, multiplies
  // its states (".*\\b(.{,16})xx": 0.6 ms a match, with .{,99} 8 ms).
  std::vector<uint64_t> after_read(words);
  for (int p = 0; p < positions; p++) {
    if (set_of[p] >= 0) r.or_in(after_read.data(), r.row(follow, p));
  }
  int width = loop_width(r.row(first, root)), anchored_width = 0;
  int inner_width = 0;
  for (int p = 0; p < positions; p++) {
    int n = loop_width(r.row(follow, p));
    width = std::max(width, n);
    if (set_of[p] >= 0) continue;
    anchored_width = std::max(anchored_width, n);
    if (r.bit(after_read.data(), p)) {
      inner_width = std::max(inner_width, r.count(r.row(follow, p)));
    }
  }
  if (width > budget_.max_width ||
      anchored_width > budget_.max_width_anchored) {
    return "too many ways to go on from one point (as in (a*|b*){99}): "
           "compiling it takes too long";
  }
  if (inner_width > budget_.max_width_inner) {
    return "too many ways to go on after an anchor that follows a character "
           "(as in .*\\b(.{,16})): matching it is slow";
  }
  // The longest run of anchors passed without reading, depth first with a
  // memo. No anchor stands in a loop, so the links between anchors form no
  // cycle (were there one, the judging bound would end the walk).
  if (tree_.anchors) {
    std::vector<int> run(positions, -1);  // anchors from here on, this one in
    std::vector<int> stack;
    int longest = 0;
    for (int start = 0; start < positions; start++) {
      if (set_of[start] >= 0 || run[start] >= 0) continue;
      stack.push_back(start);
      while (!stack.empty()) {
        int a = stack.back();
        const uint64_t* next = r.row(follow, a);
        int best = 0;
        bool ready = true;
        for (int q = 0; q < positions; q++) {
          if (set_of[q] >= 0 || !r.bit(next, q)) continue;
          if (run[q] < 0) {
            stack.push_back(q);
            ready = false;
          } else {
            best = std::max(best, run[q]);
          }
        }
        judging += positions;
        if (judging > budget_.max_judging) return too_costly;
        if (!ready) continue;
        stack.pop_back();
        run[a] = best + 1;
        longest = std::max(longest, run[a]);
        if (longest > budget_.max_anchor_run) {
          return "too many anchors (^ $ \\b \\< ...) in a row that can be "
                 "passed without reading a character: compiling them takes "
                 "too long";
        }
      }
    }
  }
  // Bytes that no position tells apart make one class: split the classes
  // by each position's set in turn. NUL ends the subject and is never read.
  std::vector<PATTERN_BYTES> parts(1);
  parts[0].add_range(1, 255);
  std::vector<uint64_t> anchors(words);
  for (int p = 0; p < positions; p++) {
    if (set_of[p] < 0) {
      r.set_bit(anchors.data(), p);
      continue;
    }
    const PATTERN_BYTES& s = tree_.sets[set_of[p]];
    for (size_t k = 0, n = parts.size(); k < n; k++) {
      PATTERN_BYTES in, out;
      bool has_in = false, has_out = false;
      for (int w = 0; w < 4; w++) {
        in.w[w] = parts[k].w[w] & s.w[w];
        out.w[w] = parts[k].w[w] & ~s.w[w];
        has_in |= in.w[w] != 0;
        has_out |= out.w[w] != 0;
      }
      if (!has_in || !has_out) continue;
      parts[k] = in;
      parts.push_back(out);
    }
    judging += static_cast<long>(parts.size());
  }
  // A class's column: the positions that read its bytes.
  const size_t class_count = parts.size();
  std::vector<int> class_bytes(class_count);
  for (size_t k = 0; k < class_count; k++) {
    for (uint64_t w : parts[k].w) class_bytes[k] += __builtin_popcountll(w);
  }
  std::vector<uint64_t> classes(class_count * words);
  for (size_t k = 0; k < class_count; k++) {
    int byte = 0;
    while (!parts[k].w[byte >> 6]) byte += 64;
    byte += __builtin_ctzll(parts[k].w[byte >> 6]);
    for (int p = 0; p < positions; p++) {
      if (set_of[p] >= 0 && tree_.sets[set_of[p]].has(byte)) {
        r.set_bit(r.row(classes, k), p);
      }
    }
  }
  judging += static_cast<long>(class_count) * positions;
  // Breadth first over the states, each kept as its bit row, found again
  // through an open-addressed table of their numbers.
  std::vector<int> follow_size(positions);
  for (int p = 0; p < positions; p++) {
    follow_size[p] = r.count(r.row(follow, p));
  }
  std::vector<uint64_t> states, from(words), to(words);
  states.reserve(words * 16);
  // Open addressing, kept under half full: small for small patterns, whose
  // judging is most of a cold settings load.
  size_t slots = 64;
  std::vector<int> slot(slots, -1);
  auto hash = [&r](const uint64_t* s) {
    uint64_t h = 0;
    for (size_t w = 0; w < r.words; w++) {
      h = (h ^ s[w]) * 0xff51afd7ed558ccdull;
      h ^= h >> 33;
    }
    return static_cast<size_t>(h ^ h >> 29);
  };
  auto same = [&r](const uint64_t* a, const uint64_t* b) {
    for (size_t w = 0; w < r.words; w++) {
      if (a[w] != b[w]) return false;
    }
    return true;
  };
  int count = 0;
  std::vector<char> contexts;  // per state: 4 when it holds an anchor
  // Adds the state `s` unless known; false when the states are too many.
  auto add = [&](const uint64_t* s) {
    size_t at = hash(s) & (slots - 1);
    for (; slot[at] >= 0; at = (at + 1) & (slots - 1)) {
      if (same(r.row(states, slot[at]), s)) return true;
    }
    bool anchored = false;
    for (size_t w = 0; w < words; w++) anchored |= (s[w] & anchors[w]) != 0;
    cost_.states += anchored ? 4 : 1;
    cost_.work += (anchored ? 4 : 1) * budget_.state_work;
    contexts.push_back(anchored ? 4 : 1);
    if (cost_.states > budget_.max_states) return false;
    slot[at] = count++;
    states.insert(states.end(), s, s + words);
    if (2 * static_cast<size_t>(count) >= slots) {
      slots *= 2;
      slot.assign(slots, -1);
      for (int q = 0; q < count; q++) {
        size_t to_slot = hash(r.row(states, q)) & (slots - 1);
        while (slot[to_slot] >= 0) to_slot = (to_slot + 1) & (slots - 1);
        slot[to_slot] = q;
      }
    }
    return true;
  };
  std::fill(to.begin(), to.end(), 0);
  r.or_in(to.data(), r.row(first, root));
  if (nullable[root]) r.set_bit(to.data(), accept);
  add(to.data());
  const uint64_t* final_positions = r.row(last, root);
  const char* too_large = "it can make matching slow: states too large";
  // regexec groups a state's positions by the bytes they read and joins
  // the follow sets of each group once: classes that read the same
  // positions from a state cost it one group.
  std::vector<uint64_t> groups, read(words);
  for (int q = 0; q < count; q++) {
    std::copy(states.begin() + q * words, states.begin() + (q + 1) * words,
              from.begin());
    long live = r.count(from.data());
    groups.clear();
    long bytes = 0;  // bytes that move on from this state
    for (size_t k = 0; k < class_count; k++) {
      const uint64_t* column = r.row(classes, k);
      bool any = false;
      for (size_t w = 0; w < words; w++) {
        read[w] = from[w] & column[w];
        any |= read[w] != 0;
      }
      judging += words;
      if (!any) continue;
      bytes += class_bytes[k];
      size_t known = 0, group_count = groups.size() / words;
      while (known < group_count && !same(r.row(groups, known), read.data())) {
        known++;
      }
      judging += static_cast<long>(known * words);
      if (known < group_count) continue;  // its successor is known too
      groups.insert(groups.end(), read.begin(), read.end());
      std::fill(to.begin(), to.end(), 0);
      long merged = 0;  // the follow sets joined into the next state
      for (size_t w = 0; w < words; w++) {
        // Every position read on this class, lowest first.
        for (uint64_t bits = read[w]; bits; bits &= bits - 1) {
          int p = static_cast<int>(w * 64) + __builtin_ctzll(bits);
          r.or_in(to.data(), r.row(follow, p));
          if (r.bit(final_positions, p)) r.set_bit(to.data(), accept);
          merged += follow_size[p];
          judging += words;
        }
      }
      cost_.work += live + merged;
      if (judging > budget_.max_judging) return too_costly;
      if (cost_.work > budget_.max_work) return too_large;
      if (!add(to.data())) return "it can make matching slow: too many states";
      if (cost_.work > budget_.max_work) return too_large;
    }
    cost_.work += contexts[q] * bytes / budget_.bytes_per_unit;
    if (cost_.work > budget_.max_work) return too_large;
  }
  return nullptr;
}

}  // namespace

int pattern_cost_judge(const PATTERN_TREE& tree, const PATTERN_BUDGET& budget,
                       PATTERN_COST& cost, const char** why) {
  cost = PATTERN_COST();
  cost.nodes = static_cast<int>(tree.nodes.size());
  const char* reason =
      tree.root < 0 ? "no tree" : Judge(tree, budget, cost).run();
  if (why) *why = reason;
  return reason ? REG_ESPACE : 0;
}
