// Small string routines shared by every module.
#ifndef ORVEX_COMMON_STR_UTIL_H
#define ORVEX_COMMON_STR_UTIL_H

#include <locale.h>

#include <cstddef>
#include <cstring>
#include <string>

#ifndef ORVEX_HAVE_SYSTEM_STRLCPY
// Copies at most size - 1 bytes of src and always terminates dst when size is
// nonzero. Returns strlen(src). (Newer C libraries provide their own.)
size_t strlcpy(char* dst, const char* src, size_t size);
#endif

// Removes leading and trailing white space (space, \t \n \v \f \r, in any
// locale) in place.
void strip_whitespace(char* str);

// The shortest of %.15g, %.16g and %.17g that reads back to the same
// number, with "." as the decimal point whatever the locale.
std::string real_text(double value);

// text in double quotes with \" \\ \t \n and \xNN for the other control
// bytes, so that it stays on one line and reads unambiguously.
std::string quoted_text(const std::string& text);

// text as a JSON string, quotes included: control bytes, quotes and
// backslashes escaped; bytes that are not UTF-8 become \u00XX so the output
// stays valid JSON.
std::string json_string(const std::string& text);

// Length of an MD5 digest as lower-case hex, without the terminator.
constexpr int MD5_HEX_LEN = 32;

// MD5 digest of data[0..len) as 32 lower-case hex digits.
std::string md5_string(const unsigned char* data, int len);

// The same, written into out (at least MD5_HEX_LEN + 1 bytes), no allocation.
void md5_string(const unsigned char* data, int len, char* out);

// The 16 bytes of the MD5 digest of data[0..len) into out; byte i is hex
// digits 2i and 2i+1 of md5_string.
void md5_digest(const unsigned char* data, int len, unsigned char* out);

// The C locale, made once and kept to the process's end: what settings
// texts are read and written in, whatever locale the program has chosen.
// Null when the system cannot make it.
locale_t c_locale();

#endif
