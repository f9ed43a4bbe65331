// Formatting of values for the tool's output.

#include <cstdlib>

#include "common/str_util.h"
#include "tools/admin/admin.h"

namespace admin {

std::string format_real(double value) { return real_text(value); }

namespace {

// Length of the well-formed UTF-8 sequence at s (n bytes left), or 0.
size_t utf8_length(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t len;
  unsigned int min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (len > n) return 0;
  unsigned int cp = c & (0x3F >> (len - 1));
  for (size_t i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out = "\"";
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    char esc[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c >= 0x80) {
      size_t len = utf8_length(s + i, n - i);
      if (len) {
        out.append(text, i, len);
        i += len;
        continue;
      }
      snprintf(esc, sizeof esc, "\\u%04x", c);  // a byte as its code point
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
    i++;
  }
  return out + "\"";
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace admin
