#include "common/msg_log.h"

#include <cstring>

MSG_LOG::MSG_LOG(FILE* out) : output(out), indent_level(0) {
  memset(indent_text, 0, sizeof indent_text);
}

void MSG_LOG::printf(int kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(kind, format, args);
  va_end(args);
}

void MSG_LOG::vprintf(int kind, const char* format, va_list args) {
  if (!v_message_wanted(kind) || !output) return;
  time_t now = time(nullptr);
  if (now != stamp_time) {
    struct tm tm_now;
    if (localtime_r(&now, &tm_now) && strftime(stamp_text, sizeof stamp_text,
                                               "%Y-%m-%d %H:%M:%S ", &tm_now)) {
      stamp_time = now;
    } else {
      strcpy(stamp_text, "- ");
    }
  }
  const char* prefix = v_format_kind(kind);
  // One lock for the whole line, so lines from several writers never mix.
  flockfile(output);
  fputs_unlocked(stamp_text, output);
  if (prefix && *prefix) {
    fputs_unlocked(prefix, output);
    putc_unlocked(' ', output);
  }
  fputs_unlocked(indent_text, output);
  vfprintf(output, format, args);
  funlockfile(output);
}
