#include "database/session_changes.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/db_conn.h"

namespace {

const SESSION_VARIABLE_RULE& rule_of(const char* name, size_t length) {
  for (const SESSION_VARIABLE_RULE& r : kSessionRules) {
    if (!r.name) return r;
    if (strlen(r.name) == length && strncasecmp(r.name, name, length) == 0) {
      return r;
    }
  }
  return kSessionRules[0];  // not reached: the table ends with a default
}

constexpr bool ends_with_default() {
  const auto& last =
      kSessionRules[sizeof kSessionRules / sizeof *kSessionRules - 1];
  return last.name == nullptr;
}
static_assert(ends_with_default(), "the last rule is the one for every name");

// Whether a comma-separated list holds item.
bool list_has(const std::string& list, const char* item) {
  size_t n = strlen(item);
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    if (end - at == n && strncasecmp(list.c_str() + at, item, n) == 0) {
      return true;
    }
    at = end + 1;
  }
  return false;
}

// Reports write a flag ON or OFF, a question (@@name) 1 or 0.
bool same_value(const char* value, const char* text) {
  if (strcasecmp(value, text) == 0) return true;
  return strcmp(value, "1") == 0   ? strcasecmp(text, "ON") == 0
         : strcmp(value, "0") == 0 ? strcasecmp(text, "OFF") == 0
                                   : false;
}

bool passes(const SESSION_VARIABLE_RULE& r, const std::string& value) {
  if (r.rule != SESSION_GUARDED) return true;
  if (r.test == SESSION_VALUE_IS) return same_value(value.c_str(), r.text);
  return !list_has(value, r.text);
}

// Names the server reports are identifiers; anything else could not be
// written into a statement again.
bool is_name(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

// A decimal number is written bare: numeric variables refuse quoted values.
bool is_number(const std::string& v) {
  size_t i = v[0] == '-' ? 1 : 0, digits = 0;
  for (; i < v.size() && isdigit(static_cast<unsigned char>(v[i])); i++) {
    digits++;
  }
  if (i < v.size() && v[i] == '.') {
    for (i++; i < v.size() && isdigit(static_cast<unsigned char>(v[i])); i++) {
    }
  }
  return digits > 0 && i == v.size();
}

// The value as a literal of the set-up statement, whose session reads
// backslashes as escapes (the guard comes first in the same SET).
void append_value(std::string& out, const SESSION_VARIABLE_RULE& r,
                  const std::string& v) {
  if (v.empty() && r.empty_is_null) {
    out += "NULL";
  } else if (!v.empty() && is_number(v)) {
    out += v;
  } else {
    out += '\'';
    for (char c : v) {
      if (c == '\0') {
        out += "\\0";
        continue;
      }
      if (c == '\'' || c == '\\') out += '\\';
      out += c;
    }
    out += '\'';
  }
}

// The guard every session starts with: the reports on every variable and
// on any change of state, the pinned character set, and sql_mode without
// NO_BACKSLASH_ESCAPES (every other mode the server's default, its global
// mode or its init_connect gave the session kept). The reports come first:
// the client library takes its own view of the character set from them,
// and misses it when NAMES is reported before the list is widened.
#define ORVEX_NAMES "utf8mb4"
const char* const kGuard =
    "SET SESSION session_track_system_variables='*', SESSION "
    "session_track_state_change=ON, NAMES " ORVEX_NAMES
    ", SESSION sql_mode=TRIM(BOTH ',' FROM REPLACE(CONCAT(',', "
    "@@SESSION.sql_mode, ','), ',NO_BACKSLASH_ESCAPES,', ','))";
constexpr bool same_text(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || same_text(a + 1, b + 1));
}
static_assert(same_text(ORVEX_NAMES, DB_CONN_CHARSET),
              "the guard sets the character set the client pins");
static_assert(same_text(ORVEX_NAMES, kSessionRules[0].text),
              "the guarded character set is the pinned one");
#undef ORVEX_NAMES

}  // namespace

void SESSION_CHANGES::clear() {
  carried_.clear();
  database_.clear();
  has_database_ = false;
  verify_ = false;
}

const char* SESSION_CHANGES::read(MYSQL* m, bool carry, std::string* what) {
  unsigned status = 0;
  mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_STATUS, &status);
  if (!(status & SERVER_SESSION_STATE_CHANGED)) return nullptr;
  const char* data;
  size_t length;
  if (mysql_session_track_get_first(m, SESSION_TRACK_STATE_CHANGE, &data,
                                    &length) == 0) {
    verify_ = verify_ || carry;
  }
  if (mysql_session_track_get_first(m, SESSION_TRACK_SCHEMA, &data, &length) ==
          0 &&
      carry) {
    database_.assign(data, length);
    has_database_ = true;
  }
  int more = mysql_session_track_get_first(m, SESSION_TRACK_SYSTEM_VARIABLES,
                                           &data, &length);
  while (more == 0) {
    std::string name(data, length), value;
    // Name and value come in turn; a name without one is read as empty.
    if (mysql_session_track_get_next(m, SESSION_TRACK_SYSTEM_VARIABLES, &data,
                                     &length) == 0) {
      value.assign(data, length);
    }
    more = mysql_session_track_get_next(m, SESSION_TRACK_SYSTEM_VARIABLES,
                                        &data, &length);
    const SESSION_VARIABLE_RULE& r = rule_of(name.data(), name.size());
    if (!is_name(name) || !passes(r, value)) {
      if (what) *what = name + "=" + value;
      return is_name(name) ? r.why
                           : "a variable the layer cannot write into a "
                             "later session";
    }
    if (!carry || r.rule == SESSION_IGNORED) continue;
    bool kept = false;
    for (Change& c : carried_) {
      if (strcasecmp(c.name.c_str(), name.c_str()) == 0) {
        c.value = value;
        kept = true;
      }
    }
    if (!kept) carried_.push_back(Change{name, value});
  }
  return nullptr;
}

SESSION_CHANGES::Verdict SESSION_CHANGES::verify(MYSQL* m, const char** why,
                                                 std::string* what) {
  verify_ = false;
  std::string sql = "SELECT ";
  for (const SESSION_VARIABLE_RULE& r : kSessionRules) {
    if (r.name && r.rule == SESSION_GUARDED) {
      sql += sql.size() > 7 ? ", @@SESSION." : "@@SESSION.";
      sql += r.name;
    }
  }
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql.c_str());
  if (mysql_query(m, sql.c_str())) return kFailed;
  MYSQL_RES* res = mysql_store_result(m);
  MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
  if (!row) {
    mysql_free_result(res);
    return kFailed;
  }
  Verdict verdict = kSafe;
  unsigned i = 0;
  for (const SESSION_VARIABLE_RULE& r : kSessionRules) {
    if (!r.name || r.rule != SESSION_GUARDED) continue;
    std::string value = row[i] ? row[i] : "";
    i++;
    if (verdict == kSafe && !passes(r, value)) {
      verdict = kUnsafe;
      *why = r.why;
      if (what) *what = std::string(r.name) + "=" + value;
    }
  }
  mysql_free_result(res);
  return verdict;
}

void SESSION_CHANGES::setup_statement(std::string& out) const {
  out += kGuard;
  for (const Change& c : carried_) {
    out += ", SESSION ";
    out += c.name;
    out += '=';
    append_value(out, rule_of(c.name.data(), c.name.size()), c.value);
  }
}

const char* SESSION_CHANGES::database() const {
  return has_database_ ? database_.c_str() : nullptr;
}

bool SESSION_CHANGES::causal() const {
  for (const Change& c : carried_) {
    if (strcasecmp(c.name.c_str(), "wsrep_sync_wait") == 0) {
      return atoi(c.value.c_str()) != 0;
    }
  }
  return false;
}

bool SESSION_CHANGES::consistent() const {
  for (const Change& c : carried_) {
    const SESSION_VARIABLE_RULE& r = rule_of(c.name.data(), c.name.size());
    if (r.rule == SESSION_IGNORED || !passes(r, c.value) || !is_name(c.name)) {
      return false;
    }
  }
  return true;
}
