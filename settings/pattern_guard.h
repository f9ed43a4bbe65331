// The guard in front of regcomp for settings patterns.
//
// Every server program compiles the pattern settings at every load (the
// scheduler at every request, in a new process) and matches them against
// what hosts report. glibc's regcomp copies a repeated atom once per count,
// so a few bytes can ask for gigabytes; its regexec builds a state of its
// lazy automaton per new set of live positions, so a short pattern can cost
// milliseconds per match. The guard reads a pattern as regcomp reads it and
// builds the same tree (settings/pattern_tree.h), then judges what the tree
// costs against one budget (settings/pattern_cost.h), and refuses the
// pattern when it costs too much or cannot be read exactly.
//
// Settings patterns are compiled in the C locale whatever the program's:
// in a UTF-8 locale regcomp builds a multibyte automaton whose matches cost
// a hundred times more ("(.*a){30}z": 0.2 ms becomes 30 ms), and ranges and
// classes mean other bytes than the guard reads. A pattern so compiled
// matches bytes, whatever locale regexec later runs in.
#ifndef ORVEX_SETTINGS_PATTERN_GUARD_H
#define ORVEX_SETTINGS_PATTERN_GUARD_H

#include <regex.h>

#include "settings/pattern_cost.h"

// 0 when `pattern` may be given to regcomp. Otherwise the error regcomp
// itself gives such a pattern (REG_EPAREN, REG_EBRACK, REG_ECTYPE,
// REG_ECOLLATE, REG_ERANGE, REG_EESCAPE, REG_BADRPT: regerror's words fit),
// or REG_ESPACE for one it would take, too costly or read otherwise than
// its author meant. *why, when why is not null, gets the reason in plain
// words (a static text; null on 0). *cost, when not null, gets the figures
// (those counted before a refusal). A null pattern is refused. Bounded in
// time and memory for any input by PATTERN_LIMITS; takes microseconds for
// real settings patterns.
int paramdeck_pattern_check(const char* pattern, const char** why = nullptr,
                            PATTERN_COST* cost = nullptr);

// Checks `pattern` and compiles it (REG_EXTENDED | REG_NOSUB) in the C
// locale into re: 0; the code of paramdeck_pattern_check, with *why its
// reason; or regcomp's result, with *why null. re is untouched unless 0.
// (REG_ESPACE, with a reason, also when the C locale cannot be had.)
int paramdeck_compile_pattern(regex_t* re, const char* pattern,
                              const char** why = nullptr);

// regcomp in the C locale, without the guard: for the library's own
// patterns, whose verdict a test holds.
int paramdeck_regcomp_c(regex_t* re, const char* pattern);

#endif
