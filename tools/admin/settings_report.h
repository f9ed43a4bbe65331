// What a load of the settings documents met, heard from the loader itself
// (a LOAD_LISTENER) and put in the tool's words: where each value came from
// (for `config --verbose`) and what the loader passes over without a word
// (for `check`).
#ifndef ORVEX_TOOLS_ADMIN_SETTINGS_REPORT_H
#define ORVEX_TOOLS_ADMIN_SETTINGS_REPORT_H

#include <string>
#include <vector>

#include "settings/paramdeck_keys.h"

namespace admin {

struct Finding {
  std::string file;
  int line = 0;  // 0: the file as a whole
  bool warning = false;
  bool stops_load = false;  // config.parse_file fails because of it
  std::string message;

  // "FILE:LINE: message", with "warning: " before a warning's message.
  std::string text() const;
};

// One key element of a document.
struct Occurrence {
  const PARAMDECK_KEY* key = nullptr;
  std::string file;
  int line = 0;
  bool stored = false;        // its value reached the record
  bool adds_ban_cpu = false;  // a true no_amd_k6: also a pattern in ban_cpu
  std::string text;           // its value as stored (texts: cut to 255)
  // Not an element: a closing rule that set the key at </config> (its
  // words, paramdeck_closing_rule_text).
  std::string rule;
};

struct SettingsTrace {
  std::vector<Occurrence> occurrences;  // document order, main file first
  std::vector<Finding> findings;        // the same order

  int problems() const;
  int warnings() const;
};

// Loads the main document and, when it can be opened, the auxiliary one
// into a record of its own, as config.parse_file loads them, and hears
// what the loader meets; then reads each document once more for closing
// tags that match no open element, which the loader passes over without a
// word inside a value. A document is read up to its first NUL byte.
// Findings come in line order within each file, main file first.
void trace_settings(const std::string& main_path, const std::string& aux_path,
                    SettingsTrace& trace);

// The catalogue's names nearest to `name` (at most three, nearest first):
// those within a few edits of it, or that contain it; none when nothing is
// near.
std::vector<std::string> nearest_keys(const std::string& name);

}  // namespace admin

#endif
