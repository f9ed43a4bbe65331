// One settings load in a fresh process, as a server program meets it at
// start; settings_bench runs it once per sample. Prints the load's time in
// nanoseconds and the CLOCK_MONOTONIC time at which the settings were loaded.
//
//   settings_probe MODE DIR [PATTERN...]
//
// MODE: orvex   config.parse_file(DIR)
//       tree    libxml2's tree of DIR/config.xml, walked
//       reader  libxml2's text reader over DIR/config.xml
//       guard   the pattern guard alone over the PATTERNs (those the load
//               of DIR judges), first in its process as in the load: its
//               share of a cold load
// The two libxml2 loaders do the loader's work: each key's value is looked
// up in the catalogue, converted with strtol/strtod, stored in the record,
// patterns compiled with regcomp, and the host name read for the closing
// rule.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "settings/paramdeck.h"
#include "settings/paramdeck_keys.h"

namespace {

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::vector<regex_t> patterns;  // kept, as the record keeps its own

void store(const char* name, const char* value) {
  const PARAMDECK_KEY* k = paramdeck_find_key(name);
  if (!k) return;
  PARAMDECK& c = config;
  switch (k->kind) {
    case PARAMDECK_KIND::TEXT: strlcpy(c.*k->text, value, 256); break;
    case PARAMDECK_KIND::INTEGER:
      c.*k->integer = static_cast<int>(strtol(value, nullptr, 10));
      break;
    case PARAMDECK_KIND::REAL: c.*k->real = strtod(value, nullptr); break;
    case PARAMDECK_KIND::FLAG:
      c.*k->flag = !strcmp(value, "1") || !strcmp(value, "true");
      break;
    case PARAMDECK_KIND::PATTERN_LIST: {
      regex_t re;
      if (!regcomp(&re, value, REG_EXTENDED | REG_NOSUB))
        patterns.push_back(re);
      break;
    }
    case PARAMDECK_KIND::INTEGER_LIST:
      (c.*k->integers).push_back(static_cast<int>(strtol(value, nullptr, 10)));
      break;
    case PARAMDECK_KIND::HOURS:
      if (k->integer) {
        c.*k->integer = static_cast<int>(strtod(value, nullptr) * 3600);
      } else {
        c.*k->real = strtod(value, nullptr) * 3600;
      }
      break;
    case PARAMDECK_KIND::PROJECT_CPU_CAP:
    case PARAMDECK_KIND::PROJECT_GPU_CAP:
      c.max_jobs_in_progress.project_limit.cpu_limit.jobs =
          static_cast<int>(strtol(value, nullptr, 10));
      break;
    case PARAMDECK_KIND::JOB_LIMITS: break;
  }
}

void closing_rule() {
  char host[256];
  if (gethostname(host, sizeof host) == 0 && !strcmp(host, config.db_host)) {
    strlcpy(config.db_host, "localhost", sizeof config.db_host);
  }
}

int load_tree(const std::string& path) {
  xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
  if (!doc) return 1;
  xmlNode* root = xmlDocGetRootElement(doc);
  xmlNode* block = root ? root->children : nullptr;
  while (block &&
         (block->type != XML_ELEMENT_NODE ||
          strcmp(reinterpret_cast<const char*>(block->name), "config"))) {
    block = block->next;
  }
  if (!block) return 1;
  for (xmlNode* n = block->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    xmlChar* text = xmlNodeGetContent(n);
    store(reinterpret_cast<const char*>(n->name),
          text ? reinterpret_cast<const char*>(text) : "");
    xmlFree(text);
  }
  closing_rule();
  xmlFreeDoc(doc);
  return 0;
}

int load_reader(const std::string& path) {
  xmlTextReader* r = xmlReaderForFile(path.c_str(), nullptr, XML_PARSE_NONET);
  if (!r) return 1;
  char name[256] = "";
  while (xmlTextReaderRead(r) == 1) {
    int depth = xmlTextReaderDepth(r);
    int type = xmlTextReaderNodeType(r);
    if (type == XML_READER_TYPE_ELEMENT && depth == 2) {
      strlcpy(name, reinterpret_cast<const char*>(xmlTextReaderConstName(r)),
              sizeof name);
    } else if (type == XML_READER_TYPE_TEXT && depth == 3) {
      store(name, reinterpret_cast<const char*>(xmlTextReaderConstValue(r)));
    }
  }
  closing_rule();
  xmlFreeTextReader(r);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: settings_probe orvex|tree|reader|guard DIR [PATTERN...]\n");
    return 2;
  }
  std::string mode = argv[1], dir = argv[2];
  long long t0 = now_ns();
  int retval = 0;
  if (mode == "guard") {
    for (int i = 3; i < argc; i++) retval |= paramdeck_pattern_check(argv[i]);
  } else {
    retval = mode == "orvex"    ? config.parse_file(dir.c_str())
             : mode == "tree"   ? load_tree(dir + "/config.xml")
             : mode == "reader" ? load_reader(dir + "/config.xml")
                                : 2;
  }
  long long t1 = now_ns();
  if (retval) return 1;
  printf("%lld %lld\n", t1 - t0, t1);
  return 0;
}
