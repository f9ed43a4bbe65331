#include "log/sched_msg_log.h"

#include <cstring>

SCHED_MSG_LOG::SCHED_MSG_LOG() : SCHED_MSG_LOG(stderr) {}

SCHED_MSG_LOG::SCHED_MSG_LOG(FILE* out) : MSG_LOG(out), debug_level(2) {}

const char* SCHED_MSG_LOG::v_format_kind(int kind) const {
  switch (kind) {
    case KIND_CRITICAL: return "[CRITICAL]";
    case KIND_NORMAL: return "";
    case KIND_DEBUG: return "[debug]";
    default: return "*** internal error: invalid MessageKind ***";
  }
}

bool SCHED_MSG_LOG::v_message_wanted(int kind) const {
  return debug_level >= kind;
}

void SCHED_MSG_LOG::set_indent_level(int level) {
  constexpr int max_level = 39;
  if (level < 0) level = 0;
  if (level > max_level) level = max_level;
  indent_level = level;
  memset(indent_text, ' ', sizeof indent_text);
  indent_text[indent_level] = 0;
}

SCHED_MSG_LOG log_messages;
