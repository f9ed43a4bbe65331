// What the soak's programs (soak.cpp) and its checker (soak_final.cpp)
// share: the command line as --key value pairs, the clock of the
// histories, the settings of a project directory.
#ifndef ORVEX_TOOLS_SOAK_SOAK_TOOL_H
#define ORVEX_TOOLS_SOAK_SOAK_TOOL_H

#include <map>
#include <string>

using Args = std::map<std::string, std::string>;

// Milliseconds since the epoch: the time of every history line and fault.
long long now_ms();
// The value of --key, or fallback.
std::string arg(const Args& a, const char* key, const char* fallback = "");
long long arg_ll(const Args& a, const char* key, long long fallback);
// Loads --project's config.xml into the global config; false (why on
// standard error) when it cannot.
bool load_settings(const Args& a);
// soak check: judges the histories against the final database and prints
// the figures; 0 when the run is clean.
int run_check(const Args& a);

#endif
