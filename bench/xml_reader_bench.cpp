// Tag reader throughput over 10 MiB of small elements, from a stream and from
// a string, against expat (64 KiB blocks), libxml2's SAX2 push parser and
// pugixml's in-place parse on the same bytes; and the reader again with an
// idle second thread alive, which makes stdio's locked getc many times
// slower.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pugixml.hpp>
#include <string>
#include <thread>

#include "xml/xml_parser.h"

namespace {

const std::string& document() {
  static const std::string doc = [] {
    std::string d = "<?xml version=\"1.0\"?>\n<results>\n";
    for (int i = 0; d.size() < 10u << 20; i++) {
      d += "  <result><name>wu_" + std::to_string(i) +
           "_0</name><exit_status>0</exit_status><cpu>12.5</cpu></result>\n";
    }
    return d + "</results>\n";
  }();
  return doc;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(document().size()));
}

void read_with_tag_reader(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    FILE* f = fmemopen(const_cast<char*>(doc.data()), doc.size(), "r");
    MIOFILE mf;
    XML_PARSER xp(&mf);
    mf.init_file(f);
    long items = 0;
    while (!xp.get_tag()) items++;
    benchmark::DoNotOptimize(items);
    fclose(f);
  }
  set_bytes(state);
}

void BM_TagReader(benchmark::State& state) { read_with_tag_reader(state); }
BENCHMARK(BM_TagReader)->Unit(benchmark::kMillisecond);

// The same document from an in-memory string.
void BM_TagReaderBuffer(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    MIOFILE mf;
    XML_PARSER xp(&mf);
    mf.init_buf_read(doc.c_str());
    long items = 0;
    while (!xp.get_tag()) items++;
    benchmark::DoNotOptimize(items);
  }
  set_bytes(state);
}
BENCHMARK(BM_TagReaderBuffer)->Unit(benchmark::kMillisecond);

// The parser users pick for speed: pugixml parsing a buffer in place (its
// default options, which decode entities as our typed readers do), then
// every node visited, as the other readers deliver every item. The copy it
// parses is made outside the timing: a program parses the buffer it read
// the file into.
void BM_PugixmlInPlace(benchmark::State& state) {
  const std::string& doc = document();
  std::string copy;
  for (auto _ : state) {
    state.PauseTiming();
    copy = doc;
    state.ResumeTiming();
    pugi::xml_document tree;
    pugi::xml_parse_result ok =
        tree.load_buffer_inplace(copy.data(), copy.size());
    if (!ok) state.SkipWithError(ok.description());
    long items = 0;
    struct Counter : pugi::xml_tree_walker {
      long* items;
      bool for_each(pugi::xml_node&) override {
        ++*items;
        return true;
      }
    } counter;
    counter.items = &items;
    tree.traverse(counter);
    benchmark::DoNotOptimize(items);
  }
  set_bytes(state);
}
BENCHMARK(BM_PugixmlInPlace)->Unit(benchmark::kMillisecond);

// An idle thread: its mere existence switches stdio to locked mode.
void BM_TagReaderIdleThread(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread idle([&] {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
  });
  read_with_tag_reader(state);
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_one();
  idle.join();
}
BENCHMARK(BM_TagReaderIdleThread)->Unit(benchmark::kMillisecond);

void count_start(void* data, const XML_Char*, const XML_Char**) {
  ++*static_cast<long*>(data);
}
void count_end(void* data, const XML_Char*) { ++*static_cast<long*>(data); }
void count_text(void* data, const XML_Char*, int) {
  ++*static_cast<long*>(data);
}

void BM_Expat64K(benchmark::State& state) {
  const std::string& doc = document();
  for (auto _ : state) {
    XML_Parser p = XML_ParserCreate(nullptr);
    long items = 0;
    XML_SetUserData(p, &items);
    XML_SetElementHandler(p, count_start, count_end);
    XML_SetCharacterDataHandler(p, count_text);
    const size_t block = 64 << 10;
    for (size_t off = 0; off < doc.size(); off += block) {
      size_t n = std::min(block, doc.size() - off);
      XML_Parse(p, doc.data() + off, static_cast<int>(n),
                off + n == doc.size());
    }
    benchmark::DoNotOptimize(items);
    XML_ParserFree(p);
  }
  set_bytes(state);
}
BENCHMARK(BM_Expat64K)->Unit(benchmark::kMillisecond);

void sax_start(void* ctx, const xmlChar*, const xmlChar**) {
  ++*static_cast<long*>(ctx);
}
void sax_end(void* ctx, const xmlChar*) { ++*static_cast<long*>(ctx); }
void sax_text(void* ctx, const xmlChar*, int) { ++*static_cast<long*>(ctx); }

void BM_Libxml2SaxPush(benchmark::State& state) {
  const std::string& doc = document();
  xmlSAXHandler sax = {};
  sax.startElement = sax_start;
  sax.endElement = sax_end;
  sax.characters = sax_text;
  for (auto _ : state) {
    long items = 0;
    const size_t block = 64 << 10;
    xmlParserCtxtPtr ctx =
        xmlCreatePushParserCtxt(&sax, &items, doc.data(), 4, nullptr);
    for (size_t off = 4; off < doc.size(); off += block) {
      size_t n = std::min(block, doc.size() - off);
      xmlParseChunk(ctx, doc.data() + off, static_cast<int>(n),
                    off + n == doc.size());
    }
    benchmark::DoNotOptimize(items);
    xmlFreeParserCtxt(ctx);
  }
  set_bytes(state);
}
BENCHMARK(BM_Libxml2SaxPush)->Unit(benchmark::kMillisecond);

}  // namespace
