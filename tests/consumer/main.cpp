// Uses one piece of every module through the installed headers.
#include <cstdio>
#include <cstring>

#include "common/db_rows.h"
#include "daemon/daemon_control.h"
#include "daemon/db_helpers.h"
#include "daemon/dir_hier.h"
#include "database/sql_escape.h"
#include "log/sched_msg_log.h"
#include "orvex/version.h"
#include "settings/paramdeck.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (config.parse_file(argv[1])) return 3;
  char url[DIR_HIER_PATH_LEN];
  if (dir_hier_url("abc", config.download_url, 1024, url)) return 4;
  char text[16] = "O'Brien";
  escape_string(text, sizeof text);
  log_messages.printf(KIND_NORMAL, "url %s escaped %s gpu %d\n", url, text,
                      app_plan_uses_gpu("cuda") ? 1 : 0);
  printf("%s %s %d %s\n", url, text, is_arg("--d", "d") ? 1 : 0,
         ORVEX_VERSION_STRING);
  return strcmp(url, "https://orvex.example.org/sample/download/98/abc") ? 5
                                                                         : 0;
}
