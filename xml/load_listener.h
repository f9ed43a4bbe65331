// What a loader of settings documents tells whoever listens: each item it
// stores, refuses or passes over, with the line it stands on. Tools that
// explain a load (orvex-admin check, config --verbose) listen; programs pass
// no listener and the loaders then do nothing more than load.
#ifndef ORVEX_XML_LOAD_LISTENER_H
#define ORVEX_XML_LOAD_LISTENER_H

#include <cstddef>
#include <string>
#include <vector>

#include "xml/xml_parser.h"

struct LOAD_ITEM {
  enum KIND : unsigned char {
    STORED,           // name's value reached the record; a reason says
                      // why it cannot work where it is used (a rule of
                      // its key), empty when it can
    NOT_CONVERTED,    // name's value is not of its type (reason: why);
                      // nothing stored
    PATTERN_REFUSED,  // name's pattern refused by the guard (reason: why)
    PATTERN_INVALID,  // name's pattern does not compile (reason: regerror)
    UNKNOWN_TAG,      // the tag `name` (as read: "/x", "x/", "?xml ...")
                      // is not taken; passed over
    STRAY_TEXT,       // text between tags (value); passed over
    NO_NAME,          // the block `name` has no name element; dropped
    NO_START,         // the document does not open with <name>
    EARLY_END,        // the element `name`, opened at `line`, is never
                      // closed: the input ends first. Heard for each
                      // element left open, the innermost first
    CLOSING_RULE,     // a rule at the closing tag set name's value
                      // (value: the new value; reason: the rule)
  };
  // What a value should have been, for NOT_CONVERTED.
  enum TYPE : unsigned char { TEXT, INTEGER, REAL, FLAG };

  KIND kind;
  int line;  // of the item's first byte (of an element: its opening tag)
  const char* name;   // the key or tag
  const char* block;  // the element the item stands in
  TYPE type = TEXT;
  bool empty_tag = false;  // the element was written <name/>
  // STORED: a text as stored (cut to its field), else the value as read;
  // NOT_CONVERTED: the value as read; STRAY_TEXT: the text; CLOSING_RULE:
  // the value the rule gave.
  const char* value = "";
  size_t length = 0;  // a stored text's length before the cut
  const char* reason = "";

  LOAD_ITEM(KIND k, int at, const char* what, const char* in)
      : kind(k), line(at), name(what), block(in) {}
};

// Receives the items of a load, in document order. The item and its texts
// live only during the call.
class LOAD_LISTENER {
 public:
  virtual ~LOAD_LISTENER() = default;
  virtual void heard(const LOAD_ITEM& item) = 0;
};

// For a loop that passes over what it does not take one item at a time,
// so that what an unknown element holds is met as if it stood outside:
// the listener hears each unknown element once (its outermost tag) and the
// text that stands outside of them. Closing tags only end elements.
class LOAD_PASSED_OVER {
 public:
  // block: the element the loop reads. listener may be null: nothing then.
  LOAD_PASSED_OVER(LOAD_LISTENER* listener, const char* block)
      : listener_(listener), block_(block) {}
  // The current item of xp, which the loop did not take.
  void item(const XML_PARSER& xp);

 private:
  LOAD_LISTENER* listener_;
  const char* block_;
  std::vector<std::string> open_;  // unknown elements not yet closed
};

// A rule a value must keep to work where it is used: null when it does,
// else why it does not, in an operator's words (a static text).
template <class T>
using LOAD_RULE = const char* (*)(const T& value);

// Tells the listener (when not null) that the element `name`, opened at
// `line` in `block`, ran into the end of input, if xp met it.
void load_heard_end(const XML_PARSER& xp, LOAD_LISTENER* listener,
                    const char* name, int line, const char* block);

// The element <name> just opened, read as parse_int, parse_double and
// parse_bool read it (decode: as parse_str reads it, references decoded),
// then converted into value; *converted, when not null, tells whether it
// was. The listener, when not null, hears STORED (with the reason of rule,
// when given and the value breaks it) or NOT_CONVERTED at the tag's line,
// and EARLY_END when the element is never closed. False, with nothing
// read, when the current item is not <name> or <name/>.
template <class T>
bool load_value(XML_PARSER& xp, const char* name, T& value,
                bool (*convert)(const char*, T&, const char**),
                LOAD_ITEM::TYPE type, bool decode, LOAD_LISTENER* listener,
                const char* block, bool* converted = nullptr,
                LOAD_RULE<T> rule = nullptr) {
  char text[TAG_BUF_LEN];
  int line = xp.line();
  bool empty_tag = false;
  if (listener) {
    size_t n = strlen(xp.tag_buf);
    empty_tag = n && xp.tag_buf[n - 1] == '/';
  }
  if (decode ? !xp.parse_str(name, text, sizeof text)
             : !xp.read_text(name, text)) {
    return false;
  }
  // <name/> converts as an empty value: true for a flag, nothing else.
  const char* why = "";
  bool ok = convert(text, value, &why);
  if (converted) *converted = ok;
  if (listener) {
    LOAD_ITEM item(ok ? LOAD_ITEM::STORED : LOAD_ITEM::NOT_CONVERTED, line,
                   name, block);
    item.type = type;
    item.empty_tag = empty_tag;
    item.value = text;
    const char* broken = ok && rule ? rule(value) : nullptr;
    item.reason = ok ? (broken ? broken : "") : why;
    listener->heard(item);
    load_heard_end(xp, listener, name, line, block);
  }
  return true;
}

#endif
