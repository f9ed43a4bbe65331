// The record as a whole: construction, reset, the key lookup and the
// printer, all driven by the catalogue.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/str_util.h"
#include "settings/paramdeck_keys.h"

const char* CONFIG_FILE = "config.xml";
const char* CONFIG_FILE_AUX = "config_aux.xml";

PARAMDECK config;

namespace {

// The slot of a pattern-list field in catalogue order, or -1.
int pattern_slot(std::vector<regex_t>* PARAMDECK::*list) {
  int slot = 0;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind != PARAMDECK_KIND::PATTERN_LIST) continue;
    if (k.patterns == list) return slot;
    slot++;
  }
  return -1;
}

constexpr int count_pattern_lists() {
  int n = 0;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    n += k.kind == PARAMDECK_KIND::PATTERN_LIST;
  }
  return n;
}

}  // namespace

PARAMDECK::~PARAMDECK() {
  free_pattern_lists();
  free_spare_patterns();
}

void PARAMDECK::free_pattern_lists() {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind != PARAMDECK_KIND::PATTERN_LIST) continue;
    std::vector<regex_t>*& list = this->*k.patterns;
    if (!list) continue;
    for (regex_t& re : *list) regfree(&re);
    delete list;
    list = nullptr;
  }
  for (auto& texts : pattern_sources) texts.clear();
}

void PARAMDECK::free_spare_patterns() {
  for (auto& spare : spare_patterns) regfree(&spare.second);
  spare_patterns.clear();
}

const std::vector<std::string>& PARAMDECK::pattern_texts(
    std::vector<regex_t>* PARAMDECK::*list) const {
  static const std::vector<std::string> none;
  int slot = pattern_slot(list);
  return slot < 0 ? none : pattern_sources[slot];
}

bool PARAMDECK::add_pattern(std::vector<regex_t>* PARAMDECK::*list,
                            const char* pattern) {
  static_assert(count_pattern_lists() == PATTERN_LIST_COUNT,
                "one source list per pattern list");
  int slot = pattern_slot(list);
  if (slot < 0 || !(this->*list)) return false;
  regex_t re;
  auto spare = std::find_if(spare_patterns.begin(), spare_patterns.end(),
                            [pattern](const auto& p) { return p.first == pattern; });
  if (spare != spare_patterns.end()) {
    re = spare->second;  // the compiled pattern moves: one owner at a time
    spare_patterns.erase(spare);
  } else if (paramdeck_compile_pattern(&re, pattern)) {
    return false;
  }
  (this->*list)->push_back(re);
  pattern_sources[slot].push_back(pattern);
  return true;
}

void PARAMDECK::reset() {
  // The old patterns become spares for this load (see add_pattern).
  free_spare_patterns();
  int slot = 0;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind != PARAMDECK_KIND::PATTERN_LIST) continue;
    std::vector<regex_t>*& list = this->*k.patterns;
    for (size_t i = 0; list && i < list->size(); i++) {
      spare_patterns.emplace_back(pattern_sources[slot][i], (*list)[i]);
    }
    delete list;
    list = nullptr;
    pattern_sources[slot++].clear();
  }
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.alias) continue;
    switch (k.kind) {
      case PARAMDECK_KIND::TEXT: {
        char(&text)[256] = this->*k.text;
        std::fill(std::begin(text), std::end(text), '\0');
        strlcpy(text, k.text_default, sizeof text);
        break;
      }
      case PARAMDECK_KIND::INTEGER:
        this->*k.integer = static_cast<int>(k.number_default);
        break;
      case PARAMDECK_KIND::REAL:
      case PARAMDECK_KIND::HOURS: this->*k.real = k.number_default; break;
      case PARAMDECK_KIND::FLAG: this->*k.flag = k.number_default != 0; break;
      case PARAMDECK_KIND::PATTERN_LIST:
        this->*k.patterns = new std::vector<regex_t>;
        break;
      case PARAMDECK_KIND::INTEGER_LIST: (this->*k.integers).clear(); break;
      case PARAMDECK_KIND::JOB_LIMITS: this->*k.limits = JOB_LIMITS(); break;
      case PARAMDECK_KIND::PROJECT_CPU_CAP:
      case PARAMDECK_KIND::PROJECT_GPU_CAP: break;
    }
  }
}

namespace {

// The catalogue as a hash table with linear probing, built once: a settings
// document offers every tag to the catalogue, and a search that compares
// names one by one would cost more than the reading.
struct KeyIndex {
  static constexpr size_t SLOTS = 256;  // a power of two, over twice the rows
  static_assert(SLOTS >= 2 * PARAMDECK_KEY_COUNT, "a sparse table");
  const PARAMDECK_KEY* slots[SLOTS] = {};

  // The length and three characters tell the names apart well enough for
  // a short probe, at a fraction of the cost of hashing every character.
  static size_t hash(const char* s) {
    size_t len = strlen(s);
    if (!len) return 0;
    auto at = [s](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
    uint32_t h = static_cast<uint32_t>(len) * 0x9E3779B1u;
    h ^= at(0) * 0x85EBCA77u ^ at(len / 2) * 0xC2B2AE3Du ^ at(len - 1) * 0x27D4EB2Fu;
    return (h ^ (h >> 15)) & (SLOTS - 1);
  }
  KeyIndex() {
    for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
      size_t i = hash(k.name);
      while (slots[i]) i = (i + 1) & (SLOTS - 1);
      slots[i] = &k;
    }
  }
};

}  // namespace

const PARAMDECK_KEY* paramdeck_find_key(const char* name) {
  static const KeyIndex index;
  for (size_t i = KeyIndex::hash(name); index.slots[i];
       i = (i + 1) & (KeyIndex::SLOTS - 1)) {
    if (!strcmp(index.slots[i]->name, name)) return index.slots[i];
  }
  return nullptr;
}

namespace {


// A pattern in double quotes, with \" \\ \t \n and \xNN for the other
// control bytes, so that a list stays on one line and reads unambiguously.
void print_quoted(FILE* out, const std::string& text) {
  fputc('"', out);
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      fputc('\\', out);
      fputc(c, out);
    } else if (c == '\t') {
      fputs("\\t", out);
    } else if (c == '\n') {
      fputs("\\n", out);
    } else if (c < 0x20 || c == 0x7f) {
      fprintf(out, "\\x%02x", c);
    } else {
      fputc(c, out);
    }
  }
  fputc('"', out);
}

void print_limit(FILE* out, const char* name, const JOB_LIMIT& limit) {
  auto cap = [out](const char* what, const RSC_JOB_LIMIT& r) {
    fprintf(out, "%s=%d%s", what, r.jobs, r.per_proc ? "/proc" : "");
  };
  fprintf(out, " %s(", name);
  cap("total", limit.total_limit);
  fputc(' ', out);
  cap("cpu", limit.cpu_limit);
  fputc(' ', out);
  cap("gpu", limit.gpu_limit);
  fputc(')', out);
}

}  // namespace

void PARAMDECK::print(FILE* out) const {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.alias) continue;
    fputs(k.name, out);
    switch (k.kind) {
      case PARAMDECK_KIND::TEXT: {
        const char* text = this->*k.text;
        if (*text) fprintf(out, " %.255s", text);
        break;
      }
      case PARAMDECK_KIND::INTEGER:
        fprintf(out, " %d", this->*k.integer);
        break;
      case PARAMDECK_KIND::REAL:
        fputc(' ', out);
        fputs(real_text(this->*k.real).c_str(), out);
        break;
      case PARAMDECK_KIND::HOURS:
        fputc(' ', out);
        fputs(real_text(this->*k.real / 3600.0).c_str(), out);
        break;
      case PARAMDECK_KIND::FLAG:
        fprintf(out, " %d", this->*k.flag ? 1 : 0);
        break;
      case PARAMDECK_KIND::PATTERN_LIST:
        for (const std::string& text : pattern_texts(k.patterns)) {
          fputc(' ', out);
          print_quoted(out, text);
        }
        break;
      case PARAMDECK_KIND::INTEGER_LIST:
        for (int v : this->*k.integers) fprintf(out, " %d", v);
        break;
      case PARAMDECK_KIND::JOB_LIMITS: {
        const JOB_LIMITS& limits = this->*k.limits;
        print_limit(out, "project", limits.project_limit);
        for (const JOB_LIMIT& app : limits.app_limits) {
          print_limit(out, app.app_name, app);
        }
        break;
      }
      case PARAMDECK_KIND::PROJECT_CPU_CAP:
      case PARAMDECK_KIND::PROJECT_GPU_CAP: break;
    }
    fputc('\n', out);
  }
}
