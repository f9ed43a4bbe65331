#include "database/sql_escape.h"

#include <cstddef>

namespace {

bool needs_backslash(char c) { return c == '\'' || c == '\\'; }

}  // namespace

// Works in place in two passes, with no work area: the first finds how much
// of the input fits, the second writes it from the end backwards, where the
// output position never falls behind the input position.
void escape_string(char* field, int field_size) {
  if (field_size <= 0) return;
  if (field_size > QUERY_TEXT_MAX) field_size = QUERY_TEXT_MAX;
  // The room is checked before each input byte, so an escape pair may take
  // the output one byte past the limit: field_size - 2 bytes at most.
  const ptrdiff_t limit = field_size - 3;
  ptrdiff_t in_len = 0, out_len = 0;
  while (field[in_len] && out_len < limit) {
    out_len += needs_backslash(field[in_len]) ? 2 : 1;
    ++in_len;
  }
  field[out_len] = '\0';
  // Once no quote or backslash is left before the input position, the rest
  // is already in place (out == in + 1).
  ptrdiff_t out = out_len;
  for (ptrdiff_t in = in_len - 1; out != in + 1; --in) {
    char c = field[in];
    field[--out] = c;
    if (needs_backslash(c)) field[--out] = '\\';
  }
}

void unescape_string(char* field, int /*field_size*/) {
  char* in = field;
  char* out = field;
  while (*in) {
    if (*in == '\\') {
      ++in;
      if (!*in) break;
    }
    *out++ = *in++;
  }
  *out = '\0';
}

void escape_mysql_like_pattern(const char* pattern, char* escaped) {
  for (const char* p = pattern; *p; ++p) {
    if (*p == '_' || *p == '%') {
      *escaped++ = '\\';
      *escaped++ = '\\';
    } else if (needs_backslash(*p)) {
      *escaped++ = '\\';
    }
    *escaped++ = *p;
  }
  *escaped = '\0';
}
