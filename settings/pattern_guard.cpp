// Why a parser and not a bounded child process: the patterns are compiled
// at every load of every server program, the scheduler's on every request,
// and a fork there costs more than the whole load; a limit set on the
// program itself would end it rather than refuse the pattern. Reading the
// pattern costs microseconds for real settings patterns.
#include "settings/pattern_guard.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int MAX_DEPTH = 256;         // nested groups
constexpr long MAX_JUDGING = 4000000;  // the guard's own word operations
constexpr int DUP_MAX = 32767;         // regcomp's largest count
// regcomp copies the positions around an anchor into the closures of the
// loops that reach it, once per combination of anchors: beyond these, a
// pattern such as "\\ba**" six times over takes seconds to compile.
// Stars nested in stars, anchors, and the widest closure; with an anchor a
// star may not hold another (anchors come first in every real pattern).
constexpr int MAX_LOOPS = 2;
constexpr int MAX_ANCHORS = 6;
constexpr int MAX_WIDTH = 64;
constexpr int MAX_WIDTH_ANCHORED = 24;

enum class Kind : uint8_t { LEAF, EMPTY, ASSERT, GROUP, CAT, ALT, STAR };

struct Node {
  Kind kind;
  int a = -1, b = -1;     // children; ALT with b < 0 is "a or nothing"
  int set = -1;           // LEAF: index of its byte set
  int size = 1;           // nodes in this subtree
  int loops = 0;          // stars nested on the deepest path, this one included
  int repeats = 0;        // the same, counting "?" operators too
  bool anchored = false;  // an anchor in this subtree
};

struct ByteSet {
  uint64_t w[4] = {0, 0, 0, 0};
  void add(int c) { w[c >> 6] |= uint64_t(1) << (c & 63); }
  bool has(int c) const { return w[c >> 6] >> (c & 63) & 1; }
  void add_range(int lo, int hi) {
    for (int c = lo; c <= hi; c++) add(c);
  }
  void invert() {
    for (uint64_t& x : w) x = ~x;
  }
  // The one byte of a set of one byte, else -1.
  int single() const {
    int n = 0, at = -1;
    for (int i = 0; i < 4; i++) {
      n += __builtin_popcountll(w[i]);
      if (w[i]) at = i * 64 + __builtin_ctzll(w[i]);
    }
    return n == 1 ? at : -1;
  }
};

// The classes of the C locale, whatever locale the process is in.
bool in_class(const char* name, int c) {
  bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
  bool digit = c >= '0' && c <= '9';
  bool graph = c >= 33 && c <= 126;
  if (!strcmp(name, "alpha")) return upper || lower;
  if (!strcmp(name, "upper")) return upper;
  if (!strcmp(name, "lower")) return lower;
  if (!strcmp(name, "digit")) return digit;
  if (!strcmp(name, "alnum")) return upper || lower || digit;
  if (!strcmp(name, "xdigit")) {
    return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  if (!strcmp(name, "space")) return c == ' ' || (c >= '\t' && c <= '\r');
  if (!strcmp(name, "blank")) return c == ' ' || c == '\t';
  if (!strcmp(name, "print")) return c >= 32 && c <= 126;
  if (!strcmp(name, "graph")) return graph;
  if (!strcmp(name, "punct")) return graph && !upper && !lower && !digit;
  if (!strcmp(name, "cntrl")) return c < 32 || c == 127;
  return false;
}

bool known_class(const char* name) {
  static const char* const names[] = {"alpha", "upper",  "lower", "digit",
                                      "alnum", "xdigit", "space", "blank",
                                      "print", "graph",  "punct", "cntrl"};
  for (const char* n : names) {
    if (!strcmp(n, name)) return true;
  }
  return false;
}

class Guard {
 public:
  explicit Guard(const char* pattern) : p_(pattern) {}

  int judge(PATTERN_COST& cost, const char*& why) {
    int root = regexp(0);
    cost.nodes = static_cast<int>(nodes_.size());
    if (root >= 0 && *p_) refuse("a \")\" without its \"(\"");
    if (root >= 0 && !why_) automaton(root, cost);
    why = why_;
    return why_ ? code_ : 0;
  }

 private:
  // `code`: regcomp's own error for a pattern it refuses too; REG_ESPACE
  // for one it would take.
  int refuse(const char* why, int code = REG_ESPACE) {
    if (!why_) {
      why_ = why;
      code_ = code;
    }
    return -1;
  }

  const char* reject(const char* why) {
    refuse(why);
    return why_;
  }

  int make(Kind kind, int a = -1, int b = -1, int set = -1) {
    int size =
        1 + (a >= 0 ? nodes_[a].size : 0) + (b >= 0 ? nodes_[b].size : 0);
    if (static_cast<int>(nodes_.size()) >= PATTERN_MAX_NODES) {
      return refuse("it repeats too much: it would compile too large");
    }
    Node n;
    n.kind = kind;
    n.a = a;
    n.b = b;
    n.set = set;
    n.size = size;
    n.anchored = kind == Kind::ASSERT;
    for (int child : {a, b}) {
      if (child < 0) continue;
      n.loops = std::max(n.loops, nodes_[child].loops);
      n.repeats = std::max(n.repeats, nodes_[child].repeats);
      n.anchored |= nodes_[child].anchored;
    }
    if (kind == Kind::STAR &&
        (++n.loops > max_loops() || ++n.repeats > max_loops() + 1)) {
      return refuse(too_deep);
    }
    nodes_.push_back(n);
    return static_cast<int>(nodes_.size()) - 1;
  }

  int leaf(const ByteSet& s) {
    sets_.push_back(s);
    return make(Kind::LEAF, -1, -1, static_cast<int>(sets_.size()) - 1);
  }

  // A copy of the subtree n, children first, as regcomp duplicates it.
  int copy(int n) {
    if (static_cast<int>(nodes_.size()) + nodes_[n].size > PATTERN_MAX_NODES) {
      return refuse("it repeats too much: it would compile too large");
    }
    Node old = nodes_[n];
    int a = old.a >= 0 ? copy(old.a) : -1;
    int b = old.b >= 0 ? copy(old.b) : -1;
    if ((old.a >= 0 && a < 0) || (old.b >= 0 && b < 0)) return -1;
    return make(old.kind, a, b, old.set);
  }

  // regexp := branch ("|" branch)*
  int regexp(int depth) {
    int tree = branch(depth);
    while (tree >= 0 && *p_ == '|') {
      p_++;
      int next = branch(depth);
      if (next < 0) return -1;
      tree = make(Kind::ALT, tree, next);
    }
    return tree;
  }

  // branch := piece*, ended by "|", ")" or the end; may be empty.
  int branch(int depth) {
    int tree = -1;
    while (*p_ && *p_ != '|' && *p_ != ')') {
      int next = piece(depth);
      if (next < 0) return -1;
      tree = tree < 0 ? next : make(Kind::CAT, tree, next);
      if (tree < 0) return -1;
    }
    return tree < 0 ? make(Kind::EMPTY) : tree;
  }

  // piece := atom repetition*; every repetition applies to the result of
  // the one before it, as regcomp applies them.
  int piece(int depth) {
    bool assertion = false;
    int tree = atom(depth, assertion);
    while (tree >= 0 &&
           (*p_ == '*' || *p_ == '+' || *p_ == '?' || *p_ == '{')) {
      if (assertion) return refuse("a repetition of an anchor");
      int lo, hi;  // hi < 0: no upper bound
      char op = *p_++;
      if (op == '*') {
        lo = 0, hi = -1;
      } else if (op == '+') {
        lo = 1, hi = -1;
      } else if (op == '?') {
        lo = 0, hi = 1;
      } else if (!interval(lo, hi)) {
        return -1;
      }
      tree = repeat(tree, lo, hi);
      // "x?" over what may already match nothing costs regcomp as a star
      // does ("x???...*" took 50 ms); intervals' own optional copies do not.
      if (tree >= 0 && op == '?' && ++nodes_[tree].repeats > max_loops() + 1) {
        return refuse(too_deep);
      }
    }
    return tree;
  }

  // After "{": n}, n,}, ,m}, n,m} or ,} (0 up to no bound).
  bool interval(int& lo, int& hi) {
    bool too_big = false;
    auto number = [this, &too_big](int& value) {
      if (*p_ < '0' || *p_ > '9') return false;
      value = 0;
      while (*p_ >= '0' && *p_ <= '9') {
        value = value * 10 + (*p_++ - '0');
        if (value > DUP_MAX) {
          too_big = true;
          return false;
        }
      }
      return true;
    };
    const char* bad =
        "a \"{\" that does not begin a count such as {2}, "
        "{2,}, {,5} or {2,5} (write \\{ for the character)";
    bool has_lo = number(lo);
    if (too_big) {
      refuse("a count above 32767");
      return false;
    }
    if (!has_lo) lo = 0;
    if (*p_ == ',') {
      p_++;
      if (*p_ == '}') {
        hi = -1;
      } else if (!number(hi)) {
        refuse(too_big ? "a count above 32767" : bad);
        return false;
      }
    } else if (has_lo) {
      hi = lo;
    } else {
      refuse(bad);
      return false;
    }
    if (*p_ != '}') {
      refuse(bad);
      return false;
    }
    p_++;
    if (hi >= 0 && lo > hi) {
      refuse("a count whose lower bound is above its upper bound");
      return false;
    }
    return true;
  }

  // Whether the subtree at i matches the empty text. Children come before
  // their parents, and a chain is at most PATTERN_MAX_NODES deep.
  bool can_be_empty(int i) const {
    const Node& n = nodes_[i];
    switch (n.kind) {
      case Kind::LEAF: return false;
      case Kind::EMPTY:
      case Kind::ASSERT:
      case Kind::STAR: return true;
      case Kind::GROUP: return can_be_empty(n.a);
      case Kind::CAT: return can_be_empty(n.a) && can_be_empty(n.b);
      case Kind::ALT: return n.b < 0 || can_be_empty(n.a) || can_be_empty(n.b);
    }
    return true;
  }

  // x{lo,hi} as regcomp builds it: lo copies, then x* or the nested
  // optional copies ((x? x)? x)? up to hi. x{0} and x{0,0} vanish.
  int repeat(int elem, int lo, int hi) {
    if (nodes_[elem].anchored) {
      return refuse("an anchor (^ $ \\b \\< ...) inside a repetition");
    }
    if (lo == 0 && hi == 0) return make(Kind::EMPTY);
    // A loop or copies of a group that can match nothing ("()+{76}",
    // "(a*)+") make regcomp's closures explode (over 2 s for "a$.*()+{76}",
    // 21 bytes). A lone repeated set that can match nothing (".*+", ".*?")
    // stays allowed.
    const Node& e = nodes_[elem];
    bool lone_set = e.kind == Kind::STAR && nodes_[e.a].kind == Kind::LEAF;
    if ((hi < 0 || std::max(lo, hi) > 1) && !lone_set && can_be_empty(elem)) {
      return refuse("a repetition of a group that can match nothing");
    }
    long copies = std::max(lo, hi) + 1L;
    if (static_cast<long>(nodes_.size()) + copies * (nodes_[elem].size + 2) >
        PATTERN_MAX_NODES) {
      return refuse("it repeats too much: it would compile too large");
    }
    int tree = elem, head = -1;
    if (lo > 0) {
      for (int i = 2; i <= lo && tree >= 0; i++) {
        elem = copy(elem);
        if (elem < 0) return -1;
        tree = make(Kind::CAT, tree, elem);
      }
      if (tree < 0 || lo == hi) return tree;
      elem = copy(elem);
      if (elem < 0) return -1;
      head = tree;
    }
    tree = make(hi < 0 ? Kind::STAR : Kind::ALT, elem);
    for (int i = lo + 2; i <= hi && tree >= 0; i++) {
      elem = copy(elem);
      if (elem < 0) return -1;
      tree = make(Kind::CAT, tree, elem);
      if (tree >= 0) tree = make(Kind::ALT, tree);
    }
    if (tree >= 0 && head >= 0) tree = make(Kind::CAT, head, tree);
    return tree;
  }

  int max_loops() const { return anchors_ ? 1 : MAX_LOOPS; }
  const char* const too_deep =
      "repetitions stacked or nested too deep over one atom (as in a***, "
      "a???, ((a*)*)*, or a** after an anchor): compiling them takes too long";

  int anchor() {
    if (++anchors_ > MAX_ANCHORS) {
      return refuse(
          "more than six anchors (^ $ \\b \\< ...): compiling "
          "them takes too long");
    }
    return make(Kind::ASSERT);
  }

  int atom(int depth, bool& assertion) {
    char c = *p_++;
    ByteSet s;
    switch (c) {
      case '(': {
        if (depth >= MAX_DEPTH) return refuse("groups nested too deep");
        int inner = regexp(depth + 1);
        if (inner < 0) return -1;
        if (*p_ != ')') return refuse("a \"(\" without its \")\"", REG_EPAREN);
        p_++;
        return make(Kind::GROUP, inner);
      }
      case '*':
      case '+':
      case '?':
      case '{':
        return refuse("a repetition with nothing before it to repeat",
                      REG_BADRPT);
      case '^':
      case '$': assertion = true; return anchor();
      case '.': s.add_range(1, 255); return leaf(s);
      case '[': return bracket();
      case '\\': return escape(assertion);
      default: s.add(static_cast<unsigned char>(c)); return leaf(s);
    }
  }

  int escape(bool& assertion) {
    unsigned char c = static_cast<unsigned char>(*p_);
    if (!c) return refuse("it ends with a backslash", REG_EESCAPE);
    p_++;
    ByteSet s;
    if (c >= '1' && c <= '9') {
      return refuse(
          "a back-reference (\\1 to \\9): matching it can take "
          "exponential time");
    }
    switch (c) {
      case 'w':
      case 'W':
        for (int b = 0; b < 256; b++) {
          if (in_class("alnum", b) || b == '_') s.add(b);
        }
        if (c == 'W') s.invert();
        return leaf(s);
      case 's':
      case 'S':
        for (int b = 0; b < 256; b++) {
          if (in_class("space", b)) s.add(b);
        }
        if (c == 'S') s.invert();
        return leaf(s);
      case 'b':
      case 'B':
      case '<':
      case '>':
      case '`':
      case '\'': assertion = true; return anchor();
      default: break;
    }
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
        (c >= 'A' && c <= 'Z')) {
      return refuse(
          "a backslash before a letter or digit, which the "
          "compiler reads as the plain character (\\d is d)");
    }
    s.add(c);
    return leaf(s);
  }

  // One element of a bracket expression: a byte, [.c.], [=c=] or, when
  // class_ok, [:name:]. Sets `single` to its byte when it is one.
  bool bracket_element(ByteSet& s, int& single, bool& is_class) {
    single = -1;
    is_class = false;
    if (p_[0] == '[' && (p_[1] == '.' || p_[1] == '=' || p_[1] == ':')) {
      char delim = p_[1];
      const char* name = p_ + 2;
      const char* end = name;
      while (*end && !(end[0] == delim && end[1] == ']')) end++;
      if (!*end || end - name > 31) {
        refuse("an unclosed [. [= or [: in a bracket expression", REG_EBRACK);
        return false;
      }
      std::string text(name, end);
      p_ = end + 2;
      if (delim == ':') {
        if (!known_class(text.c_str())) {
          refuse("an unknown character class (alpha, digit, space, ...)",
                 REG_ECTYPE);
          return false;
        }
        for (int b = 0; b < 256; b++) {
          if (in_class(text.c_str(), b)) s.add(b);
        }
        is_class = true;
        return true;
      }
      if (text.size() != 1) {
        refuse(
            "a collating element or equivalence class of more than one "
            "character",
            REG_ECOLLATE);
        return false;
      }
      single = static_cast<unsigned char>(text[0]);
      s.add(single);
      return true;
    }
    single = static_cast<unsigned char>(*p_++);
    s.add(single);
    return true;
  }

  // After "[": [^...], "]" first is a member, "-" first or last is one,
  // ranges by byte value (the C locale's order), a backslash is itself.
  int bracket() {
    ByteSet s;
    bool negated = *p_ == '^';
    if (negated) p_++;
    for (bool first = true;; first = false) {
      if (!*p_) return refuse("a \"[\" without its \"]\"", REG_EBRACK);
      if (*p_ == ']' && !first) {
        p_++;
        break;
      }
      if (*p_ == '-' && !first && p_[1] != ']') {
        return refuse(
            "a \"-\" in a bracket expression that is neither "
            "first, last nor part of a range",
            REG_ERANGE);
      }
      int lo;
      bool is_class;
      if (!bracket_element(s, lo, is_class)) return -1;
      if (*p_ != '-' || p_[1] == ']' || !p_[1]) continue;
      p_++;  // a range
      if (is_class || (p_[0] == '[' && p_[1] == '=') ||
          (p_[0] == '[' && p_[1] == ':')) {
        return refuse("a range with a class at one end", REG_ERANGE);
      }
      int hi;
      ByteSet ignored;
      if (!bracket_element(ignored, hi, is_class)) return -1;
      if (hi < lo) {
        return refuse("a range whose end comes before its start", REG_ERANGE);
      }
      s.add_range(lo, hi);
    }
    if (negated) s.invert();
    return leaf(s);
  }

  // The states regexec may build: sets of positions that may read the next
  // byte (the tree's leaves; anchors are positions that read none), from the
  // start set, over every class of bytes that the leaves tell apart. A set
  // that holds an anchor may be built once per context (after a word byte,
  // after a newline, at the start of the subject, elsewhere): four states.
  const char* automaton(int root, PATTERN_COST& cost) {
    std::vector<int> pos_of(nodes_.size(), -1);
    std::vector<int> set_of;  // position -> byte set, -1 for an anchor
    for (size_t i = 0; i < nodes_.size(); i++) {
      Kind k = nodes_[i].kind;
      if (k != Kind::LEAF && k != Kind::ASSERT) continue;
      pos_of[i] = static_cast<int>(set_of.size());
      set_of.push_back(k == Kind::LEAF ? nodes_[i].set : -1);
    }
    const int positions = static_cast<int>(set_of.size());
    const size_t words = positions / 64 + 1;  // and the accept bit
    const int accept = static_cast<int>(words * 64 - 1);
    // Flat bit rows: row(v, i) is the i-th row of `words` words.
    auto row = [words](std::vector<uint64_t>& v, size_t i) {
      return v.data() + i * words;
    };
    auto bit = [](const uint64_t* r, int i) {
      return r[i >> 6] >> (i & 63) & 1;
    };
    auto set_bit = [](uint64_t* r, int i) {
      r[i >> 6] |= uint64_t(1) << (i & 63);
    };
    auto or_in = [words](uint64_t* to, const uint64_t* from) {
      for (size_t w = 0; w < words; w++) to[w] |= from[w];
    };
    std::vector<uint64_t> first(nodes_.size() * words),
        last(nodes_.size() * words), follow(positions * words);
    std::vector<char> nullable(nodes_.size());
    long judging = 0;
    // Children come before their parents in nodes_.
    for (size_t i = 0; i < nodes_.size(); i++) {
      const Node& n = nodes_[i];
      uint64_t* f = row(first, i);
      uint64_t* l = row(last, i);
      switch (n.kind) {
        case Kind::LEAF:
          set_bit(f, pos_of[i]);
          set_bit(l, pos_of[i]);
          break;
        case Kind::ASSERT:  // nothing is read after it alone
          set_bit(f, pos_of[i]);
          nullable[i] = 1;
          break;
        case Kind::EMPTY: nullable[i] = 1; break;
        case Kind::GROUP:
        case Kind::ALT:
          or_in(f, row(first, n.a));
          or_in(l, row(last, n.a));
          nullable[i] = n.kind == Kind::ALT && n.b < 0 ? 1 : nullable[n.a];
          if (n.b >= 0) {
            or_in(f, row(first, n.b));
            or_in(l, row(last, n.b));
            nullable[i] |= nullable[n.b];
          }
          break;
        case Kind::STAR:
        case Kind::CAT: {
          const uint64_t* to = row(first, n.kind == Kind::CAT ? n.b : n.a);
          const uint64_t* from = row(last, n.a);
          for (int p = 0; p < positions; p++) {
            if (bit(from, p)) or_in(row(follow, p), to);
          }
          judging += positions * static_cast<long>(words);
          if (judging > MAX_JUDGING) return reject("it is too costly to judge");
          or_in(f, row(first, n.a));
          if (n.kind == Kind::STAR) {
            or_in(l, row(last, n.a));
            nullable[i] = 1;
          } else {
            if (nullable[n.a]) or_in(f, row(first, n.b));
            or_in(l, row(last, n.b));
            if (nullable[n.b]) or_in(l, row(last, n.a));
            nullable[i] = nullable[n.a] && nullable[n.b];
          }
          break;
        }
      }
    }
    // regcomp works out, for every node, the nodes it reaches without
    // reading (and copies them per anchor on the way): the width of those
    // closures, times itself with anchors, is the cost that the loops of
    // "(a*|b*){99}" multiply.
    int width = 0;
    for (int p = 0; p <= positions; p++) {
      const uint64_t* r = p < positions ? row(follow, p) : row(first, root);
      int n = 0;
      for (size_t w = 0; w < words; w++) n += __builtin_popcountll(r[w]);
      width = std::max(width, n);
    }
    if (width > (anchors_ ? MAX_WIDTH_ANCHORED : MAX_WIDTH)) {
      return reject(
          "too many ways to go on from one point (as in "
          "(a*|b*){99}): compiling it takes too long");
    }
    // Bytes that no position tells apart make one class. NUL ends the
    // subject and is never read.
    std::vector<uint64_t> columns(256 * words);
    std::vector<uint64_t> anchors(words);
    for (int p = 0; p < positions; p++) {
      if (set_of[p] < 0) {
        set_bit(anchors.data(), p);
        continue;
      }
      const ByteSet& s = sets_[set_of[p]];
      int only = s.single();
      if (only >= 0) {
        set_bit(row(columns, only), p);
        continue;
      }
      for (int c = 1; c < 256; c++) {
        if (s.has(c)) set_bit(row(columns, c), p);
      }
    }
    // Refine the classes position by position: bytes stay together while
    // every set so far holds both or neither.
    int class_of[256] = {};
    int class_size[256] = {255};
    size_t class_count = 1;
    for (int p = 0; p < positions; p++) {
      if (set_of[p] < 0) continue;
      const ByteSet& s = sets_[set_of[p]];
      int only = s.single();
      if (only > 0) {  // a plain character: it leaves its class, if shared
        int& old = class_of[only];
        if (class_size[old] == 1) continue;
        class_size[old]--;
        old = static_cast<int>(class_count++);
        class_size[old] = 1;
        continue;
      }
      int renamed[2][256];
      std::fill(&renamed[0][0], &renamed[0][0] + 2 * 256, -1);
      size_t next = 0;
      for (int c = 1; c < 256; c++) {
        int& to_class = renamed[s.has(c)][class_of[c]];
        if (to_class < 0) {
          to_class = static_cast<int>(next++);
          class_size[to_class] = 0;
        }
        class_of[c] = to_class;
      }
      for (int c = 1; c < 256; c++) class_size[class_of[c]]++;
      class_count = next;
    }
    std::vector<uint64_t> classes(class_count * words);
    for (int c = 1; c < 256; c++) {
      std::copy(row(columns, c), row(columns, c) + words,
                row(classes, class_of[c]));
    }
    judging += 256L * class_count * words;
    // Breadth first over the states, each kept as its bit row, found again
    // through an open-addressed table of their numbers.
    std::vector<uint64_t> states, from(words), to(words);
    states.reserve(words * 16);
    constexpr size_t SLOTS = 1024;  // above twice PATTERN_MAX_STATES + 1
    static_assert(SLOTS > 2 * (PATTERN_MAX_STATES + 1), "table too small");
    std::vector<int> slot(SLOTS, -1);
    int count = 0;
    // Adds the state `r` unless known; false when the states are too many.
    auto add = [&](const uint64_t* r) {
      uint64_t h = 1469598103934665603ull;
      for (size_t w = 0; w < words; w++) h = (h ^ r[w]) * 1099511628211ull;
      size_t at = (h ^ h >> 29) & (SLOTS - 1);
      for (; slot[at] >= 0; at = (at + 1) & (SLOTS - 1)) {
        if (!memcmp(row(states, slot[at]), r, words * sizeof(uint64_t)))
          return true;
      }
      bool anchored = false;
      for (size_t w = 0; w < words; w++) anchored |= (r[w] & anchors[w]) != 0;
      cost.states += anchored ? 4 : 1;
      cost.work += (anchored ? 4 : 1) * PATTERN_STATE_WORK;
      if (cost.states > PATTERN_MAX_STATES) return false;
      slot[at] = count++;
      states.insert(states.end(), r, r + words);
      return true;
    };
    std::fill(to.begin(), to.end(), 0);
    or_in(to.data(), row(first, root));
    if (nullable[root]) set_bit(to.data(), accept);
    add(to.data());
    const uint64_t* final_positions = row(last, root);
    const char* too_many = "it can make matching slow: too many states";
    for (int q = 0; q < count; q++) {
      std::copy(states.begin() + q * words, states.begin() + (q + 1) * words,
                from.begin());
      long live = 0;
      for (size_t w = 0; w < words; w++) live += __builtin_popcountll(from[w]);
      for (size_t k = 0; k < class_count; k++) {
        const uint64_t* column = row(classes, k);
        std::fill(to.begin(), to.end(), 0);
        bool any = false;
        for (size_t w = 0; w < words; w++) {
          // Every position read on this class, lowest first.
          for (uint64_t read = from[w] & column[w]; read; read &= read - 1) {
            int p = static_cast<int>(w * 64) + __builtin_ctzll(read);
            or_in(to.data(), row(follow, p));
            if (bit(final_positions, p)) set_bit(to.data(), accept);
            judging += words;
            any = true;
          }
        }
        judging += words;
        if (!any) continue;
        cost.work += live;
        if (judging > MAX_JUDGING) return reject("it is too costly to judge");
        if (cost.work > PATTERN_MAX_WORK) {
          return reject("it can make matching slow: states too large");
        }
        if (!add(to.data())) return reject(too_many);
        if (cost.work > PATTERN_MAX_WORK) {
          return reject("it can make matching slow: states too large");
        }
      }
    }
    return nullptr;
  }

  const char* p_;
  const char* why_ = nullptr;
  int code_ = 0;
  int anchors_ = 0;
  std::vector<Node> nodes_;
  std::vector<ByteSet> sets_;
};

}  // namespace

int paramdeck_pattern_check(const char* pattern, const char** why,
                            PATTERN_COST* cost) {
  PATTERN_COST scratch;
  PATTERN_COST& out = cost ? *cost : scratch;
  out = PATTERN_COST();
  const char* reason = "no pattern";
  int code = REG_ESPACE;
  if (pattern) code = Guard(pattern).judge(out, reason);
  if (why) *why = code ? reason : nullptr;
  return code;
}

int paramdeck_compile_pattern(regex_t* re, const char* pattern) {
  int code = paramdeck_pattern_check(pattern);
  return code ? code : regcomp(re, pattern, REG_EXTENDED | REG_NOSUB);
}
