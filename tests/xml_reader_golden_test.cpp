// The tag reader's complete output, byte for byte, over the fuzzers' corpora,
// the test documents and a fixed set of generated documents, compared with a
// golden dump written by an earlier, byte-at-a-time reader. Every stream
// buffering (default, 7 bytes, none) must give the stream's dump; the string
// source has its own (it ends at the first NUL).
//
// ORVEX_WRITE_GOLDEN=1 rewrites the golden file instead of comparing.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "xml/xml_parser.h"

namespace {

const std::string kGolden = std::string(ORVEX_TEST_DATA) + "/xml_reader.golden";

enum class Source { STRING, STREAM, STREAM_SMALL, STREAM_UNBUFFERED };

// Every byte of s, printable ASCII as is and the rest as \xNN.
void put(std::string& out, const char* s) {
  for (; *s; s++) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
}

// The items of doc through get_aux with buffers of the given capacities,
// then the typed readers and the skipper as the settings loops use them.
std::string dump(const std::string& doc, Source source, int len, int attr_len) {
  FILE* f = nullptr;
  char small_buf[7];
  MIOFILE mf;
  XML_PARSER xp(&mf);
  if (source == Source::STRING) {
    mf.init_buf_read(doc.c_str());
  } else {
    // fmemopen refuses an empty buffer.
    f = doc.empty() ? fopen("/dev/null", "r")
                    : fmemopen(const_cast<char*>(doc.data()), doc.size(), "r");
    if (!f) return "cannot open a stream";
    if (source == Source::STREAM_SMALL)
      setvbuf(f, small_buf, _IOFBF, sizeof small_buf);
    if (source == Source::STREAM_UNBUFFERED) setvbuf(f, nullptr, _IONBF, 0);
    mf.init_file(f);
  }
  std::string out;
  std::vector<char> buf(len), attrs(attr_len > 0 ? attr_len : 1);
  char* attr_buf = attr_len > 0 ? attrs.data() : nullptr;
  for (int items = 0;; items++) {
    int kind = xp.get_aux(buf.data(), len, attr_buf, attr_len);
    out += std::to_string(kind) + " ";
    if (kind == SCAN_END) break;
    put(out, buf.data());
    if (kind == SCAN_TAG && attr_buf) {
      out += " | ";
      put(out, attr_buf);
    }
    out += "\n";
    // Now and then the readers take over from the tag just read: the typed
    // ones on their names, the skipper on names beginning with u.
    if (kind != SCAN_TAG || items % 3 != 2 || !strchr("sidbu", buf[0]))
      continue;
    strlcpy(xp.tag_buf, buf.data(), TAG_BUF_LEN);
    xp.is_tag = true;
    char text[16];
    int i = -1;
    double x = -1;
    bool b = false;
    if (xp.parse_str("s", text, sizeof text)) {
      out += "str ";
      put(out, text);
    } else if (xp.parse_int("i", i)) {
      out += "int " + std::to_string(i);
    } else if (xp.parse_double("d", x)) {
      out += "double " + std::to_string(x);
    } else if (xp.parse_bool("b", b)) {
      out += b ? "bool 1" : "bool 0";
    } else if (buf[0] == 'u') {
      out += "skip " + std::to_string(xp.skip_unexpected(false, "golden"));
    }
    out += "\n";
  }
  if (f) fclose(f);
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The files a golden dump covers, by the names it gives them ("== /fuzz/...").
// A file added to a corpus later (the fuzzers' findings are kept there)
// joins the comparison when the golden file is written again.
std::vector<std::string> files_of(const std::string& golden) {
  std::vector<std::string> files;
  std::istringstream in(golden);
  std::string line;
  // A header follows the dump before it on the same line when that dump
  // does not end in a newline.
  while (std::getline(in, line) && line != "stream source") {
    size_t at = line.find("== /");
    if (at != std::string::npos) files.push_back(line.substr(at + 3));
  }
  return files;
}

// The documents: the files named (every file of the corpora and test data
// when none are), then generated ones rich in markup characters, some
// longer than the buffers.
std::vector<std::pair<std::string, std::string>> documents(
    const std::vector<std::string>& files) {
  std::vector<std::pair<std::string, std::string>> docs;
  for (const std::string& name : files) {
    docs.emplace_back(name, read_file(ORVEX_SOURCE_ROOT + name));
  }
  std::vector<std::string> dirs = {std::string(ORVEX_TEST_DATA) + "/project",
                                   std::string(ORVEX_TEST_DATA) + "/broken"};
  if (!files.empty()) dirs.clear();
  std::string corpus = std::string(ORVEX_SOURCE_ROOT) + "/fuzz/corpus";
  if (DIR* d = files.empty() ? opendir(corpus.c_str()) : nullptr) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') dirs.push_back(corpus + "/" + e->d_name);
    }
    closedir(d);
  }
  for (const std::string& dir : dirs) {
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || e->d_type == DT_DIR) continue;
      std::string path = dir + "/" + e->d_name;
      docs.emplace_back(path.substr(std::string(ORVEX_SOURCE_ROOT).size()),
                        read_file(path));
    }
    closedir(d);
  }
  std::sort(docs.begin(), docs.end());
  static const char alphabet[] =
      "<<<>>>///   \t\n\r\v\f!!--[[]]CDATA?xyz=\"'&;#\xff\x80sidbu1.5e";
  uint64_t state = 17;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state >> 33);
  };
  for (int n = 0; n < 600; n++) {
    std::string doc;
    size_t size = next() % (n % 50 == 0 ? 12000 : 300);
    bool nul = n % 7 == 0;
    while (doc.size() < size) {
      uint32_t r = next();
      if (r % 97 == 0) {
        // A run of one byte, so that items outgrow their buffers.
        doc.append(next() % 5000, "a <>/ -]"[r % 8]);
      } else if (nul && r % 61 == 0) {
        doc += '\0';
      } else {
        doc += alphabet[r % (sizeof alphabet - 1)];
      }
    }
    docs.emplace_back("generated " + std::to_string(n), doc);
  }
  return docs;
}

// Files are dumped in full; generated documents by a hash of their dump,
// to keep the golden file small.
std::string everything(Source source, const std::vector<std::string>& files) {
  std::string out;
  for (const auto& [name, doc] : documents(files)) {
    std::string d = dump(doc, source, TAG_BUF_LEN, TAG_BUF_LEN) +
                    dump(doc, source, TAG_BUF_LEN, 0) +
                    dump(doc, source, 5, 3) + dump(doc, source, 2, 1);
    if (name.rfind("generated", 0) == 0) {
      uint64_t h = 14695981039346656037ULL;  // FNV-1a
      for (unsigned char c : d) h = (h ^ c) * 1099511628211ULL;
      d = "hash " + std::to_string(h) + "\n";
    }
    out += "== " + name + "\n" + d;
  }
  return out;
}

TEST(XmlReaderGolden, OutputIsUnchanged) {
  bool write = getenv("ORVEX_WRITE_GOLDEN") != nullptr;
  std::string golden = write ? "" : read_file(kGolden);
  ASSERT_TRUE(write || !golden.empty()) << kGolden;
  std::vector<std::string> files = files_of(golden);
  ASSERT_TRUE(write || !files.empty()) << "no file named in " << kGolden;
  std::string from_string = everything(Source::STRING, files);
  std::string from_stream = everything(Source::STREAM, files);
  std::string all =
      "string source\n" + from_string + "stream source\n" + from_stream;
  if (write) {
    std::ofstream(kGolden, std::ios::binary) << all;
    GTEST_SKIP() << "wrote " << kGolden;
  }
  // Compare line by line, so that a failure names the first difference.
  std::istringstream want(golden), got(all);
  std::string a, b;
  for (int line = 1; std::getline(want, a); line++) {
    ASSERT_TRUE(std::getline(got, b))
        << "output ends before golden line " << line;
    ASSERT_EQ(a, b) << "golden line " << line;
  }
  EXPECT_FALSE(std::getline(got, b)) << "output longer than golden";
  EXPECT_EQ(everything(Source::STREAM_SMALL, files), from_stream);
  EXPECT_EQ(everything(Source::STREAM_UNBUFFERED, files), from_stream);
}

}  // namespace
