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
  for (auto& spare : spare_patterns) {
    for (regex_t& re : spare.second) regfree(&re);
  }
  spare_patterns.clear();
}

const std::vector<std::string>& PARAMDECK::pattern_texts(
    std::vector<regex_t>* PARAMDECK::*list) const {
  static const std::vector<std::string> none;
  int slot = pattern_slot(list);
  return slot < 0 ? none : pattern_sources[slot];
}

int PARAMDECK::add_pattern(std::vector<regex_t>* PARAMDECK::*list,
                           const char* pattern, const char** why) {
  static_assert(count_pattern_lists() == PATTERN_LIST_COUNT,
                "one source list per pattern list");
  if (why) *why = nullptr;
  int slot = pattern_slot(list);
  if (slot < 0 || !(this->*list)) {
    if (why) *why = "not a pattern list";
    return REG_ESPACE;
  }
  regex_t re;
  auto spare = spare_patterns.find(pattern);
  if (spare != spare_patterns.end()) {
    re = spare->second.back();  // the compiled pattern moves: one owner
    spare->second.pop_back();
    if (spare->second.empty()) spare_patterns.erase(spare);
  } else if (pattern == PARAMDECK_AMD_K6_PATTERN) {
    // The library's own pattern: the guard's verdict on it is a test's.
    int rc = paramdeck_regcomp_c(&re, pattern);
    if (rc) return rc;
  } else {
    int rc = paramdeck_compile_pattern(&re, pattern, why);
    if (rc) return rc;
  }
  (this->*list)->push_back(re);
  pattern_sources[slot].push_back(pattern);
  return 0;
}

void PARAMDECK::reset() {
  // The old patterns become spares for this load (see add_pattern).
  free_spare_patterns();
  int slot = 0;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind != PARAMDECK_KIND::PATTERN_LIST) continue;
    std::vector<regex_t>*& list = this->*k.patterns;
    for (size_t i = 0; list && i < list->size(); i++) {
      spare_patterns[pattern_sources[slot][i]].push_back((*list)[i]);
    }
    delete list;
    list = nullptr;
    pattern_sources[slot++].clear();
  }
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (!k.alias) paramdeck_type(k.kind).reset(*this, k);
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
    auto at = [s](size_t i) {
      return static_cast<uint32_t>(static_cast<unsigned char>(s[i]));
    };
    uint32_t h = static_cast<uint32_t>(len) * 0x9E3779B1u;
    h ^= at(0) * 0x85EBCA77u ^ at(len / 2) * 0xC2B2AE3Du ^
         at(len - 1) * 0x27D4EB2Fu;
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

void PARAMDECK::print(FILE* out) const {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.alias) continue;
    std::string value = paramdeck_type(k.kind).text(*this, k);
    fputs(k.name, out);
    if (!value.empty()) {
      fputc(' ', out);
      fputs(value.c_str(), out);
    }
    fputc('\n', out);
  }
}
