#include "tools/admin/settings_trace.h"

#include <regex.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "tools/admin/admin.h"
#include "xml/xml_parser.h"

namespace admin {

std::string Finding::text() const {
  std::string s = file;
  if (line > 0) s += ":" + std::to_string(line);
  s += ": ";
  if (warning) s += "warning: ";
  return s + message;
}

int SettingsTrace::problems() const {
  return static_cast<int>(
      std::count_if(findings.begin(), findings.end(),
                    [](const Finding& f) { return !f.warning; }));
}

int SettingsTrace::warnings() const {
  return static_cast<int>(findings.size()) - problems();
}

namespace {

constexpr size_t TEXT_MAX = 255;  // bytes a text setting keeps

// A document in memory, read with the library's reader over a string
// source, whose read position tells where each item stands.
class Document {
 public:
  Document(SettingsTrace& trace, const std::string& path, std::string text)
      : trace_(trace), path_(path), text_(std::move(text)) {
    mf_.init_buf_read(text_.c_str());
    line_starts_.push_back(0);
    for (size_t i = 0; i < text_.size(); i++) {
      if (text_[i] == '\n') line_starts_.push_back(i + 1);
    }
  }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  XML_PARSER& xp() { return xp_; }
  const std::string& path() const { return path_; }

  // The next item, as get_tag reads it; true at end of input.
  bool next() {
    item_start_ = item_start(mf_.read_ptr) - text_.c_str();
    return xp_.get_tag();
  }
  // parse_start: the opening tag `tag`, after any declarations (and a
  // byte-order mark, as the reader passes over it).
  bool start(const char* tag) {
    if (!xp_.skip_byte_order_mark()) return false;
    for (;;) {
      if (next() || !xp_.is_tag) return false;
      if (xp_.tag_buf[0] == '?' || xp_.tag_buf[0] == '!') continue;
      return xp_.match_tag(tag);
    }
  }
  // The line of the last item read by next().
  int line() const {
    auto it =
        std::upper_bound(line_starts_.begin(), line_starts_.end(), item_start_);
    return static_cast<int>(it - line_starts_.begin());
  }
  int last_line() const {
    bool ends_in_newline = !text_.empty() && text_.back() == '\n';
    return static_cast<int>(line_starts_.size()) - (ends_in_newline ? 1 : 0);
  }
  // The value of the element whose opening tag `name` was just read, as the
  // typed readers see it: its first text item, undecoded. <name/> has none.
  std::string raw_value(const char* name) {
    std::string value;
    if (self_closing()) return value;
    bool have_text = false;
    std::string end = std::string("/") + name;
    while (!xp_.get_tag()) {
      if (xp_.is_tag) {
        if (xp_.match_tag(end.c_str())) break;
        continue;
      }
      if (!have_text) value = xp_.tag_buf;
      have_text = true;
    }
    return value;
  }
  // A text value as the loader stores it (parse_str into 256 bytes), and
  // its whole length before the cut.
  std::string text_value(const char* name, size_t& full_length) {
    size_t start = item_start_;
    char full[TAG_BUF_LEN];
    xp_.parse_str(name, full, sizeof full);
    full_length = strlen(full);
    if (full_length <= TEXT_MAX) return full;
    // Read the element again with the loader's buffer: decoding stops short
    // of a character that would not fit, so the cut is the reader's.
    MIOFILE mf;
    XML_PARSER again(&mf);
    mf.init_buf_read(text_.c_str() + start);
    char cut[TEXT_MAX + 1] = {};
    if (!again.get_tag()) again.parse_str(name, cut, sizeof cut);
    return cut;
  }
  bool self_closing() const {
    size_t n = strlen(xp_.tag_buf);
    return n > 0 && xp_.tag_buf[n - 1] == '/';
  }
  static std::string excerpt(const std::string& text) {
    if (text.size() <= 40) return quoted(text);
    return quoted(text.substr(0, 40)) + "...";
  }

  void report(int line, bool warning, const std::string& message,
              bool stops_load = false) {
    Finding f;
    f.file = path_;
    f.line = line;
    f.warning = warning;
    f.stops_load = stops_load;
    f.message = message;
    trace_.findings.push_back(f);
  }
  void problem(const std::string& message) { report(line(), false, message); }
  void warn(const std::string& message) { report(line(), true, message); }
  void fatal(int line, const std::string& message) {
    report(line, false, message, true);
  }
  Occurrence& occur(const PARAMDECK_KEY* key) {
    Occurrence o;
    o.key = key;
    o.file = path_;
    o.line = line();
    trace_.occurrences.push_back(o);
    return trace_.occurrences.back();
  }

 private:
  // Where the next item begins: past white space and comments, which the
  // reader passes over before an item.
  static const char* item_start(const char* p) {
    for (;;) {
      while (*p && xml_is_space(static_cast<unsigned char>(*p))) p++;
      if (strncmp(p, "<!--", 4)) return p;
      const char* end = strstr(p + 4, "-->");
      if (!end) return p + strlen(p);
      p = end + 3;
    }
  }

  SettingsTrace& trace_;
  std::string path_;
  std::string text_;
  std::vector<size_t> line_starts_;
  size_t item_start_ = 0;
  MIOFILE mf_;
  XML_PARSER xp_{&mf_};
};

const char* type_text(PARAMDECK_VALUE type) {
  switch (type) {
    case PARAMDECK_VALUE::INTEGER: return "an integer";
    case PARAMDECK_VALUE::REAL: return "a number";
    case PARAMDECK_VALUE::FLAG: return "a flag (1, 0, true or false)";
    default: return "a value";
  }
}

// Reads the value of the number or flag element `name` just opened; true
// when it converts for `type` (a flag's value in flag). A finding otherwise:
// the loader keeps the earlier value without a word.
bool check_value(Document& d, const char* name, PARAMDECK_VALUE type,
                 bool& flag) {
  bool self_closing = d.self_closing();
  std::string raw = d.raw_value(name);
  bool converted = false;
  int i;
  double x;
  flag = true;
  switch (type) {
    case PARAMDECK_VALUE::INTEGER:
      converted = !self_closing && xml_text_to_int(raw.c_str(), i);
      break;
    case PARAMDECK_VALUE::REAL:
      converted = !self_closing && xml_text_to_double(raw.c_str(), x);
      break;
    case PARAMDECK_VALUE::FLAG:
      converted = self_closing || xml_text_to_bool(raw.c_str(), flag);
      break;
    default: break;
  }
  if (!converted) {
    std::string what = self_closing ? std::string("<") + name +
                                          "/> has no "
                                          "value"
                                    : "the value " + quoted(raw) + " of " +
                                          name + " is not " + type_text(type);
    d.problem(what + "; the key is passed over");
  }
  return converted;
}

// In plain words, what is lost when the pattern `text` of `k` is dropped,
// and what an empty one does.
std::string dropped_effect(const PARAMDECK_KEY& k, const std::string& text) {
  std::string key = k.name;
  if (key == "ban_os") {
    return "hosts whose operating system matches " + quoted(text) +
           " are not banned";
  }
  if (key == "ban_cpu") {
    return "hosts whose CPU matches " + quoted(text) + " are not banned";
  }
  if (key == "locality_scheduling_sticky_file") {
    return "files whose names match " + quoted(text) + " are not kept on hosts";
  }
  return "files whose names match " + quoted(text) +
         " are not sent by locality scheduling";
}
std::string empty_effect(const PARAMDECK_KEY& k) {
  std::string key = k.name;
  if (key == "ban_os" || key == "ban_cpu") {
    return "it matches every host, so all hosts are banned (remove the "
           "element to ban none)";
  }
  return "it matches every file name";
}

// A pattern as the loader compiles it: dropped when the guard or regcomp
// refuses it; an empty one matches everything.
void check_pattern(Document& d, const PARAMDECK_KEY& k, Occurrence& o) {
  const char* why = nullptr;
  int rc = paramdeck_pattern_check(o.text.c_str(), &why);
  bool refused = rc == REG_ESPACE;  // a pattern regcomp itself would take
  regex_t re;
  if (!rc) rc = regcomp(&re, o.text.c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc) {
    char text[256];
    regerror(rc, nullptr, text, sizeof text);  // the text needs no pattern
    d.problem("the pattern " + quoted(o.text) + " of " + k.name +
              (refused ? " is refused (" + std::string(why) + ")"
                       : " does not compile (" + std::string(text) + ")") +
              "; it is dropped: " + dropped_effect(k, o.text));
    o.stored = false;
    return;
  }
  regfree(&re);
  if (o.text.empty()) {
    d.warn("the pattern of " + std::string(k.name) + " is empty: " +
           empty_effect(k));
  }
}

// A main-document key the loader knows: its value, and whether it is set.
void read_main_key(Document& d, const PARAMDECK_KEY& k,
                   std::map<std::string, int>& seen) {
  Occurrence& o = d.occur(&k);
  bool is_list = k.kind == PARAMDECK_KIND::PATTERN_LIST ||
                 k.kind == PARAMDECK_KIND::INTEGER_LIST;
  if (!is_list && !k.alias) {
    auto first = seen.find(k.name);
    if (first != seen.end()) {
      d.warn(std::string(k.name) + " is given again (first at line " +
             std::to_string(first->second) + "); the last value counts");
    } else {
      seen[k.name] = o.line;
    }
  }
  if (k.value() == PARAMDECK_VALUE::TEXT) {
    size_t length;
    o.text = d.text_value(k.name, length);
    if (length > TEXT_MAX) {
      d.warn("the value of " + std::string(k.name) + " is " +
             std::to_string(length) + " bytes long; only the first " +
             std::to_string(TEXT_MAX) + " are kept");
    }
    o.stored = true;
    if (k.kind == PARAMDECK_KIND::PATTERN_LIST) check_pattern(d, k, o);
    return;
  }
  bool flag;
  o.stored = check_value(d, k.name, k.value(), flag);
  o.adds_ban_cpu = o.stored && flag && k.rule == PARAMDECK_RULE::AMD_K6;
}

void walk_main(Document& d) {
  XML_PARSER& xp = d.xp();
  if (!d.start("orvex")) {
    d.fatal(d.line(),
            "the document does not begin with <orvex>; the "
            "settings do not load");
    return;
  }
  if (!d.start("config")) {
    d.fatal(d.line(),
            "<orvex> does not begin with <config>; the settings "
            "do not load");
    return;
  }
  std::map<std::string, int> seen;
  while (!d.next()) {
    if (!xp.is_tag) {
      d.warn("stray text " + Document::excerpt(xp.tag_buf) + " (passed over)");
      continue;
    }
    if (xp.match_tag("/config")) return;
    std::string tag = xp.tag_buf;
    std::string name = tag;
    if (!name.empty() && name.back() == '/') name.pop_back();
    const PARAMDECK_KEY* k = paramdeck_find_key(name.c_str());
    if (k && !k->auxiliary()) {
      read_main_key(d, *k, seen);
      continue;
    }
    if (k) {
      d.problem(name + " is read from " + CONFIG_FILE_AUX +
                " only; it is passed over here");
    } else if (tag[0] == '/') {
      d.problem("closing tag <" + tag + "> without its opening tag");
    } else if (tag[0] == '?' || tag[0] == '!') {
      d.warn("markup <" + tag + "> passed over");
    } else {
      d.problem("unknown key <" + name + "> (passed over)");
    }
    xp.skip_unexpected(false, "orvex-admin");
  }
  d.fatal(d.last_line(),
          "the document ends before </config>; the settings "
          "do not load");
}

enum class Block { LIMITS, PROJECT, APP, RESOURCE };

// The elements a block passes over item by item are still open while their
// content is met: one report for the element, none for what it holds.
class UnknownElements {
 public:
  bool inside() const { return !open_.empty(); }
  // An unknown tag; true when it is the outermost one (to be reported).
  bool open(const std::string& tag) {
    bool outermost = open_.empty();
    bool self_closing = tag.back() == '/' || tag[0] == '?' || tag[0] == '!';
    if (!self_closing) open_.push_back(tag);
    return outermost;
  }
  void close(const std::string& tag) {
    if (inside() && tag.compare(1, std::string::npos, open_.back()) == 0) {
      open_.pop_back();
    }
  }

 private:
  std::vector<std::string> open_;
};

// One block of the job-limit format, read as the JOB_LIMITS, JOB_LIMIT and
// RSC_JOB_LIMIT parsers read it: tags no rule takes are passed over one item
// at a time, so what they hold is still met here. False at end of input.
bool walk_limits(Document& d, Block block, const std::string& name,
                 std::string* app_name) {
  XML_PARSER& xp = d.xp();
  std::string end = "/" + name;
  UnknownElements unknown;
  while (!d.next()) {
    if (!xp.is_tag) {
      if (!unknown.inside()) {
        d.warn("stray text " + Document::excerpt(xp.tag_buf) + " in <" + name +
               "> (passed over)");
      }
      continue;
    }
    if (xp.match_tag(end.c_str())) return true;
    std::string tag = xp.tag_buf;
    if (tag[0] == '/') {
      unknown.close(tag);
      continue;
    }
    int line = d.line();
    switch (block) {
      case Block::LIMITS:
        if (tag == "project") {
          if (!walk_limits(d, Block::PROJECT, tag, nullptr)) return false;
          continue;
        }
        if (tag == "app") {
          std::string app;
          bool ended = !walk_limits(d, Block::APP, tag, &app);
          if (app.empty()) {
            d.report(line, false,
                     "an <app> block without <app_name>; it is dropped");
          }
          if (ended) return false;
          continue;
        }
        break;
      case Block::PROJECT:
      case Block::APP:
        if (tag == "app_name" || tag == "app_name/") {
          size_t length;
          std::string value = d.text_value("app_name", length);
          if (length > TEXT_MAX) {
            d.warn("app_name is " + std::to_string(length) +
                   " bytes long; only the first 255 are kept");
          }
          if (app_name) {
            *app_name = value;
          } else {
            d.warn("<app_name> in <project> has no effect");
          }
          continue;
        }
        if (tag == "total_limit" || tag == "cpu_limit" || tag == "gpu_limit") {
          if (!walk_limits(d, Block::RESOURCE, tag, nullptr)) return false;
          continue;
        }
        break;
      case Block::RESOURCE: {
        bool flag;
        if (tag == "jobs" || tag == "jobs/") {
          check_value(d, "jobs", PARAMDECK_VALUE::INTEGER, flag);
          continue;
        }
        if (tag == "per_proc" || tag == "per_proc/") {
          check_value(d, "per_proc", PARAMDECK_VALUE::FLAG, flag);
          continue;
        }
        break;
      }
    }
    if (unknown.open(tag)) {
      if (tag[0] == '?' || tag[0] == '!') {
        d.warn("markup <" + tag + "> passed over");
      } else {
        d.problem("unknown tag <" + tag + "> in <" + name + "> (passed over)");
      }
    }
  }
  return false;
}

void walk_aux(Document& d) {
  XML_PARSER& xp = d.xp();
  if (!d.start("config")) {
    d.fatal(d.line(),
            "the document does not begin with <config>; the "
            "settings do not load");
    return;
  }
  UnknownElements unknown;
  while (!d.next()) {
    if (!xp.is_tag) {
      if (!unknown.inside()) {
        d.warn("stray text " + Document::excerpt(xp.tag_buf) +
               " (passed over)");
      }
      continue;
    }
    if (xp.match_tag("/config")) return;
    std::string tag = xp.tag_buf;
    if (tag[0] == '/') {
      unknown.close(tag);
      continue;
    }
    const PARAMDECK_KEY* k = paramdeck_find_key(tag.c_str());
    if (k && k->auxiliary()) {
      d.occur(k).stored = true;
      walk_limits(d, Block::LIMITS, tag, nullptr);
      continue;
    }
    bool self_closing = d.self_closing();
    if (!unknown.open(tag)) continue;
    if (tag[0] == '?' || tag[0] == '!') {
      d.warn("markup <" + tag + "> passed over");
    } else if (k) {
      d.problem(tag + " is read from " + CONFIG_FILE +
                " only; it is passed "
                "over here");
    } else if (self_closing) {
      d.problem("unknown key <" + tag + "> (passed over)");
    } else {
      d.problem("unknown key <" + tag +
                "> (passed over; what it holds is "
                "read as if it stood in <config>)");
    }
  }
  d.fatal(d.last_line(),
          "the document ends before </config>; the settings "
          "do not load");
}

void trace_file(const std::string& path, bool main, SettingsTrace& trace) {
  auto file_finding = [&](bool stops, const std::string& message) {
    Finding f;
    f.file = path;
    f.stops_load = stops;
    f.message = message;
    trace.findings.push_back(f);
  };
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    int err = errno;
    if (main) {
      file_finding(true, std::string("cannot be opened: ") + strerror(err));
    } else if (err != ENOENT) {
      // The loader takes an auxiliary file it cannot open for none at all.
      file_finding(false, std::string("cannot be opened (") + strerror(err) +
                              "); the job limits in it are not loaded");
    }
    return;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int err = ferror(f) ? errno : 0;
  fclose(f);
  if (err) {
    file_finding(true, std::string("cannot be read: ") + strerror(err));
    return;
  }
  size_t nul = text.find('\0');
  int nul_line = 0;
  if (nul != std::string::npos) {
    text.resize(nul);
    nul_line = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  Document d(trace, path, std::move(text));
  if (nul_line) {
    d.report(nul_line, false, "a NUL byte; what follows it is not checked");
  }
  if (main) {
    walk_main(d);
  } else {
    walk_aux(d);
  }
}

}  // namespace

void trace_settings(const std::string& main_path, const std::string& aux_path,
                    SettingsTrace& trace) {
  trace_file(main_path, true, trace);
  trace_file(aux_path, false, trace);
}

}  // namespace admin
