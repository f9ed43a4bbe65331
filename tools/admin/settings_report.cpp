#include "tools/admin/settings_report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "tools/admin/admin.h"

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

std::string excerpt(const std::string& text) {
  if (text.size() <= 40) return quoted_text(text);
  return quoted_text(text.substr(0, 40)) + "...";
}

// In plain words, what is lost when the pattern `text` of `k` is dropped,
// and what an empty one does.
std::string dropped_effect(const PARAMDECK_KEY& k, const std::string& text) {
  std::string key = k.name;
  if (key == "ban_os") {
    return "hosts whose operating system matches " + quoted_text(text) +
           " are not banned";
  }
  if (key == "ban_cpu") {
    return "hosts whose CPU matches " + quoted_text(text) + " are not banned";
  }
  if (key == "locality_scheduling_sticky_file") {
    return "files whose names match " + quoted_text(text) +
           " are not kept on hosts";
  }
  return "files whose names match " + quoted_text(text) +
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

const char* const NOT_LOADED = "; the settings do not load";

std::string closing_message(const std::string& tag) {
  return "closing tag <" + tag + "> matches no open element (passed over)";
}

// "; nearest: a, b" for an unknown name, "" when nothing is near.
std::string nearest_text(const std::string& name) {
  std::string out;
  for (const std::string& k : nearest_keys(name)) {
    out += (out.empty() ? "; nearest: " : ", ") + k;
  }
  return out;
}

// Hears one document's load and writes down findings and occurrences.
class Report : public LOAD_LISTENER {
 public:
  Report(SettingsTrace& trace, const std::string& path, bool main)
      : trace_(trace), path_(path), main_(main) {}

  void report(int line, bool warning, const std::string& message,
              bool stops_load = false) {
    trace_.findings.push_back({path_, line, warning, stops_load, message});
  }

  void heard(const LOAD_ITEM& i) override {
    std::string name = i.name, block = i.block;
    auto problem = [&](const std::string& m) { report(i.line, false, m); };
    auto warn = [&](const std::string& m) { report(i.line, true, m); };
    switch (i.kind) {
      case LOAD_ITEM::STORED:
      case LOAD_ITEM::NOT_CONVERTED:
      case LOAD_ITEM::PATTERN_REFUSED:
      case LOAD_ITEM::PATTERN_INVALID:
        if (block == "config") {
          key(i);
        } else if (i.kind == LOAD_ITEM::NOT_CONVERTED) {
          not_converted(i);
        } else if (*i.reason) {
          unusable(i);
        } else if (name == "app_name") {
          if (i.length > TEXT_MAX) {
            warn("app_name is " + std::to_string(i.length) +
                 " bytes long; only the first 255 are kept");
          }
          if (block == "project") warn("<app_name> in <project> has no effect");
        }
        return;
      case LOAD_ITEM::UNKNOWN_TAG: return unknown_tag(i);
      case LOAD_ITEM::STRAY_TEXT:
        warn("stray text " + excerpt(i.value) +
             (block == "config" ? "" : " in <" + block + ">") +
             " (passed over)");
        return;
      case LOAD_ITEM::NO_NAME:
        problem("an <app> block without <app_name>; it is dropped");
        return;
      case LOAD_ITEM::NO_START:
        report(i.line, false,
               (main_ && name == "config" ? "<orvex>" : "the document") +
                   std::string(" does not begin with <") + name + ">" +
                   NOT_LOADED,
               true);
        return;
      case LOAD_ITEM::EARLY_END:
        // The innermost element comes first; the rest only enclose it.
        if (ended_) return;
        ended_ = true;
        report(i.line, false,
               "<" + name + "> is never closed: the document ends before </" +
                   name + ">" + NOT_LOADED,
               true);
        return;
      case LOAD_ITEM::CLOSING_RULE: {
        Occurrence o;
        o.key = paramdeck_find_key(i.name);
        o.file = path_;
        o.line = i.line;
        o.stored = true;
        o.text = i.value;
        o.rule = i.reason;
        trace_.occurrences.push_back(o);
        return;
      }
    }
  }

  // Closing tags that the loader passed over, by line.
  std::set<std::pair<int, std::string>> closing_tags;

 private:
  void not_converted(const LOAD_ITEM& i) {
    std::string what = i.empty_tag
                           ? "<" + std::string(i.name) + "/> has no value"
                           : "the value " + quoted_text(i.value) + " of " +
                                 i.name + " " + i.reason;
    report(i.line, false, what + "; the key is passed over");
  }
  // A value stored that breaks its key's rule.
  void unusable(const LOAD_ITEM& i) {
    report(i.line, false,
           "the value " + quoted_text(i.value) + " of " + i.name +
               " cannot work: " + i.reason);
  }

  // A key of the catalogue, met in one of the documents.
  void key(const LOAD_ITEM& i) {
    const PARAMDECK_KEY& k = *paramdeck_find_key(i.name);
    Occurrence o;
    o.key = &k;
    o.file = path_;
    o.line = i.line;
    o.stored = i.kind == LOAD_ITEM::STORED;
    o.text = i.value;
    bool flag = false;
    o.adds_ban_cpu = o.stored && k.rule == PARAMDECK_RULE::AMD_K6 &&
                     xml_text_to_bool(i.value, flag) && flag;
    trace_.occurrences.push_back(o);
    if (!main_) return;
    if (!paramdeck_type(k.kind).repeatable && !k.alias) {
      auto first = seen_.find(k.name);
      if (first != seen_.end()) {
        report(i.line, true,
               std::string(k.name) + " is given again (first at line " +
                   std::to_string(first->second) + "); the last value counts");
      } else {
        seen_[k.name] = i.line;
      }
    }
    if (i.length > TEXT_MAX) {
      report(i.line, true,
             "the value of " + std::string(k.name) + " is " +
                 std::to_string(i.length) + " bytes long; only the first " +
                 std::to_string(TEXT_MAX) + " are kept");
    }
    std::string pattern =
        "the pattern " + quoted_text(i.value) + " of " + k.name;
    std::string dropped = "; it is dropped: " + dropped_effect(k, i.value);
    switch (i.kind) {
      case LOAD_ITEM::NOT_CONVERTED: return not_converted(i);
      case LOAD_ITEM::STORED:
        if (*i.reason) unusable(i);
        break;
      case LOAD_ITEM::PATTERN_REFUSED:
        return report(i.line, false,
                      pattern + " is refused (" + i.reason + ")" + dropped);
      case LOAD_ITEM::PATTERN_INVALID:
        return report(
            i.line, false,
            pattern + " does not compile (" + i.reason + ")" + dropped);
      default: break;
    }
    if (k.kind == PARAMDECK_KIND::PATTERN_LIST && !*i.value) {
      report(i.line, true,
             "the pattern of " + std::string(k.name) +
                 " is empty: " + empty_effect(k));
    }
  }

  void unknown_tag(const LOAD_ITEM& i) {
    std::string tag = i.name, block = i.block;
    bool self_closing = tag.back() == '/';
    if (tag[0] == '?' || tag[0] == '!') {
      report(i.line, true, "markup <" + tag + "> passed over");
      return;
    }
    std::string message;
    if (block != "config") {
      message = "unknown tag <" + tag + "> in <" + block + "> (passed over)";
    } else if (main_) {
      std::string name = self_closing ? tag.substr(0, tag.size() - 1) : tag;
      const PARAMDECK_KEY* k = paramdeck_find_key(name.c_str());
      if (k) {
        message = name + " is read from " + CONFIG_FILE_AUX +
                  " only; it is passed over here";
      } else if (tag[0] == '/') {
        closing_tags.insert({i.line, tag});
        message = closing_message(tag);
      } else {
        message = "unknown key <" + name + "> (passed over" +
                  nearest_text(name) + ")";
      }
    } else if (paramdeck_find_key(tag.c_str())) {
      message = tag + " is read from " + CONFIG_FILE +
                " only; it is passed over here";
    } else {
      std::string name = self_closing ? tag.substr(0, tag.size() - 1) : tag;
      message = "unknown key <" + tag + "> (passed over" +
                (self_closing ? ""
                              : "; what it holds is read as if it stood in "
                                "<config>") +
                nearest_text(name) + ")";
    }
    report(i.line, false, message);
  }

  SettingsTrace& trace_;
  std::string path_;
  bool main_;
  bool ended_ = false;
  std::map<std::string, int> seen_;
};

// The document once more, item by item, as the tag reader reads it: a
// closing tag matches an open element when one of that name is open (the
// elements inside it are closed with it, as the loader's readers close
// them). Those the loader already passed over (closing_tags) are not said
// again, and open nothing.
void closing_tags_without_element(
    const std::string& text, Report& report,
    const std::set<std::pair<int, std::string>>& closing_tags) {
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_buf_read(text.c_str());
  xp.count_lines();
  // The open elements, innermost last, and how many of each name are open
  // (so that a document of any depth costs one step per tag).
  std::vector<std::string> open;
  std::map<std::string, int> open_count;
  while (!xp.get_tag()) {
    if (!xp.is_tag) continue;
    const char* tag = xp.tag_buf;
    size_t n = strlen(tag);
    if (!n || tag[0] == '?' || tag[0] == '!' ||
        (n > 1 && tag[n - 1] == '/' && tag[0] != '/')) {
      continue;
    }
    if (tag[0] != '/') {
      open.emplace_back(tag);
      open_count[tag]++;
      continue;
    }
    if (closing_tags.count({xp.line(), tag})) continue;
    auto count = open_count.find(tag + 1);
    if (count == open_count.end() || !count->second) {
      report.report(xp.line(), false, closing_message(tag));
      continue;
    }
    for (bool closed = false; !closed;) {
      closed = open.back() == tag + 1;
      open_count[open.back()]--;
      open.pop_back();
    }
  }
}

void trace_file(const std::string& path, bool main, PARAMDECK& record,
                SettingsTrace& trace) {
  Report report(trace, path, main);
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    int err = errno;
    if (main) {
      report.report(0, false, std::string("cannot be opened: ") + strerror(err),
                    true);
    } else if (err != ENOENT) {
      // The loader takes an auxiliary file it cannot open for none at all.
      report.report(0, false,
                    std::string("cannot be opened (") + strerror(err) +
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
    report.report(0, false, std::string("cannot be read: ") + strerror(err),
                  true);
    return;
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    text.resize(nul);
    report.report(
        1 + static_cast<int>(std::count(text.begin(), text.end(), '\n')), false,
        "a NUL byte; what follows it is not checked");
  }
  f = fmemopen(&text[0], text.size(), "r");
  if (!f) {
    report.report(0, false, std::string("cannot be read: ") + strerror(errno),
                  true);
    return;
  }
  size_t first = trace.findings.size();
  if (main) {
    record.parse(f, &report);
  } else {
    record.parse_aux(f, &report);
  }
  fclose(f);
  closing_tags_without_element(text, report, report.closing_tags);
  std::stable_sort(
      trace.findings.begin() + static_cast<std::ptrdiff_t>(first),
      trace.findings.end(),
      [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

}  // namespace

std::vector<std::string> nearest_keys(const std::string& name) {
  // Edit distance, a row at a time; names are short.
  auto distance = [](const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); j++) {
        size_t up = row[j];
        row[j] = std::min(
            {row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
        diagonal = up;
      }
    }
    return row[b.size()];
  };
  if (name.empty() || name.size() > 64) return {};
  const size_t near = std::max<size_t>(2, name.size() / 4);
  std::vector<std::pair<size_t, std::string>> found;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    size_t d = distance(name, k.name);
    // A part of a name counts as near, after the names a few edits away.
    if (d > near && (name.size() < 4 || !strstr(k.name, name.c_str()))) {
      continue;
    }
    found.emplace_back(d, k.name);
  }
  std::stable_sort(
      found.begin(), found.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (size_t i = 0; i < found.size() && i < 3; i++) {
    out.push_back(found[i].second);
  }
  return out;
}

void trace_settings(const std::string& main_path, const std::string& aux_path,
                    SettingsTrace& trace) {
  // A record of its own: `config` keeps what the real load gave. What the
  // loader logs on the way is what the findings say, so it is held back.
  auto record = std::make_unique<PARAMDECK>();
  StderrHeld held;
  trace_file(main_path, true, *record, trace);
  trace_file(aux_path, false, *record, trace);
}

}  // namespace admin
