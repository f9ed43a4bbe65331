// The guard in front of regcomp for settings patterns.
//
// Every server program compiles the pattern settings at every load (the
// scheduler on every request) and matches them against what hosts report.
// glibc's regcomp copies a repeated atom once per count, so a few bytes can
// ask for gigabytes; its regexec builds a state of its lazy automaton per
// new set of live positions, so a short pattern can cost milliseconds per
// match. The guard reads a pattern the way regcomp reads an extended pattern
// (REG_EXTENDED, C locale), builds the same expanded tree, and from it the
// automaton's states, and refuses the pattern when either is too large.
// Whatever it does not read exactly as regcomp does it refuses, so it cannot
// be talked past: a reading that differs would be a refusal, never a pass.
//
// Refused besides the costly: back-references (\1 to \9, which make regexec
// backtrack: exponential), escapes of letters and digits other than the GNU
// operators \w \W \s \S \b \B \< \> (a "\d" is a plain d to regcomp, never
// what its author meant), a "{" that does not begin a valid interval, and a
// repetition with nothing to repeat. Stacked repetitions ("x*?", "x+*",
// "x{2}{3}") are read as regcomp reads them: each applies to what the one
// before it made.
#ifndef ORVEX_SETTINGS_PATTERN_GUARD_H
#define ORVEX_SETTINGS_PATTERN_GUARD_H

#include <regex.h>

// What the guard found out about a pattern it read to the end.
struct PATTERN_COST {
  int nodes = 0;   // nodes of the expanded tree, as regcomp builds it
  int states = 0;  // states regexec may build (every context counted)
  long work = 0;   // states times PATTERN_STATE_WORK, plus their positions
                   // times the byte classes each one reads
};

// Beyond these a pattern is refused. The bounds keep regcomp under 50 ms and
// 64 MiB for any pattern, and one regexec over 256 bytes under 1 ms
// (fuzz/pattern_guard_fuzz.cpp measures both); real settings patterns use a
// few percent of them.
constexpr int PATTERN_MAX_NODES = 1000;
constexpr int PATTERN_MAX_STATES = 72;
// A new state costs regexec about as much as 280 positions in states
// (mostly the first touch of its memory in a new process); states times
// this plus work stays under the bound below.
constexpr long PATTERN_STATE_WORK = 280;
constexpr long PATTERN_MAX_WORK = 37500;

// 0 when `pattern` may be given to regcomp. Otherwise the error regcomp
// itself gives such a pattern (REG_EPAREN, REG_EBRACK, REG_ECTYPE,
// REG_ECOLLATE, REG_ERANGE, REG_EESCAPE, REG_BADRPT: regerror's words fit),
// or REG_ESPACE for one it would take, too costly or read otherwise than
// its author meant. *why, when why is not null, gets the reason in plain
// words (a static text; null on 0). *cost, when not null, gets the figures
// (those counted before a refusal). A null pattern is refused. Bounded in
// time and memory for any input: the caps above stop it early.
int paramdeck_pattern_check(const char* pattern, const char** why = nullptr,
                            PATTERN_COST* cost = nullptr);

// Compiles a settings pattern (REG_EXTENDED | REG_NOSUB) into re: 0 or the
// code of paramdeck_pattern_check, else regcomp's result. re is untouched
// when the guard refuses.
int paramdeck_compile_pattern(regex_t* re, const char* pattern);

#endif
