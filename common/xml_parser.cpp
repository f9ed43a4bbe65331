// The members of MIOFILE and XML_PARSER outside the inline scanning core.
#include "xml/xml_parser.h"

#include <locale.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "common/error_numbers.h"
#include "common/str_util.h"

MIOFILE::MIOFILE()
    : read_ptr(""),
      stream(nullptr),
      buf_start(read_ptr),
      buf_end(read_ptr),
      left_at(read_ptr) {}

MIOFILE::~MIOFILE() {}

void MIOFILE::init_file(FILE* f) {
  stream = f;
  counting = false;
}

void MIOFILE::init_buf_read(const char* s) {
  stream = nullptr;
  counting = false;
  read_ptr = left_at = buf_start = s ? s : "";
  buf_end = buf_start + strlen(buf_start);
}

void MIOFILE::find_string_end() {
  // Moved by hand: the string from here on is all there is.
  buf_start = left_at = read_ptr;
  buf_end = read_ptr + strlen(read_ptr);
  if (counting) counted = read_ptr;
}

void MIOFILE::_ungetc(int c) {
  if (stream) {
#ifdef __GLIBC__
    // The byte just read is still in the stream's buffer: step back over it
    // as ungetc would, without ungetc's lock (getc_unlocked reads the same
    // fields). Anything else takes the standard path.
    if (stream->_IO_read_ptr > stream->_IO_read_base &&
        static_cast<unsigned char>(stream->_IO_read_ptr[-1]) == c) {
      stream->_IO_read_ptr--;
      return;
    }
#endif
    ungetc(c, stream);
    // The byte now lies outside the buffer that was being counted.
    counted = nullptr;
  } else if (read_ptr > buf_start) {
    if (left_at == read_ptr) left_at--;
    read_ptr--;
  }
}

void MIOFILE::count_to(const char* p) {
  if (!counted || p <= counted) return;
  for (const char* q = counted; (q = static_cast<const char*>(memchr(
                                     q, '\n', static_cast<size_t>(p - q))));
       q++) {
    if (newlines < INT_MAX) newlines++;  // a line past that is told as that
  }
  last_was_newline = p[-1] == '\n';
  counted = p;
}

#ifdef __GLIBC__
int MIOFILE::refill_counted() {
  count_to(stream->_IO_read_end);
  int c = getc_unlocked(stream);
  counted = stream->_IO_read_base;
  return c;
}
#endif

void XML_PARSER::count_lines() {
  MIOFILE& s = *source;
  s.newlines = 0;
  s.last_was_newline = false;
  item_line = 1;
#ifdef __GLIBC__
  s.counted = s.stream ? s.stream->_IO_read_ptr : s.read_ptr;
#else
  if (s.stream) return;  // read byte by byte: no buffer to count in
  s.counted = s.read_ptr;
#endif
  s.counting = true;
}

XML_PARSER::XML_PARSER(MIOFILE* s) : is_tag(false), source(s) {
  tag_buf[0] = 0;
}

bool XML_PARSER::skip_byte_order_mark() {
  if (mark_looked_for) return true;
  mark_looked_for = true;
  // tag_buf is empty and is_tag false until the first item is read.
  if (is_tag || tag_buf[0]) return true;
  int c = source->_getc();
  if (c != 0xEF) {
    if (c >= 0) source->_ungetc(c);
    return true;
  }
  return source->_getc() == 0xBB && source->_getc() == 0xBF;
}

bool XML_PARSER::parse_start(const char* tag) {
  if (!skip_byte_order_mark()) return false;
  for (;;) {
    if (get_tag() || !is_tag) return false;
    // <?xml ...?>, other processing instructions, <!DOCTYPE ...>.
    if (tag_buf[0] == '?' || tag_buf[0] == '!') continue;
    return match_tag(tag);
  }
}

int XML_PARSER::open_form(const char* tag) const {
  if (!is_tag) return 0;
  size_t n = strlen(tag);
  if (strncmp(tag_buf, tag, n)) return 0;
  if (tag_buf[n] == 0) return 1;
  if (tag_buf[n] == '/' && tag_buf[n + 1] == 0) return 2;
  return 0;
}

// The character at src, with the predefined entities and numeric references
// decoded: its bytes in out (at most 4), their count returned, and in used
// the bytes of src it takes. Anything that is not a known reference stands
// for itself.
static int decode_one(const char* src, char* out, int& used) {
  static const struct {
    const char* name;
    char c;
  } named[] = {{"lt;", '<'},
               {"gt;", '>'},
               {"amp;", '&'},
               {"quot;", '"'},
               {"apos;", '\''}};
  out[0] = *src;
  used = 1;
  if (*src != '&') return 1;
  for (const auto& e : named) {
    size_t k = strlen(e.name);
    if (!strncmp(src + 1, e.name, k)) {
      out[0] = e.c;
      used = 1 + static_cast<int>(k);
      return 1;
    }
  }
  if (src[1] != '#') return 1;
  bool hex = src[2] == 'x';
  const char* digits = src + (hex ? 3 : 2);
  char* end;
  errno = 0;
  unsigned long cp = strtoul(digits, &end, hex ? 16 : 10);
  bool valid = end != digits && *end == ';' && errno == 0 && cp > 0 &&
               cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) &&
               (*digits != '-' && *digits != '+' && *digits != ' ');
  if (!valid) return 1;
  used = static_cast<int>(end + 1 - src);
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Decodes src into dst (capacity len >= 1); a character is never split at
// the end of dst. *full, when full is not null, gets the length of the
// whole decoded text (the rest is then decoded only to be counted).
static void decode_entities(const char* src, char* dst, int len, size_t* full) {
  int n = 0;
  while (*src) {
    if (*src != '&') {  // most characters: no call
      if (n + 1 > len - 1) break;
      dst[n++] = *src++;
      continue;
    }
    char out[4];
    int used;
    int out_len = decode_one(src, out, used);
    if (n + out_len > len - 1) break;
    for (int i = 0; i < out_len; i++) dst[n++] = out[i];
    src += used;
  }
  dst[n] = 0;
  if (!full) return;
  *full = static_cast<size_t>(n);
  while (*src) {
    char out[4];
    int used = 1;
    *full += *src == '&' ? static_cast<size_t>(decode_one(src, out, used)) : 1;
    src += used;
  }
}

bool XML_PARSER::read_value(const char* tag, char* buf, int len, bool decode,
                            size_t* full_len) {
  bool have_text = false;
  for (;;) {
    int kind = get_aux(tag_buf, TAG_BUF_LEN, nullptr, 0);
    if (kind == SCAN_END) return false;
    is_tag = kind == SCAN_TAG;
    if (is_tag) {
      if (tag_buf[0] == '/' && !strcmp(tag_buf + 1, tag)) return true;
      continue;  // markup inside a value is passed over
    }
    if (!have_text) {
      have_text = true;
      // CDATA content is taken as it stands.
      if (decode && kind == SCAN_TEXT) {
        decode_entities(tag_buf, buf, len, full_len);
      } else {
        size_t full = strlcpy(buf, tag_buf, static_cast<size_t>(len));
        if (full_len) *full_len = full;
      }
    }
  }
}

bool XML_PARSER::parse_str(const char* tag, char* buf, int len,
                           size_t* full_len) {
  int form = open_form(tag);
  if (!form) return false;
  if (full_len) *full_len = 0;
  if (len <= 0) {
    // No room for even a terminator: consume the element, store nothing.
    char dummy[1];
    if (form == 1) read_value(tag, dummy, 1, false, nullptr);
    return true;
  }
  buf[0] = 0;
  if (form == 1) read_value(tag, buf, len, true, full_len);
  return true;
}

int XML_PARSER::read_text(const char* tag, char* text) {
  int form = open_form(tag);
  text[0] = 0;
  if (form == 1) read_value(tag, text, TAG_BUF_LEN, false, nullptr);
  return form;
}

bool XML_PARSER::parse_int(const char* tag, int& value) {
  char text[TAG_BUF_LEN];
  int form = read_text(tag, text);
  if (form == 1) xml_text_to_int(text, value);
  return form != 0;
}

bool XML_PARSER::parse_double(const char* tag, double& value) {
  char text[TAG_BUF_LEN];
  int form = read_text(tag, text);
  if (form == 1) xml_text_to_double(text, value);
  return form != 0;
}

bool XML_PARSER::parse_bool(const char* tag, bool& value) {
  char text[TAG_BUF_LEN];
  int form = read_text(tag, text);
  if (form == 1) xml_text_to_bool(text, value);
  if (form == 2) value = true;
  return form != 0;
}

int XML_PARSER::scan_comment() {
  int dashes = 0;  // consecutive '-' just read, up to 2
  for (;;) {
    int c = source->_getc();
    if (c < 0) return SCAN_END;
    if (c == '>' && dashes == 2) return SCAN_COMMENT;
    if (c == '-') {
      if (dashes < 2) dashes++;
    } else {
      dashes = 0;
    }
  }
}

int XML_PARSER::scan_cdata(char* buf, int len) {
  // Up to two ']' are held back until we know they do not begin "]]>".
  int n = 0, held = 0;
  auto store = [&](char c) {
    if (n < len - 1) buf[n++] = c;
  };
  for (;;) {
    int c = source->_getc();
    if (c < 0) {
      if (len > 0) buf[n] = 0;
      return SCAN_END;
    }
    if (c == ']') {
      if (held == 2) {
        store(']');
      } else {
        held++;
      }
      continue;
    }
    if (c == '>' && held == 2) {
      if (len > 0) buf[n] = 0;
      return SCAN_CDATA;
    }
    for (; held; held--) store(']');
    store(static_cast<char>(c));
  }
}

int XML_PARSER::skip_unexpected(const char* start_tag, bool verbose,
                                const char* where) {
  char name[TAG_BUF_LEN];
  strlcpy(name, start_tag, sizeof name);
  if (verbose) {
    fprintf(stderr, "%s: unrecognized XML tag <%s>\n",
            where ? where : "XML_PARSER", name);
  }
  size_t n = strlen(name);
  if (!n || name[0] == '/' || name[n - 1] == '/' || name[0] == '?' ||
      name[0] == '!') {
    return 0;  // nothing nested to pass over
  }
  // Only elements of the same name nest; others cannot close this one. A
  // name cut to the buffer's capacity comes back one byte shorter in its
  // closing tag (the slash takes a place), so that is compared cut as well.
  const bool cut = n == TAG_BUF_LEN - 1;
  long depth = 1;
  while (!get_tag()) {
    if (!is_tag) continue;
    if (tag_buf[0] == '/' && (cut ? !strncmp(tag_buf + 1, name, n - 1) &&
                                        strlen(tag_buf + 1) == n - 1
                                  : !strcmp(tag_buf + 1, name))) {
      if (--depth == 0) return 0;
    } else if (!strcmp(tag_buf, name)) {
      depth++;
    }
  }
  return ERR_XML_INPUT;
}

bool xml_text_to_int(const char* text, int& value, const char** why) {
  char* end;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (end == text || *end) {
    if (why) *why = "is not an integer";
    return false;
  }
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
    if (why) *why = "is out of the 32-bit range (-2147483648 to 2147483647)";
    return false;
  }
  value = static_cast<int>(v);
  return true;
}

bool xml_text_to_double(const char* text, double& value, const char** why) {
  // Settings files use "." whatever LC_NUMERIC the program has chosen.
  char* end;
  double v = c_locale() ? strtod_l(text, &end, c_locale()) : strtod(text, &end);
  if (end == text || *end || std::isnan(v)) {
    if (why) *why = "is not a number";
    return false;
  }
  if (!std::isfinite(v)) {
    if (why) *why = "is out of the range of a real number";
    return false;
  }
  value = v;
  return true;
}

bool xml_text_to_bool(const char* text, bool& value, const char** why) {
  if (!*text || !strcmp(text, "1") || !strcmp(text, "true")) {
    value = true;
  } else if (!strcmp(text, "0") || !strcmp(text, "false")) {
    value = false;
  } else {
    if (why) *why = "is not a flag (1, 0, true or false)";
    return false;
  }
  return true;
}
