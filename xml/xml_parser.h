// Pull-style XML tag reader over a character source.
//
// A loop calls get_tag() until it returns true (end of input); is_tag tells a
// tag from text in tag_buf; match_tag compares exactly; the typed readers
// parse_str/int/double/bool take an element's value when the current tag is
// their key. No tree is built: the parser holds only the last item.
//
// Bad input never reads or writes past a buffer: over-long items are cut to
// their buffer's capacity less one, and the rest of the item is consumed.
// Malformed markup is not diagnosed; end of input is the only error.
//
// The scanning core below is inline so that every module that parses compiles
// its own copy; the other members live in the common support library.
#ifndef ORVEX_XML_XML_PARSER_H
#define ORVEX_XML_XML_PARSER_H

#include <cstdio>
#include <cstring>

#include "common/str_util.h"

// Results of the scanner.
constexpr int SCAN_COMMENT = 1;  // a comment was consumed
constexpr int SCAN_END = 2;      // the input ended
constexpr int SCAN_CDATA = 3;    // a CDATA section's content was read as text
constexpr int SCAN_TAG = 4;      // a tag was read
constexpr int SCAN_TEXT = 5;     // a run of text was read

constexpr int TAG_BUF_LEN = 4096;

// The character source: a stdio stream or a NUL-terminated string.
class MIOFILE {
 public:
  MIOFILE();   // an empty source: _getc gives -1
  ~MIOFILE();  // never closes the stream

  // Reads f from its current position. The stream is read without
  // per-character locking: no other thread may use f while it is parsed.
  void init_file(FILE* f);
  // Reads the NUL-terminated text s (not copied; it must outlive the reads).
  void init_buf_read(const char* s);

  // The next byte, 0..255, or -1 at end of input (again on every later call).
  inline int _getc();
  // Pushes back the byte just read by _getc, so that _getc returns it again.
  void _ungetc(int c);

  const char* read_ptr;  // read position in the string, when stream is null
  FILE* stream;          // the stream read, or null; not owned

 private:
  const char* buf_start;  // start of the string, bounds _ungetc
};

class XML_PARSER {
 public:
  // Records the source; reads nothing from it.
  explicit XML_PARSER(MIOFILE* source);

  // --- scanning core ---

  // Reads the next item into tag_buf and sets is_tag. False: an item was
  // read; true: end of input (tag_buf is then undefined). attr_buf, when
  // not null, receives the tag's attribute text (capacity attr_len).
  inline bool get_tag(char* attr_buf = nullptr, int attr_len = 0);
  // The same into buf (capacity len >= 2); is_tag_out is untouched at end.
  inline bool get(char* buf, int len, bool& is_tag_out, char* attr_buf,
                  int attr_len);
  // The item reader: SCAN_END, SCAN_TAG, SCAN_TEXT or SCAN_CDATA. len >= 2.
  inline int get_aux(char* buf, int len, char* attr_buf, int attr_len);
  // Reads a tag whose "<" was consumed.
  inline int scan_tag(char* __restrict buf, int len, char* __restrict attr_buf,
                      int attr_len);
  // Skips white space: true at end of input, else false and the first other
  // character in first_char.
  inline bool scan_nonws(int& first_char);
  // Copies text up to the next "<" (pushed back); at most len - 1 bytes are
  // stored. True at end of input.
  inline bool copy_until_tag(char* __restrict buf, int len);
  // True when tag_buf equals name exactly (case counts).
  bool match_tag(const char* name) const { return !strcmp(tag_buf, name); }
  // Passes over the element whose opening tag is current.
  int skip_unexpected(bool verbose, const char* where) {
    return skip_unexpected(tag_buf, verbose, where);
  }

  // --- readers (common support library) ---

  // Consumes the opening tag `tag`, passing over an XML declaration,
  // processing instructions, DOCTYPE and comments before it, and, on the
  // parser's first call, a UTF-8 byte-order mark that opens the document
  // (skip_byte_order_mark). False when anything else comes first or the
  // input ends.
  bool parse_start(const char* tag);

  // Passes over the bytes EF BB BF when they open the document. Meant for
  // the very start, before any item is read (parse_start calls it first);
  // only the first call on a parser reads anything, and not when a tag or
  // text was already delivered. False when the document opens with EF but
  // not with the whole mark (it is no XML then; what was read is lost).
  bool skip_byte_order_mark();

  // The typed readers: when the current item is the opening tag `tag`
  // (<tag> or <tag/>), they read the element's value, consume everything
  // up to and including its closing tag (or the rest of the input when it
  // never comes), and return true. Otherwise they return false and consume
  // nothing. The value is the element's first text or CDATA item, white
  // space stripped; markup inside the element is passed over.
  //
  // parse_str stores at most len - 1 bytes plus a NUL (an empty value for
  // <tag/>), decoding &lt; &gt; &amp; &quot; &apos; and numeric references.
  bool parse_str(const char* tag, char* buf, int len);
  // A value that is not a whole decimal integer within 32 bits (or <tag/>)
  // leaves value unchanged.
  bool parse_int(const char* tag, int& value);
  // A value that is not a whole finite real number (or <tag/>) leaves value
  // unchanged. The decimal point is "." whatever the locale.
  bool parse_double(const char* tag, double& value);
  // <tag/>, an empty element, 1 and true give true; 0 and false give false;
  // any other value leaves value unchanged.
  bool parse_bool(const char* tag, bool& value);

  // Consumes a comment after its "<!--", through "-->".
  int scan_comment();
  // Reads a CDATA section's content after its "<![CDATA[" into buf (at most
  // len - 1 bytes plus a NUL), through "]]>".
  int scan_cdata(char* buf, int len);
  // Passes over the element named start_tag, with everything nested in it,
  // through its closing tag; nothing for a closing, self-closing or
  // declaration tag. Iterative, so nesting depth costs no stack. 0, or
  // ERR_XML_INPUT when the input ends first. verbose reports the tag on
  // standard error, naming `where`.
  int skip_unexpected(const char* start_tag, bool verbose, const char* where);

  char tag_buf[TAG_BUF_LEN];  // the last item, NUL-terminated
  bool is_tag;                // whether that item was a tag
  MIOFILE* source;            // not owned

 private:
  // The scanning core, written once for both kinds of source: Next reads
  // the next byte. The public members choose the source once per call, not
  // once per byte.
  template <class Next>
  int get_aux_from(Next next, char* buf, int len, char* attr_buf, int attr_len);
  template <class Next>
  int scan_tag_from(Next next, char* __restrict buf, int len,
                    char* __restrict attr_buf, int attr_len);
  template <class Next>
  bool scan_nonws_from(Next next, int& first_char);
  template <class Next>
  bool copy_until_tag_from(Next next, char* __restrict buf, int len);

  // 0: the current item is not the opening tag `tag`; 1: <tag>; 2: <tag/>.
  int open_form(const char* tag) const;
  // Reads an element's content through "/tag"; the first text item goes to
  // buf (capacity len). False when the input ended first.
  bool read_value(const char* tag, char* buf, int len, bool decode);
  // open_form, and for <tag> its value, undecoded, into text (TAG_BUF_LEN).
  int read_text(const char* tag, char* text);

  bool mark_looked_for = false;  // skip_byte_order_mark ran
};

// Conversions used by the typed readers; exposed for settings checkers.
// Each returns false and leaves value unchanged when text does not convert.
bool xml_text_to_int(const char* text, int& value);
bool xml_text_to_double(const char* text, double& value);
bool xml_text_to_bool(const char* text, bool& value);

// ---------------------------------------------------------------------------
// Scanning core.

// The two kinds of source as the scanning loops read them. A stream is read
// without locking: no other thread uses it while it is parsed.
struct XML_STREAM_CHARS {
  FILE* stream;
  int operator()() const { return getc_unlocked(stream); }
};
struct XML_STRING_CHARS {
  MIOFILE* source;
  int operator()() const { return source->_getc(); }
};

// The six white-space characters of the C locale, whatever the locale is.
inline bool xml_is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline int MIOFILE::_getc() {
  if (stream) return getc_unlocked(stream);
  if (!*read_ptr) return -1;
  return static_cast<unsigned char>(*read_ptr++);
}

inline bool XML_PARSER::get_tag(char* attr_buf, int attr_len) {
  return get(tag_buf, TAG_BUF_LEN, is_tag, attr_buf, attr_len);
}

inline bool XML_PARSER::get(char* buf, int len, bool& is_tag_out,
                            char* attr_buf, int attr_len) {
  int result = get_aux(buf, len, attr_buf, attr_len);
  if (result == SCAN_END) return true;
  is_tag_out = result == SCAN_TAG;
  return false;
}

inline int XML_PARSER::get_aux(char* buf, int len, char* attr_buf,
                               int attr_len) {
  if (FILE* stream = source->stream) {
    return get_aux_from(XML_STREAM_CHARS{stream}, buf, len, attr_buf, attr_len);
  }
  return get_aux_from(XML_STRING_CHARS{source}, buf, len, attr_buf, attr_len);
}

inline int XML_PARSER::scan_tag(char* __restrict buf, int len,
                                char* __restrict attr_buf, int attr_len) {
  if (FILE* stream = source->stream) {
    return scan_tag_from(XML_STREAM_CHARS{stream}, buf, len, attr_buf, attr_len);
  }
  return scan_tag_from(XML_STRING_CHARS{source}, buf, len, attr_buf, attr_len);
}

inline bool XML_PARSER::scan_nonws(int& first_char) {
  if (FILE* stream = source->stream) {
    return scan_nonws_from(XML_STREAM_CHARS{stream}, first_char);
  }
  return scan_nonws_from(XML_STRING_CHARS{source}, first_char);
}

inline bool XML_PARSER::copy_until_tag(char* __restrict buf, int len) {
  if (FILE* stream = source->stream) {
    return copy_until_tag_from(XML_STREAM_CHARS{stream}, buf, len);
  }
  return copy_until_tag_from(XML_STRING_CHARS{source}, buf, len);
}

template <class Next>
inline int XML_PARSER::get_aux_from(Next next, char* buf, int len,
                                    char* attr_buf, int attr_len) {
  for (;;) {
    int c;
    if (scan_nonws_from(next, c)) return SCAN_END;
    if (c == '<') {
      int result = scan_tag_from(next, buf, len, attr_buf, attr_len);
      if (result == SCAN_COMMENT) continue;
      // White space never enters a tag's text: only CDATA needs stripping.
      if (result == SCAN_CDATA) strip_whitespace(buf);
      return result;
    }
    // Text starts at a character that is not white space, so only its end
    // needs stripping.
    buf[0] = static_cast<char>(c);
    if (copy_until_tag_from(next, buf + 1, len - 1)) return SCAN_END;
    size_t n = strlen(buf);
    while (n > 0 && xml_is_space(static_cast<unsigned char>(buf[n - 1]))) n--;
    buf[n] = 0;
    return SCAN_TEXT;
  }
}

template <class Next>
inline bool XML_PARSER::scan_nonws_from(Next next, int& first_char) {
  for (;;) {
    int c = next();
    if (c < 0) return true;
    if (!xml_is_space(c)) {
      first_char = c;
      return false;
    }
  }
}

template <class Next>
inline int XML_PARSER::scan_tag_from(Next next, char* __restrict buf, int len,
                                     char* __restrict attr_buf, int attr_len) {
  // Counters start at the capacities and a character is stored only while
  // its counter, decremented first, stays above 0: at most capacity - 1.
  // They stop at 1 rather than wrap on an endless tag. (__restrict: the
  // buffers never overlap the source, so its state stays in registers.)
  int tag_left = len, attr_left = attr_buf ? attr_len : 0;
  int tag_n = 0, attr_n = 0;
  int c;
  // The name: everything up to the first white space. While it is short it
  // may still turn out to open a comment or a CDATA section: no white space
  // has come yet, so every character read so far was stored.
  for (;;) {
    c = next();
    if (c < 0 || c == '>') goto done;
    if (xml_is_space(c)) goto attributes;
    if (tag_left <= 1) break;
    tag_left--;
    buf[tag_n++] = static_cast<char>(c);
    if (tag_n == 3 && !memcmp(buf, "!--", 3)) return scan_comment();
    if (tag_n == 8) {
      if (!memcmp(buf, "![CDATA[", 8)) return scan_cdata(buf, tag_left);
      break;
    }
  }
  for (;;) {
    c = next();
    if (c < 0 || c == '>') goto done;
    if (xml_is_space(c)) break;
    if (tag_left > 1) {
      tag_left--;
      buf[tag_n++] = static_cast<char>(c);
    }
  }
attributes:
  // The attributes. The first white space only separated them from the
  // name; a slash still goes to the tag's text.
  for (;;) {
    c = next();
    if (c < 0 || c == '>') goto done;
    if (c == '/') {
      if (tag_left > 1) {
        tag_left--;
        buf[tag_n++] = '/';
      }
    } else if (attr_left > 1) {
      attr_left--;
      attr_buf[attr_n++] = static_cast<char>(c);
    }
  }
done:
  // At end of input the item is dropped; terminating keeps it harmless.
  if (len > 0) buf[tag_n] = 0;
  if (attr_buf && attr_len > 0) attr_buf[attr_n] = 0;
  return c < 0 ? SCAN_END : SCAN_TAG;
}

template <class Next>
inline bool XML_PARSER::copy_until_tag_from(Next next, char* __restrict buf,
                                            int len) {
  int n = 0;
  int room = len - 1;  // bytes that may be stored before the terminator
  for (;;) {
    int c = next();
    if (c < 0 || c == '<') {
      if (len > 0) buf[n] = 0;
      if (c < 0) return true;
      source->_ungetc(c);
      return false;
    }
    if (n < room) buf[n++] = static_cast<char>(c);
  }
}

#endif
