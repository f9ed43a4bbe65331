// The reader of settings patterns: a recursive descent over regcomp's
// extended grammar that expands counted repetitions as regcomp does.
#include "settings/pattern_tree.h"

#include <regex.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "settings/pattern_cost.h"

int PATTERN_BYTES::single() const {
  int n = 0, at = -1;
  for (int i = 0; i < 4; i++) {
    n += __builtin_popcountll(w[i]);
    if (w[i]) at = i * 64 + __builtin_ctzll(w[i]);
  }
  return n == 1 ? at : -1;
}

namespace {

using Kind = PATTERN_KIND;
constexpr int DUP_MAX = 32767;  // regcomp's largest count

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

const char* const TOO_LARGE = "it repeats too much: it would compile too large";

class Reader {
 public:
  Reader(const char* pattern, const PATTERN_BUDGET& budget, PATTERN_TREE& tree)
      : p_(pattern), budget_(budget), nodes_(tree.nodes), sets_(tree.sets) {}

  int read(PATTERN_TREE& tree, const char*& why) {
    // Most patterns expand little: one allocation each, not one per doubling.
    size_t length = strlen(p_);
    nodes_.reserve(std::min<size_t>(2 * length + 4, budget_.max_nodes));
    sets_.reserve(std::min<size_t>(length + 1, budget_.max_nodes));
    tree.root = regexp(0);
    if (tree.root >= 0 && *p_) refuse("a \")\" without its \"(\"");
    tree.anchors = anchors_;
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

  int make(Kind kind, int a = -1, int b = -1, int set = -1) {
    int size =
        1 + (a >= 0 ? nodes_[a].size : 0) + (b >= 0 ? nodes_[b].size : 0);
    if (static_cast<int>(nodes_.size()) >= budget_.max_nodes) {
      return refuse(TOO_LARGE);
    }
    PATTERN_NODE n;
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
    if (kind == Kind::STAR) {
      n.loops++;
      n.repeats++;
    }
    nodes_.push_back(n);
    return static_cast<int>(nodes_.size()) - 1;
  }

  int leaf(const PATTERN_BYTES& s) {
    sets_.push_back(s);
    return make(Kind::LEAF, -1, -1, static_cast<int>(sets_.size()) - 1);
  }

  // A copy of the subtree n, children first, as regcomp duplicates it.
  int copy(int n) {
    if (static_cast<int>(nodes_.size()) + nodes_[n].size > budget_.max_nodes) {
      return refuse(TOO_LARGE);
    }
    PATTERN_NODE old = nodes_[n];
    int a = old.a >= 0 ? copy(old.a) : -1;
    int b = old.b >= 0 ? copy(old.b) : -1;
    if ((old.a >= 0 && a < 0) || (old.b >= 0 && b < 0)) return -1;
    int made = make(old.kind, a, b, old.set);
    // A "?" operator's mark travels with its copies.
    if (made >= 0) nodes_[made].repeats = old.repeats;
    return made;
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
      if (tree >= 0 && op == '?') nodes_[tree].repeats++;
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
  // their parents, and a chain is at most max_nodes deep.
  bool can_be_empty(int i) const {
    const PATTERN_NODE& n = nodes_[i];
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
    const PATTERN_NODE& e = nodes_[elem];
    bool lone_set = e.kind == Kind::STAR && nodes_[e.a].kind == Kind::LEAF;
    if ((hi < 0 || std::max(lo, hi) > 1) && !lone_set && can_be_empty(elem)) {
      return refuse("a repetition of a group that can match nothing");
    }
    long copies = std::max(lo, hi) + 1L;
    if (static_cast<long>(nodes_.size()) + copies * (nodes_[elem].size + 2) >
        budget_.max_nodes) {
      return refuse(TOO_LARGE);
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

  int anchor() {
    anchors_++;
    return make(Kind::ASSERT);
  }

  int atom(int depth, bool& assertion) {
    char c = *p_++;
    PATTERN_BYTES s;
    switch (c) {
      case '(': {
        if (depth >= budget_.max_depth) return refuse("groups nested too deep");
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
    PATTERN_BYTES s;
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

  // One element of a bracket expression: a byte, [.c.], [=c=] or
  // [:name:]. Sets `single` to its byte when it is one.
  bool bracket_element(PATTERN_BYTES& s, int& single, bool& is_class) {
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
    PATTERN_BYTES s;
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
      PATTERN_BYTES ignored;
      if (!bracket_element(ignored, hi, is_class)) return -1;
      if (hi < lo) {
        return refuse("a range whose end comes before its start", REG_ERANGE);
      }
      s.add_range(lo, hi);
    }
    if (negated) s.invert();
    return leaf(s);
  }

  const char* p_;
  const PATTERN_BUDGET& budget_;
  std::vector<PATTERN_NODE>& nodes_;
  std::vector<PATTERN_BYTES>& sets_;
  const char* why_ = nullptr;
  int code_ = 0;
  int anchors_ = 0;
};

}  // namespace

int PATTERN_TREE::read(const char* pattern, const PATTERN_BUDGET& budget,
                       const char** why) {
  nodes.clear();
  sets.clear();
  root = -1;
  anchors = 0;
  const char* reason = nullptr;
  int code = Reader(pattern, budget, *this).read(*this, reason);
  if (why) *why = reason;
  return code;
}
