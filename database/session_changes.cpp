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

// A report gives text only: a decimal number is taken for a number until
// the question reads the variable's type.
bool is_number(const std::string& v) {
  size_t i = !v.empty() && v[0] == '-' ? 1 : 0, digits = 0;
  for (; i < v.size() && isdigit(static_cast<unsigned char>(v[i])); i++) {
    digits++;
  }
  if (i < v.size() && v[i] == '.') {
    for (i++; i < v.size() && isdigit(static_cast<unsigned char>(v[i])); i++) {
    }
  }
  return digits > 0 && i == v.size();
}

// The guard every session starts with: the reports on every variable, on
// the default database and on any change of state, the pinned character
// set, and sql_mode without NO_BACKSLASH_ESCAPES (every other mode the
// server's default, its global mode or its init_connect gave the session
// kept). The reports come first: the client library takes its own view of
// the character set from them, and misses it when NAMES is reported before
// the list is widened. Its literals hold no quote or backslash, so they read
// alike in every mode.
#define ORVEX_NAMES "utf8mb4"
const char* const kGuard =
    "SET SESSION session_track_system_variables='*', SESSION "
    "session_track_state_change=ON, SESSION session_track_schema=ON, "
    "NAMES " ORVEX_NAMES
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

SESSION_CHANGES::Change& SESSION_CHANGES::carry(const std::string& name) {
  for (Change& c : carried_) {
    if (strcasecmp(c.name.c_str(), name.c_str()) == 0) return c;
  }
  carried_.push_back(Change{name, "", false, false, false});
  return carried_.back();
}

const char* SESSION_CHANGES::read(MYSQL* m, bool carry_changes,
                                  std::string* what) {
  unsigned status = 0;
  mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_STATUS, &status);
  if (!(status & SERVER_SESSION_STATE_CHANGED)) return nullptr;
  // Whatever the reports hold: one SET can turn them off, and then the
  // flag alone says that something changed.
  if (carry_changes) verify_ = true;
  const char* data;
  size_t length;
  if (mysql_session_track_get_first(m, SESSION_TRACK_SCHEMA, &data, &length) ==
          0 &&
      carry_changes) {
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
    if (!carry_changes || r.rule == SESSION_IGNORED) continue;
    Change& c = carry(name);
    c.value = value;
    c.null = value.empty() && r.empty_is_null;
    c.numeric = is_number(value);
    c.known = true;
    // A character set reported brings its collation, which is not.
    if (strcasecmp(name.c_str(), "character_set_connection") == 0) {
      carry("collation_connection");
    }
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
  // The carried values as they stand now: a SET STATEMENT's report is
  // undone by its statement's end, and a variable's type is in its column.
  for (const Change& c : carried_) sql += ", @@SESSION." + c.name;
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql.c_str());
  // A blocking call: a question of variables takes no time on a live
  // server, and the library's own bound cuts it on a silent one.
  if (mysql_query(m, sql.c_str())) return kFailed;
  MYSQL_RES* res = mysql_store_result(m);
  MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
  if (!row) {
    mysql_free_result(res);
    return kFailed;
  }
  MYSQL_FIELD* fields = mysql_fetch_fields(res);
  unsigned long* lengths = mysql_fetch_lengths(res);
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
  // An unsafe session's values are not kept: no later session gets them.
  for (Change& c : carried_) {
    if (verdict != kSafe) break;
    c.null = row[i] == nullptr;
    c.value.assign(row[i] ? row[i] : "", row[i] ? lengths[i] : 0);
    c.numeric = IS_NUM(fields[i].type);
    c.known = true;
    i++;
  }
  mysql_free_result(res);
  return verdict;
}

void SESSION_CHANGES::append_changes(std::string& out, bool first) const {
  static const char kHex[] = "0123456789ABCDEF";
  for (const Change& c : carried_) {
    if (!c.known) continue;
    out += first ? "SET SESSION " : ", SESSION ";
    first = false;
    out += c.name;
    out += '=';
    if (c.null) {
      out += "NULL";
    } else if (c.numeric && is_number(c.value)) {
      out += c.value;
    } else {
      out += "X'";
      for (unsigned char ch : c.value) {
        out += kHex[ch >> 4];
        out += kHex[ch & 15];
      }
      out += '\'';
    }
  }
}

void SESSION_CHANGES::setup_statement(std::string& out) const {
  out += kGuard;
  append_changes(out, false);
}

bool SESSION_CHANGES::carried_statement(std::string& out) const {
  size_t before = out.size();
  append_changes(out, true);
  return out.size() != before;
}

const char* SESSION_CHANGES::database() const {
  return has_database_ ? database_.c_str() : nullptr;
}

const SESSION_CHANGES::Change* SESSION_CHANGES::find(const char* name) const {
  for (const Change& c : carried_) {
    if (strcasecmp(c.name.c_str(), name) == 0) return c.known ? &c : nullptr;
  }
  return nullptr;
}

bool SESSION_CHANGES::causal() const {
  const Change* c = find("wsrep_sync_wait");
  return c && atoi(c->value.c_str()) != 0;
}

bool SESSION_CHANGES::consistent() const {
  for (const Change& c : carried_) {
    const SESSION_VARIABLE_RULE& r = rule_of(c.name.data(), c.name.size());
    if (r.rule == SESSION_IGNORED || !is_name(c.name) ||
        (c.known && !c.null && !passes(r, c.value))) {
      return false;
    }
  }
  return true;
}
