#include "common/str_util.h"

#include <locale.h>
#include <md5.h>

#include <cstdio>
#include <cstdlib>

#ifndef ORVEX_HAVE_SYSTEM_STRLCPY
size_t strlcpy(char* dst, const char* src, size_t size) {
  size_t len = strlen(src);
  if (size) {
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
  }
  return len;
}
#endif

// The six white-space characters of the C locale, whatever the locale is.
static inline bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

void strip_whitespace(char* str) {
  size_t end = strlen(str);
  while (end > 0 && is_space(str[end - 1])) end--;
  size_t start = 0;
  while (start < end && is_space(str[start])) start++;
  if (start) memmove(str, str + start, end - start);
  str[end - start] = 0;
}

void md5_string(const unsigned char* data, int len, char* out) {
  // libmd writes the lower-case hex digest and its terminator.
  MD5Data(data, len > 0 ? static_cast<size_t>(len) : 0, out);
}

void md5_digest(const unsigned char* data, int len, unsigned char* out) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, data, len > 0 ? static_cast<size_t>(len) : 0);
  MD5Final(out, &ctx);
}

std::string md5_string(const unsigned char* data, int len) {
  char hex[MD5_HEX_LEN + 1];
  md5_string(data, len, hex);
  return std::string(hex, MD5_HEX_LEN);
}

locale_t c_locale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

std::string real_text(double value) {
  locale_t old = c_locale() ? uselocale(c_locale()) : nullptr;
  char text[64];
  for (int precision = 15; precision <= 17; precision++) {
    snprintf(text, sizeof text, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  if (old) uselocale(old);
  return text;
}

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

std::string quoted_text(const std::string& text) {
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
