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

std::string real_text(double value) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  locale_t old = c_locale ? uselocale(c_locale) : nullptr;
  char text[64];
  for (int precision = 15; precision <= 17; precision++) {
    snprintf(text, sizeof text, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  if (old) uselocale(old);
  return text;
}
