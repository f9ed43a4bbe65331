// settings-keys: prints the reference table of every settings key, from the
// catalogue itself, as Markdown.
//
//   settings-keys               the table on standard output
//   settings-keys --check FILE  exit 1 unless FILE holds the current table
//                               between its "keys:begin" and "keys:end" marks
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "settings/paramdeck_keys.h"

namespace {

// Table cells hold no "|" of their own, and tags show as text.
std::string cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '|' ? "\\|" : c == '<' ? "&lt;" : std::string(1, c);
  }
  return out;
}

std::string table() {
  std::string out =
      "| key | type | default | what it does |\n|---|---|---|---|\n";
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    const PARAMDECK_TYPE& type = paramdeck_type(k.kind);
    std::string notes = paramdeck_key_notes(k);
    out +=
        std::string("| `") + k.name + "` | " + type.description + " | " +
        type.default_text(k) + " | " +
        cell(std::string(k.description) + (notes.empty() ? "" : " ") + notes) +
        " |\n";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    fputs(table().c_str(), stdout);
    return 0;
  }
  if (argc == 3 && !strcmp(argv[1], "--check")) {
    std::ifstream in(argv[2]);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const std::string begin = "<!-- keys:begin -->\n",
                      end = "<!-- keys:end -->";
    size_t b = text.find(begin), e = text.find(end);
    if (b == std::string::npos || e == std::string::npos || e < b) {
      fprintf(stderr, "settings-keys: %s has no keys:begin/keys:end marks\n",
              argv[2]);
      return 1;
    }
    if (text.substr(b + begin.size(), e - b - begin.size()) != table()) {
      fprintf(stderr,
              "settings-keys: the key table in %s is out of date; run "
              "scripts/update-readme-keys.sh\n",
              argv[2]);
      return 1;
    }
    return 0;
  }
  fprintf(stderr, "usage: settings-keys [--check FILE]\n");
  return 2;
}
