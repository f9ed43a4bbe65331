// The scheduler's log: three message kinds, a debug-level filter and
// indentation, over the standard error stream.
#ifndef ORVEX_LOG_SCHED_MSG_LOG_H
#define ORVEX_LOG_SCHED_MSG_LOG_H

#include "common/msg_log.h"

enum MessageKind { KIND_CRITICAL = 1, KIND_NORMAL = 2, KIND_DEBUG = 3 };

class SCHED_MSG_LOG : public MSG_LOG {
 public:
  // Writes to the standard error stream, at debug level 2.
  SCHED_MSG_LOG();
  // Writes to `output` (not owned), at debug level 2.
  explicit SCHED_MSG_LOG(FILE* output);
  ~SCHED_MSG_LOG() override {}

  // "[CRITICAL]", "" or "[debug]"; any other kind gives an internal-error
  // text. Static strings, never null.
  const char* v_format_kind(int kind) const override;
  // True when kind <= debug_level.
  bool v_message_wanted(int kind) const override;
  // Indents later lines by `level` spaces, clamped to 0..39.
  void set_indent_level(int level);

  int debug_level;  // highest kind written
};

extern SCHED_MSG_LOG log_messages;

#endif
