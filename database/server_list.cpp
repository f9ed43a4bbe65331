#include "database/server_list.h"

#include <cctype>
#include <cstring>

#include "common/str_util.h"

namespace {

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)); }

// Splits "name[:port]" in place at the first colon.
bool split_host_port(char* host, unsigned& port) {
  port = 0;
  char* colon = strchr(host, ':');
  if (!colon) return true;
  *colon = '\0';
  const char* p = colon + 1;
  while (is_blank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > DB_PORT_MAX) return false;
  }
  if (negative && value != 0) return false;
  port = static_cast<unsigned>(value);
  return true;
}

}  // namespace

bool read_db_servers(const char* db_host, std::vector<DB_SERVER>& servers,
                     const char** err) {
  servers.clear();
  if (!db_host) {
    servers.push_back(DB_SERVER{"", "", 0, true});
    return true;
  }
  auto refuse = [&](const char* why) {
    servers.clear();
    if (err) *err = why;
    return false;
  };
  char buf[DB_HOST_TEXT_MAX];
  if (strlcpy(buf, db_host, sizeof buf) >= sizeof buf) {
    return refuse("longer than 255 bytes");
  }
  bool list = strchr(buf, ',') != nullptr;
  for (char* item = buf;;) {
    char* comma = strchr(item, ',');
    if (comma) *comma = '\0';
    while (is_blank(*item)) ++item;
    char* end = item + strlen(item);
    while (end > item && is_blank(end[-1])) *--end = '\0';
    if (list && *item == '\0')
      return refuse(
          "an empty server in the list (two commas in a row, or one at an "
          "end)");
    DB_SERVER server;
    server.text = item;
    if (!split_host_port(item, server.port)) {
      return refuse("a port that is not a number from 0 to 65535");
    }
    server.host = item;
    servers.push_back(server);
    if (!comma) return true;
    item = comma + 1;
  }
}

bool split_db_hosts(const char* db_host, std::vector<std::string>& servers) {
  servers.clear();
  std::vector<DB_SERVER> read;
  if (!read_db_servers(db_host ? db_host : "", read)) return false;
  for (const DB_SERVER& s : read) servers.push_back(s.text);
  return true;
}
