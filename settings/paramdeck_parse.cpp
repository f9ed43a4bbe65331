// The loaders of the main and auxiliary settings documents.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "log/sched_msg_log.h"
#include "settings/paramdeck_keys.h"

namespace {

constexpr int TEXT_LEN = 256;

// The catalogue row of the tag in tag_buf ("name" or "name/"), or null.
const PARAMDECK_KEY* key_of_tag(const char* tag) {
  char name[64];
  size_t n = strnlen(tag, sizeof name);
  if (n == sizeof name) return nullptr;  // longer than any key
  memcpy(name, tag, n + 1);
  if (n > 0 && name[n - 1] == '/') name[n - 1] = 0;
  return paramdeck_find_key(name);
}

// What a listener hears of the document as a whole.
void heard(LOAD_LISTENER* listener, LOAD_ITEM::KIND kind, int line,
           const char* name, const char* block = "") {
  if (listener) listener->heard(LOAD_ITEM(kind, line, name, block));
}

// Opens the reader on f for a load, counting lines for a listener.
struct Reader {
  Reader(FILE* f, LOAD_LISTENER* listener) {
    mf.init_file(f);
    if (listener) xp.count_lines();
  }
  MIOFILE mf;
  XML_PARSER xp{&mf};

  // parse_start, with a missing start heard.
  bool start(const char* tag, LOAD_LISTENER* listener) {
    if (xp.parse_start(tag)) return true;
    heard(listener, LOAD_ITEM::NO_START, xp.line(), tag);
    return false;
  }
  void stray_text() {
    fprintf(stderr, "PARAMDECK::parse(): unexpected text %s\n", xp.tag_buf);
  }
};

}  // namespace

void PARAMDECK::apply_closing_rules(LOAD_LISTENER* listener, int line) {
  char host[TEXT_LEN];
  bool have_host = gethostname(host, sizeof host) == 0;
  host[sizeof host - 1] = 0;  // a cut name need not be terminated
  for (const PARAMDECK_CLOSING_RULE& r : PARAMDECK_CLOSING_RULES) {
    char(&value)[TEXT_LEN] = this->*paramdeck_find_key(r.key)->text;
    if (r.from) {
      const char(&from)[TEXT_LEN] = this->*paramdeck_find_key(r.from)->text;
      if (value[0] || !from[0]) continue;
      strlcpy(value, from, sizeof value);
    } else {
      if (!have_host || strcmp(host, value)) continue;
      strlcpy(value, "localhost", sizeof value);
    }
    if (listener) {
      std::string rule = paramdeck_closing_rule_text(r);
      LOAD_ITEM item(LOAD_ITEM::CLOSING_RULE, line, r.key, "config");
      item.value = value;
      item.reason = rule.c_str();
      listener->heard(item);
    }
  }
}

int PARAMDECK::parse(FILE* f, LOAD_LISTENER* listener) {
  Reader r(f, listener);
  XML_PARSER& xp = r.xp;
  reset();
  // Patterns of the previous load that this one did not reuse are freed
  // however it ends.
  struct FreeSpares {
    PARAMDECK* record;
    ~FreeSpares() { record->free_spare_patterns(); }
  } free_spares{this};
  if (!r.start("orvex", listener) || !r.start("config", listener)) {
    return ERR_XML_INPUT;
  }
  int opened = xp.line();
  while (!xp.get_tag()) {
    if (!xp.is_tag) {
      r.stray_text();
      if (listener) {
        LOAD_ITEM item(LOAD_ITEM::STRAY_TEXT, xp.line(), "", "config");
        item.value = xp.tag_buf;
        listener->heard(item);
      }
      continue;
    }
    if (xp.match_tag("/config")) {
      apply_closing_rules(listener, xp.line());
      return 0;
    }
    const PARAMDECK_KEY* k = key_of_tag(xp.tag_buf);
    if (k && paramdeck_type(k->kind).read(*this, xp, *k, listener)) continue;
    if (!listener) {
      xp.skip_unexpected(false, "PARAMDECK::parse");
      continue;
    }
    int line = xp.line();
    std::string tag = xp.tag_buf;
    heard(listener, LOAD_ITEM::UNKNOWN_TAG, line, tag.c_str(), "config");
    xp.skip_unexpected(false, "PARAMDECK::parse");
    load_heard_end(xp, listener, tag.c_str(), line, "config");
  }
  heard(listener, LOAD_ITEM::EARLY_END, opened, "config", "orvex");
  return ERR_XML_INPUT;
}

int PARAMDECK::parse_aux(FILE* f, LOAD_LISTENER* listener) {
  Reader r(f, listener);
  XML_PARSER& xp = r.xp;
  if (!r.start("config", listener)) return ERR_XML_INPUT;
  int opened = xp.line();
  // Other tags are passed by, not skipped: their children are met as if
  // they stood in <config>.
  LOAD_PASSED_OVER passed(listener, "config");
  while (!xp.get_tag()) {
    if (!xp.is_tag) r.stray_text();
    if (xp.is_tag && xp.match_tag("/config")) return 0;
    const PARAMDECK_KEY* k =
        xp.is_tag ? paramdeck_find_key(xp.tag_buf) : nullptr;
    if (k && k->auxiliary()) {
      heard(listener, LOAD_ITEM::STORED, xp.line(), k->name, "config");
      char end_tag[64];
      snprintf(end_tag, sizeof end_tag, "/%s", k->name);
      (this->*k->limits).parse(xp, end_tag, listener);
    } else {
      passed.item(xp);
    }
  }
  heard(listener, LOAD_ITEM::EARLY_END, opened, "config", "");
  return ERR_XML_INPUT;
}

int PARAMDECK::parse_file(const char* dir) {
  char path[PROJECT_PATH_LEN], path_aux[PROJECT_PATH_LEN];
  bool aux_fits = true;
  if (dir && *dir) {
    // A cut path would name another file; one that does not fit cannot be
    // opened (the system's own limit on paths is the same size).
    int n = snprintf(path, sizeof path, "%s/%s", dir, CONFIG_FILE);
    if (n < 0 || n >= PROJECT_PATH_LEN) return ERR_FILE_OPEN;
    n = snprintf(path_aux, sizeof path_aux, "%s/%s", dir, CONFIG_FILE_AUX);
    aux_fits = n >= 0 && n < PROJECT_PATH_LEN;
  } else {
    // project_path's buffer is overwritten by its next call.
    strlcpy(path, project_path("%s", CONFIG_FILE), sizeof path);
    strlcpy(path_aux, project_path("%s", CONFIG_FILE_AUX), sizeof path_aux);
  }

  FILE* f = fopen(path, "r");
  if (!f) return ERR_FILE_OPEN;
  int retval = parse(f);
  fclose(f);
  if (retval) return retval;

  f = aux_fits ? fopen(path_aux, "r") : nullptr;
  if (!f) return 0;  // the auxiliary file is optional
  retval = parse_aux(f);
  fclose(f);
  return retval;
}
