// dir_hier_path (without creating anything) and dir_hier_url over arbitrary
// names and fan-outs. Result buffers are exactly DIR_HIER_PATH_LEN bytes on
// the heap, so a write past them is an AddressSanitizer report; a path and
// its URL must agree on the bucket.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "daemon/dir_hier.h"
#include "log/sched_msg_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_messages.debug_level = 0;  // a refused name's log line, every run
  if (size < 4) return 0;
  int fanout;
  memcpy(&fanout, data, 4);
  std::string name(reinterpret_cast<const char*>(data + 4), size - 4);
  name = name.c_str();
  // Roots of every length, so that the fit checks are exercised.
  std::string root = "/r" + std::string(name.size() % 64 * 64, 'x');

  std::unique_ptr<char[]> path(new char[DIR_HIER_PATH_LEN]);
  std::unique_ptr<char[]> url(new char[DIR_HIER_PATH_LEN]);
  int rp = dir_hier_path(name.c_str(), root.c_str(), fanout, path.get(), false);
  int ru = dir_hier_url(name.c_str(), root.c_str(), fanout, url.get());
  if (strnlen(path.get(), DIR_HIER_PATH_LEN) == DIR_HIER_PATH_LEN) abort();
  if (strnlen(url.get(), DIR_HIER_PATH_LEN) == DIR_HIER_PATH_LEN) abort();
  if (rp != ru) abort();  // same root length: both fit or neither does
  if (rp == 0 && strcmp(path.get(), url.get())) abort();
  if (rp != 0 && (path[0] || url[0])) abort();  // refused means empty
  return 0;
}
