// The record as a whole: construction, reset, the key lookup and the
// printer, all driven by the catalogue.
#include <locale.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "settings/paramdeck_keys.h"

const char* CONFIG_FILE = "config.xml";
const char* CONFIG_FILE_AUX = "config_aux.xml";

PARAMDECK config;

PARAMDECK::~PARAMDECK() { free_pattern_lists(); }

void PARAMDECK::free_pattern_lists() {
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (k.kind != PARAMDECK_KIND::PATTERN_LIST) continue;
    std::vector<regex_t>*& list = this->*k.patterns;
    if (!list) continue;
    for (regex_t& re : *list) regfree(&re);
    delete list;
    list = nullptr;
  }
}

void PARAMDECK::reset() {
  free_pattern_lists();
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

const PARAMDECK_KEY* paramdeck_find_key(const char* name) {
  // Binary search over the rows sorted by name: a settings document offers
  // every tag to the catalogue, and a linear scan would cost more than
  // the reading.
  struct Index {
    std::array<const PARAMDECK_KEY*, PARAMDECK_KEY_COUNT> rows;
    Index() {
      for (size_t i = 0; i < PARAMDECK_KEY_COUNT; i++) {
        rows[i] = &PARAMDECK_KEYS[i];
      }
      std::sort(rows.begin(), rows.end(),
                [](auto* a, auto* b) { return strcmp(a->name, b->name) < 0; });
    }
  };
  static const Index index;
  auto it = std::lower_bound(
      index.rows.begin(), index.rows.end(), name,
      [](auto* row, const char* n) { return strcmp(row->name, n) < 0; });
  if (it == index.rows.end() || strcmp((*it)->name, name)) return nullptr;
  return *it;
}

namespace {

// A real as the shortest of %.15g..%.17g that reads back to the same
// number, with "." whatever the program's locale.
void print_real(FILE* out, double value) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  locale_t old = c_locale ? uselocale(c_locale) : nullptr;
  char text[64];
  for (int precision = 15; precision <= 17; precision++) {
    snprintf(text, sizeof text, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  if (old) uselocale(old);
  fputs(text, out);
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
        print_real(out, this->*k.real);
        break;
      case PARAMDECK_KIND::HOURS:
        fputc(' ', out);
        print_real(out, this->*k.real / 3600.0);
        break;
      case PARAMDECK_KIND::FLAG:
        fprintf(out, " %d", this->*k.flag ? 1 : 0);
        break;
      case PARAMDECK_KIND::PATTERN_LIST: {
        const std::vector<regex_t>* list = this->*k.patterns;
        fprintf(out, " [%zu compiled patterns]", list ? list->size() : 0);
        break;
      }
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
