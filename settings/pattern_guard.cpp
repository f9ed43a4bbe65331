// Why a parser and not a bounded child process: the patterns are compiled
// at every load of every server program, the scheduler's on every request,
// and a fork there costs more than the whole load; a limit set on the
// program itself would end it rather than refuse the pattern.
#include "settings/pattern_guard.h"

#include <locale.h>

#include "common/str_util.h"

int paramdeck_pattern_check(const char* pattern, const char** why,
                            PATTERN_COST* cost) {
  PATTERN_COST scratch;
  PATTERN_COST& out = cost ? *cost : scratch;
  out = PATTERN_COST();
  const char* reason = "no pattern";
  int code = REG_ESPACE;
  if (pattern) {
    PATTERN_TREE tree;
    code = tree.read(pattern, PATTERN_LIMITS, &reason);
    out.nodes = static_cast<int>(tree.nodes.size());
    if (!code) code = pattern_cost_judge(tree, PATTERN_LIMITS, out, &reason);
  }
  if (why) *why = code ? reason : nullptr;
  return code;
}

int paramdeck_regcomp_c(regex_t* re, const char* pattern) {
  if (!c_locale()) return REG_ESPACE;
  locale_t old = uselocale(c_locale());
  int rc = regcomp(re, pattern, REG_EXTENDED | REG_NOSUB);
  uselocale(old);
  return rc;
}

int paramdeck_compile_pattern(regex_t* re, const char* pattern,
                              const char** why) {
  const char* reason = nullptr;
  int code = paramdeck_pattern_check(pattern, &reason);
  if (!code) {
    code = paramdeck_regcomp_c(re, pattern);
    reason = code == REG_ESPACE ? "the C locale or memory is not to be had"
                                : nullptr;
  }
  if (why) *why = reason;
  return code;
}
