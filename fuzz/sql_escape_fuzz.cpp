// escape_string, unescape_string and escape_mysql_like_pattern over
// arbitrary bytes and buffer sizes. Buffers are allocated at exactly the
// size given, so a write past it is an AddressSanitizer report.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "database/sql_escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes give the buffer size; above the statement size
  // once in a while, since sizes beyond it count as the limit.
  int field_size = data[0] << 8 | data[1];
  if (data[0] == 0xff) field_size = QUERY_TEXT_MAX + data[1];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.c_str();  // the text ends at its first NUL
  if (field_size > 0 && text.size() >= static_cast<size_t>(field_size)) {
    text.resize(field_size - 1);  // a text always fits its own buffer
  }

  size_t specials = 0;
  for (char c : text) specials += c == '\'' || c == '\\';

  if (field_size > 0) {
    std::unique_ptr<char[]> field(new char[field_size]);
    memcpy(field.get(), text.c_str(), text.size() + 1);
    escape_string(field.get(), field_size);
    size_t n = strnlen(field.get(), field_size);
    if (n == static_cast<size_t>(field_size)) abort();  // unterminated
    size_t bound = field_size > 3 ? field_size - 2 : 0;
    if (n > bound) abort();
    if (n == text.size() + specials) {  // nothing was cut: it round-trips
      unescape_string(field.get(), field_size);
      if (text != field.get()) abort();
    }
  } else {
    char untouched = 'u';
    escape_string(&untouched, field_size);
    if (untouched != 'u') abort();
  }

  std::unique_ptr<char[]> like(new char[3 * text.size() + 1]);
  escape_mysql_like_pattern(text.c_str(), like.get());
  if (strlen(like.get()) > 3 * text.size()) abort();
  return 0;
}
