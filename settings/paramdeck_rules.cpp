// The rules of the settings beyond their types: what a stored value must be
// to work where it is used, and the words for the closing rules and notes.
// The loader applies them; check and the reference table read them here.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "database/server_list.h"
#include "settings/paramdeck_keys.h"

const char* paramdeck_count_rule(const int& value) {
  return value < 0 ? "a count cannot be negative" : nullptr;
}

const char* paramdeck_size_rule(const int& value) {
  return value < 0 ? "a size cannot be negative" : nullptr;
}

const char* paramdeck_jobs_rule(const int& value) {
  return value < 0 ? "a number of jobs cannot be negative" : nullptr;
}

const char* paramdeck_fanout_rule(const int& value) {
  // The bucket is the name's hash modulo the fan-out: -1 gives bucket 0
  // for every file, -N the buckets of N under a fan-out that says -N.
  return value < 0 ? "a fan-out is a number of buckets and cannot be "
                     "negative (-1 puts every file in bucket \"0\")"
                   : nullptr;
}

const char* paramdeck_server_list_rule(const char* const& value) {
  // The verdict and its reason are the connection's own reading.
  std::vector<DB_SERVER> servers;
  const char* why = nullptr;
  if (read_db_servers(value, servers, &why)) return nullptr;
  return why;
}

std::string paramdeck_closing_rule_text(const PARAMDECK_CLOSING_RULE& r) {
  if (!r.from) {
    return std::string(r.key) + " equal to this host's name becomes " +
           "\"localhost\"";
  }
  return std::string(r.key) + " empty takes " + r.from;
}

std::string paramdeck_key_notes(const PARAMDECK_KEY& k) {
  std::string notes;
  auto add = [&notes](const std::string& note) {
    if (note.empty()) return;
    notes += (notes.empty() ? "" : " ") + note + ".";
  };
  switch (k.rule) {
    case PARAMDECK_RULE::CLIENT_VERSION:
      add("A nonzero value up to 9999 is logged and multiplied by 100");
      break;
    case PARAMDECK_RULE::AMD_K6: break;  // said by its description
    case PARAMDECK_RULE::NONE: break;
  }
  std::string kind = paramdeck_type(k.kind).note(k);
  if (!kind.empty()) kind[0] = static_cast<char>(toupper(kind[0]));
  add(kind);
  for (const PARAMDECK_CLOSING_RULE& r : PARAMDECK_CLOSING_RULES) {
    if (!strcmp(r.key, k.name)) {
      add("At </config>: " + paramdeck_closing_rule_text(r));
    }
  }
  return notes;
}
