// Loading a full "config.xml" (every key of the catalogue) through
// config.parse_file, from fopen to fclose, against libxml2 reading the same
// file as a tree and with its text reader.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/paramdeck.h"
#include "settings/paramdeck_keys.h"

namespace {

// A value of the right kind for every key; nothing that makes the loader
// log (client versions above 9999, patterns that compile).
std::string value_for(const PARAMDECK_KEY& k) {
  switch (k.value()) {
    case PARAMDECK_VALUE::TEXT:
      return k.kind == PARAMDECK_KIND::PATTERN_LIST ? ".*Pentium II.*"
                                                    : "/srv/project/value";
    case PARAMDECK_VALUE::INTEGER: return "70100";
    case PARAMDECK_VALUE::REAL: return "1.5";
    case PARAMDECK_VALUE::FLAG: return "1";
    case PARAMDECK_VALUE::BLOCK: return "";
  }
  return "";
}

// The project directory holding the full document, made once and removed
// when the program ends.
struct Project {
  std::string dir;
  ~Project() {
    if (dir.empty()) return;
    remove((dir + "/config.xml").c_str());
    rmdir(dir.c_str());
  }
};

const std::string& project() {
  static const Project made{[] {
    char tmpl[] = "/tmp/orvex_bench_settings_XXXXXX";
    if (!mkdtemp(tmpl)) {
      perror("mkdtemp");
      exit(1);
    }
    std::string d = tmpl;
    std::string doc = "<?xml version=\"1.0\"?>\n<orvex>\n<config>\n";
    int keys = 0;
    for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
      if (k.auxiliary()) continue;
      doc += "  <" + std::string(k.name) + ">" + value_for(k) + "</" + k.name +
             ">\n";
      keys++;
    }
    doc += "</config>\n</orvex>\n";
    FILE* f = fopen((d + "/config.xml").c_str(), "w");
    fputs(doc.c_str(), f);
    fclose(f);
    fprintf(stderr, "settings document: %d keys, %zu bytes\n", keys,
            doc.size());
    return d;
  }()};
  return made.dir;
}

void BM_SettingsLoad(benchmark::State& state) {
  const std::string& dir = project();
  for (auto _ : state) {
    if (config.parse_file(dir.c_str())) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_SettingsLoad)->Unit(benchmark::kMicrosecond);

long walk(xmlNode* node) {
  long n = 0;
  for (; node; node = node->next) {
    if (node->type == XML_ELEMENT_NODE) {
      xmlChar* text = xmlNodeGetContent(node);
      n += text ? 1 : 0;
      xmlFree(text);
      n += walk(node->children);
    }
  }
  return n;
}

void BM_SettingsLibxml2Dom(benchmark::State& state) {
  std::string path = project() + "/config.xml";
  for (auto _ : state) {
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    benchmark::DoNotOptimize(walk(xmlDocGetRootElement(doc)));
    xmlFreeDoc(doc);
  }
}
BENCHMARK(BM_SettingsLibxml2Dom)->Unit(benchmark::kMicrosecond);

void BM_SettingsLibxml2TextReader(benchmark::State& state) {
  std::string path = project() + "/config.xml";
  for (auto _ : state) {
    xmlTextReader* reader = xmlReaderForFile(path.c_str(), nullptr, XML_PARSE_NONET);
    long n = 0;
    while (xmlTextReaderRead(reader) == 1) {
      const xmlChar* value = xmlTextReaderConstValue(reader);
      n += value ? 1 : 0;
    }
    benchmark::DoNotOptimize(n);
    xmlFreeTextReader(reader);
  }
}
BENCHMARK(BM_SettingsLibxml2TextReader)->Unit(benchmark::kMicrosecond);

}  // namespace
