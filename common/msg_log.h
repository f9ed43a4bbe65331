// Base class of message logs: formats a line and writes it to one stream.
// A derived class decides which kinds exist, how each is marked and which
// are written. The log never closes or flushes-on-destroy its stream.
#ifndef ORVEX_COMMON_MSG_LOG_H
#define ORVEX_COMMON_MSG_LOG_H

#include <cstdarg>
#include <cstdio>
#include <ctime>

class MSG_LOG {
 public:
  // Writes to `output` (not owned). Indentation starts empty.
  explicit MSG_LOG(FILE* output);
  virtual ~MSG_LOG() {}

  // Prefix that marks a kind in the line, e.g. "[CRITICAL]"; may be empty.
  virtual const char* v_format_kind(int kind) const = 0;
  // Whether messages of this kind are written at all.
  virtual bool v_message_wanted(int kind) const = 0;

  // Writes one message when v_message_wanted(kind) is true, as
  //   "YYYY-MM-DD HH:MM:SS " [prefix " "] indent_text message
  // with local time. The format supplies its own line end.
  void printf(int kind, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  void vprintf(int kind, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));

  FILE* output;          // the stream written to, not owned
  int indent_level;      // current indentation depth
  char indent_text[80];  // indent_level spaces, NUL-terminated

 private:
  // The time stamp changes once a second; formatting it every line costs
  // more than the rest of the line, so it is cached.
  time_t stamp_time = -1;
  char stamp_text[32] = {};
};

#endif
