// The tag reader's item stream over arbitrary bytes, from a string source and
// from a stream, with the typed readers and the skipper on the same items.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xml/xml_parser.h"

namespace {

void read_all(MIOFILE& mf) {
  XML_PARSER xp(&mf);
  char attrs[64];
  char text[32];
  int i = 0;
  double x = 0;
  bool b = false;
  int items = 0;
  while (
      !xp.get_tag(items % 2 ? attrs : nullptr, items % 2 ? sizeof attrs : 0)) {
    items++;
    if (strlen(xp.tag_buf) >= TAG_BUF_LEN) abort();
    if (xp.parse_str("s", text, sizeof text)) {
      if (strlen(text) >= sizeof text) abort();
      continue;
    }
    if (xp.parse_int("i", i) || xp.parse_double("d", x) ||
        xp.parse_bool("b", b)) {
      continue;
    }
    if (xp.is_tag && xp.tag_buf[0] == 'u') xp.skip_unexpected(false, "fuzz");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A string source ends at the first NUL byte.
  std::string text(reinterpret_cast<const char*>(data), size);
  MIOFILE from_string;
  from_string.init_buf_read(text.c_str());
  read_all(from_string);

  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) return 0;
  MIOFILE from_stream;
  from_stream.init_file(f);
  read_all(from_stream);
  fclose(f);
  return 0;
}
