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
#if defined(__SSE2__) && !defined(ORVEX_XML_NO_SIMD)
#include <emmintrin.h>
#endif

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
  // The input ends at the first NUL from read_ptr on: read_ptr may be moved
  // by hand (to this text or another), and then nothing of the text before
  // is read, whatever it held.
  void init_buf_read(const char* s);

  // The next byte, 0..255, or -1 at end of input (again on every later call).
  inline int _getc();
  // Pushes back the byte just read by _getc, so that _getc returns it again.
  void _ungetc(int c);

  const char* read_ptr;  // read position in the string, when stream is null
  FILE* stream;          // the stream read, or null; not owned

  // Line counting, off unless XML_PARSER::count_lines() turned it on. The
  // bytes read are counted in bulk, up to a point asked for and before a
  // stream's buffer is refilled, so reading costs no more per byte.
  bool counting = false;
  int newlines = 0;               // '\n' bytes read before `counted`
  bool last_was_newline = false;  // the last byte counted was '\n'
  const char* counted = nullptr;  // in the string, or the stream's buffer
  // Counts the bytes from `counted` up to p (in the same buffer).
  void count_to(const char* p);
#ifdef __GLIBC__
  // Counts the rest of the stream's buffer, refills it, returns its byte.
  int refill_counted();
#endif

  // The terminating NUL of the string read_ptr reads: known from
  // init_buf_read while the reader alone moves read_ptr, looked for again
  // when read_ptr was moved by hand.
  const char* string_end() {
    if (read_ptr != left_at) find_string_end();
    return buf_end;
  }
  // Sets read_ptr for the reader itself (the end stays known).
  void leave_at(const char* p) { read_ptr = left_at = p; }

 private:
  void find_string_end();
  const char* buf_start;  // start of the string, bounds _ungetc
  const char* buf_end;    // its terminating NUL
  const char* left_at;    // where the reader last left read_ptr
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
  // Counts lines from here on: line() and last_line() then tell where the
  // items stand. Positions are known for a string source, and for a stream
  // with glibc (elsewhere they stay 1). Off, the reader does not count.
  void count_lines();
  // The line (from 1) on which the current item begins; when the input
  // ended outside an item (in white space or a comment), the line where it
  // ended. 0 when lines are not counted.
  int line() const { return item_line; }
  // At end of input: the line of the document's last byte (1 for an empty
  // document). 0 when lines are not counted.
  int last_line() const {
    if (!source->counting) return item_line;
    return source->newlines + (source->last_was_newline ? 0 : 1);
  }
  // Whether a read (get_tag, a typed reader, skip_unexpected) has met the
  // end of input: a reader that returned then did not find what it looked
  // for, such as the closing tag of its element.
  bool ended() const { return input_ended; }

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
  // full_len, when not null, gets the length the decoded value has before
  // the cut (a value is first read into TAG_BUF_LEN bytes).
  bool parse_str(const char* tag, char* buf, int len,
                 size_t* full_len = nullptr);
  // A value that is not a whole decimal integer within 32 bits (or <tag/>)
  // leaves value unchanged.
  bool parse_int(const char* tag, int& value);
  // A value that is not a whole finite real number (or <tag/>) leaves value
  // unchanged. The decimal point is "." whatever the locale.
  bool parse_double(const char* tag, double& value);
  // <tag/>, an empty element, 1 and true give true; 0 and false give false;
  // any other value leaves value unchanged.
  bool parse_bool(const char* tag, bool& value);
  // What the three above read before converting: 0 when the current item is
  // not the opening tag `tag`; 1 for <tag>, its value, undecoded, in text
  // (TAG_BUF_LEN bytes); 2 for <tag/>, text empty.
  int read_text(const char* tag, char* text);

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
  // The scanning core, written once for both kinds of source: In is a
  // cursor over the source's bytes (XML_STRING_CURSOR, XML_STREAM_CURSOR).
  // The public members choose the source once per call, not once per byte.
  template <class In>
  int get_aux_from(In& in, char* buf, int len, char* attr_buf, int attr_len);
  template <class In>
  int scan_tag_from(In& in, char* __restrict buf, int len,
                    char* __restrict attr_buf, int attr_len);
  template <class In>
  bool scan_nonws_from(In& in, int& first_char);
  template <class In>
  bool copy_until_tag_from(In& in, char* __restrict buf, int len);
  // copy_until_tag_from, and the length of the text as a C string in
  // text_len (it ends at a NUL read from a stream).
  template <class In>
  bool copy_text_from(In& in, char* __restrict buf, int len, int& text_len);

  // 0: the current item is not the opening tag `tag`; 1: <tag>; 2: <tag/>.
  int open_form(const char* tag) const;
  // Reads an element's content through "/tag"; the first text item goes to
  // buf (capacity len), its whole length to *full_len when not null. False
  // when the input ended first.
  bool read_value(const char* tag, char* buf, int len, bool decode,
                  size_t* full_len);
  bool mark_looked_for = false;  // skip_byte_order_mark ran
  bool input_ended = false;      // see ended()
  int item_line = 0;             // see line()
  // The line of the byte at p, which the source has not yet counted past.
  int source_line(const unsigned char* p) {
    source->count_to(reinterpret_cast<const char*>(p));
    return source->newlines + 1;
  }
  // The input ended; in_item: inside an item, whose line stays the one
  // reported (else the end's own line is).
  template <class In>
  int at_end(In& in, bool in_item) {
    input_ended = true;
    if (source->counting) {
      int end_line = source_line(in.p);
      if (!in_item) item_line = end_line;
    }
    return SCAN_END;
  }
};

// Conversions used by the typed readers; exposed for settings checkers.
// Each returns false and leaves value unchanged when text does not convert,
// with *why (when why is not null) set to a static text that says so after
// the value: "is not an integer", "is out of the 32-bit range (...)", "is
// not a number", "is out of the range of a real number", "is not a flag
// (...)".
bool xml_text_to_int(const char* text, int& value, const char** why = nullptr);
bool xml_text_to_double(const char* text, double& value,
                        const char** why = nullptr);
bool xml_text_to_bool(const char* text, bool& value,
                      const char** why = nullptr);

// ---------------------------------------------------------------------------
// Scanning core.

// The six white-space characters of the C locale, whatever the locale is.
inline bool xml_is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Byte classes of the scanning loops: which bytes end a run of a tag's name,
// of its attributes, or of text. A NUL ends every run; whether it ends the
// input is the cursor's business.
enum : unsigned char {
  XML_ENDS_NAME = 1,  // ">", white space
  XML_ENDS_ATTR = 2,  // ">", "/"
  XML_ENDS_TEXT = 4,  // "<"
};
struct XML_BYTE_CLASSES {
  unsigned char of[256];
  constexpr XML_BYTE_CLASSES() : of() {
    of[0] = XML_ENDS_NAME | XML_ENDS_ATTR | XML_ENDS_TEXT;
    of[static_cast<unsigned char>('>')] = XML_ENDS_NAME | XML_ENDS_ATTR;
    of[static_cast<unsigned char>('/')] = XML_ENDS_ATTR;
    of[static_cast<unsigned char>('<')] = XML_ENDS_TEXT;
    for (int c = 0; c < 256; c++) {
      if (c == ' ' || (c >= '\t' && c <= '\r')) of[c] = XML_ENDS_NAME;
    }
  }
};
inline constexpr XML_BYTE_CLASSES xml_byte_classes{};

// The two kinds of source as the scanning loops read them. A cursor copies
// the source's read position into registers for one call and puts it back
// with store(); out-of-line members that read the source itself are called
// between store() and load().
//
// A cursor reads the next byte with next() (-1 at end of input), pushes the
// byte just read back with unget(), and offers the bytes ahead of it as a
// run: the bytes from p to run_end() are in memory and may be read ahead.

// A NUL-terminated string: the NUL ends the input. Runs read ahead up to
// the end that MIOFILE knows, never past it.
struct XML_STRING_CURSOR {
  explicit XML_STRING_CURSOR(MIOFILE* s) : source(s) { load(); }
  MIOFILE* source;
  const unsigned char* p;
  const unsigned char* end;
  // A NUL ends the input wherever it is, also before `end`.
  int next() {
    int c = *p;
    if (!c) return -1;
    p++;
    return c;
  }
  void unget() { p--; }
  void load() {
    end = reinterpret_cast<const unsigned char*>(source->string_end());
    p = reinterpret_cast<const unsigned char*>(source->read_ptr);
  }
  void store() { source->leave_at(reinterpret_cast<const char*>(p)); }
  const unsigned char* run_end() const { return end; }
};

#ifdef __GLIBC__
// A stdio stream, read in place from its buffer as getc_unlocked does
// (the same fields), refilled through getc_unlocked when empty.
struct XML_STREAM_CURSOR {
  explicit XML_STREAM_CURSOR(MIOFILE* s) : source(s), stream(s->stream) {
    load();
  }
  MIOFILE* source;
  FILE* stream;
  const unsigned char* p;
  const unsigned char* end;
  int next() {
    if (p < end) return *p++;
    return refill();
  }
  int refill() {
    store();
    int c = source->counting ? source->refill_counted() : getc_unlocked(stream);
    load();
    return c;
  }
  // The byte just read is still in the buffer (refill leaves it there too).
  void unget() { p--; }
  void load() {
    p = reinterpret_cast<const unsigned char*>(stream->_IO_read_ptr);
    end = reinterpret_cast<const unsigned char*>(stream->_IO_read_end);
    if (!p) p = end = nullptr;
  }
  void store() {
    stream->_IO_read_ptr = const_cast<char*>(reinterpret_cast<const char*>(p));
  }
  const unsigned char* run_end() const { return end; }
};
#else
// Elsewhere, byte by byte.
struct XML_STREAM_CURSOR {
  explicit XML_STREAM_CURSOR(MIOFILE* s) : source(s) {}
  MIOFILE* source;
  int next() { return getc_unlocked(source->stream); }
  void unget() {}  // never called: the run below is empty
  void load() {}
  void store() {}
  const unsigned char* p = nullptr;
  const unsigned char* run_end() const { return nullptr; }
};
#endif

// Takes the run of bytes at in.p up to one of class Ends (or run_end()):
// stores them at buf[n] on while n stays below limit, drops the rest, and
// leaves in.p at the byte that ended the run. Sixteen bytes at a time where
// there are that many, so long names and texts cost little per byte.
#if defined(__SSE2__) && !defined(ORVEX_XML_NO_SIMD)
template <unsigned char Ends>
inline unsigned xml_run_stops(__m128i v) {
  const __m128i zero = _mm_setzero_si128();
  __m128i m = _mm_cmpeq_epi8(v, zero);
  auto is = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  if (Ends & XML_ENDS_NAME) {
    // \t..\r: v - 9 is at most 4, unsigned.
    __m128i ctl =
        _mm_subs_epu8(_mm_sub_epi8(v, _mm_set1_epi8(9)), _mm_set1_epi8(4));
    m = _mm_or_si128(m, _mm_or_si128(_mm_or_si128(is('>'), is(' ')),
                                     _mm_cmpeq_epi8(ctl, zero)));
  }
  if (Ends & XML_ENDS_ATTR) m = _mm_or_si128(m, _mm_or_si128(is('>'), is('/')));
  if (Ends & XML_ENDS_TEXT) m = _mm_or_si128(m, is('<'));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#endif

template <unsigned char Ends, class In>
inline void xml_take_run(In& in, char* __restrict buf, int& n, int limit) {
  const unsigned char* p = in.p;
  const unsigned char* end = in.run_end();
#if defined(__SSE2__) && !defined(ORVEX_XML_NO_SIMD)
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned stops = xml_run_stops<Ends>(v);
    int k = stops ? __builtin_ctz(stops) : 16;
    int room = limit - n;
    if (room >= 16) {
      // All sixteen fit; those past the run are overwritten or lie past
      // the terminator.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + n), v);
      n += k;
    } else if (room > 0) {
      int take = k < room ? k : room;
      memcpy(buf + n, p, static_cast<size_t>(take));
      n += take;
    }
    p += k;
    if (stops) {
      in.p = p;
      return;
    }
  }
#endif
  while (p != end && !(xml_byte_classes.of[*p] & Ends)) {
    if (n < limit) buf[n++] = static_cast<char>(*p);
    p++;
  }
  in.p = p;
}

inline int MIOFILE::_getc() {
  if (stream) {
#ifdef __GLIBC__
    if (stream->_IO_read_ptr >= stream->_IO_read_end && counting) {
      return refill_counted();
    }
#endif
    return getc_unlocked(stream);
  }
  const char* at = read_ptr;
  if (!*at) return -1;
  read_ptr = at + 1;
  if (left_at == at) left_at = read_ptr;  // the end stays known
  return static_cast<unsigned char>(*at);
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

// The public members: one cursor per call, its position put back at the end.
#define ORVEX_XML_WITH_CURSOR(call) \
  if (source->stream) {             \
    XML_STREAM_CURSOR in(source);   \
    auto result = call;             \
    in.store();                     \
    return result;                  \
  }                                 \
  XML_STRING_CURSOR in(source);     \
  auto result = call;               \
  in.store();                       \
  return result;

inline int XML_PARSER::get_aux(char* buf, int len, char* attr_buf,
                               int attr_len) {
  ORVEX_XML_WITH_CURSOR(get_aux_from(in, buf, len, attr_buf, attr_len))
}

inline int XML_PARSER::scan_tag(char* __restrict buf, int len,
                                char* __restrict attr_buf, int attr_len) {
  ORVEX_XML_WITH_CURSOR(scan_tag_from(in, buf, len, attr_buf, attr_len))
}

inline bool XML_PARSER::scan_nonws(int& first_char) {
  ORVEX_XML_WITH_CURSOR(scan_nonws_from(in, first_char))
}

inline bool XML_PARSER::copy_until_tag(char* __restrict buf, int len) {
  ORVEX_XML_WITH_CURSOR(copy_until_tag_from(in, buf, len))
}

#undef ORVEX_XML_WITH_CURSOR

template <class In>
inline int XML_PARSER::get_aux_from(In& in, char* buf, int len, char* attr_buf,
                                    int attr_len) {
  for (;;) {
    int c;
    if (scan_nonws_from(in, c)) return at_end(in, false);
    if (source->counting) item_line = source_line(in.p - 1);
    if (c == '<') {
      int result = scan_tag_from(in, buf, len, attr_buf, attr_len);
      if (result == SCAN_COMMENT) continue;
      if (result == SCAN_END) return at_end(in, true);
      // White space never enters a tag's text: only CDATA needs stripping.
      if (result == SCAN_CDATA) strip_whitespace(buf);
      return result;
    }
    // Text starts at a character that is not white space, so only its end
    // needs stripping.
    buf[0] = static_cast<char>(c);
    int n;
    if (copy_text_from(in, buf + 1, len - 1, n)) return at_end(in, true);
    n++;  // the first character
    while (n > 0 && xml_is_space(static_cast<unsigned char>(buf[n - 1]))) n--;
    buf[n] = 0;
    return SCAN_TEXT;
  }
}

template <class In>
inline bool XML_PARSER::scan_nonws_from(In& in, int& first_char) {
  for (;;) {
    int c = in.next();
    if (c < 0) return true;
    if (!xml_is_space(c)) {
      first_char = c;
      return false;
    }
  }
}

template <class In>
inline int XML_PARSER::scan_tag_from(In& in, char* __restrict buf, int len,
                                     char* __restrict attr_buf, int attr_len) {
  // At most capacity - 1 bytes of each are stored; the rest are dropped.
  // (__restrict: the buffers never overlap the source, so its state stays
  // in registers.)
  const int tag_limit = len - 1;
  const int attr_limit = attr_buf ? attr_len - 1 : 0;
  int tag_n = 0, attr_n = 0;
  int c;
  // The name: everything up to the first white space. While it is short it
  // may still turn out to open a comment or a CDATA section: no white space
  // has come yet, so every character read so far was stored.
  for (;;) {
    c = in.next();
    if (c < 0 || c == '>') goto done;
    if (xml_is_space(c)) goto attributes;
    if (tag_n >= tag_limit) break;
    buf[tag_n++] = static_cast<char>(c);
    if (buf[0] != '!') break;  // neither a comment nor CDATA
    if (tag_n == 3 && !memcmp(buf, "!--", 3)) {
      in.store();
      int result = scan_comment();
      in.load();
      // A comment is not an item: the end stands on its own line.
      return result == SCAN_END ? at_end(in, false) : result;
    }
    if (tag_n == 8) {
      if (!memcmp(buf, "![CDATA[", 8)) {
        in.store();
        int result = scan_cdata(buf, len - tag_n);
        in.load();
        return result;
      }
      break;
    }
  }
  for (;;) {
    xml_take_run<XML_ENDS_NAME>(in, buf, tag_n, tag_limit);
    c = in.next();
    if (c < 0 || c == '>') goto done;
    if (xml_is_space(c)) break;
    if (tag_n < tag_limit) buf[tag_n++] = static_cast<char>(c);  // a NUL
  }
attributes:
  // The attributes. The first white space only separated them from the
  // name; a slash still goes to the tag's text.
  for (;;) {
    xml_take_run<XML_ENDS_ATTR>(in, attr_buf, attr_n, attr_limit);
    c = in.next();
    if (c < 0 || c == '>') goto done;
    if (c == '/') {
      if (tag_n < tag_limit) buf[tag_n++] = '/';
    } else if (attr_n < attr_limit) {
      attr_buf[attr_n++] = static_cast<char>(c);  // a NUL
    }
  }
done:
  // At end of input the item is dropped; terminating keeps it harmless.
  if (len > 0) buf[tag_n] = 0;
  if (attr_buf && attr_len > 0) attr_buf[attr_n] = 0;
  return c < 0 ? SCAN_END : SCAN_TAG;
}

template <class In>
inline bool XML_PARSER::copy_until_tag_from(In& in, char* __restrict buf,
                                            int len) {
  int n;
  return copy_text_from(in, buf, len, n);
}

template <class In>
inline bool XML_PARSER::copy_text_from(In& in, char* __restrict buf, int len,
                                       int& text_len) {
  int n = 0;
  const int limit = len - 1;  // bytes that may be stored before the terminator
  int nul_at = -1;            // where a NUL from a stream ended the text
  for (;;) {
    xml_take_run<XML_ENDS_TEXT>(in, buf, n, limit);
    int c = in.next();
    if (c < 0 || c == '<') {
      if (len > 0) buf[n] = 0;
      text_len = nul_at < 0 ? n : nul_at;
      if (c < 0) return true;
      in.unget();
      return false;
    }
    if (n < limit) {
      if (c == 0 && nul_at < 0) nul_at = n;
      buf[n++] = static_cast<char>(c);
    }
  }
}

#endif
