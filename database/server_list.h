// Reading a db_host text: one server or a comma-separated list of them, each
// "name[:port]". Pure functions: nothing here talks to a server.
#ifndef ORVEX_DATABASE_SERVER_LIST_H
#define ORVEX_DATABASE_SERVER_LIST_H

#include <string>
#include <vector>

// The longest db_host text, terminator included (the settings hold 255).
constexpr int DB_HOST_TEXT_MAX = 256;
constexpr long DB_PORT_MAX = 65535;

// One server of a db_host text.
struct DB_SERVER {
  std::string text;   // as written, blanks around it dropped ("db2:3307")
  std::string host;   // without the port
  unsigned port = 0;  // 0: the client library's default port
  bool default_host = false;  // db_host was null: the library's default host
};

// The servers of db_host, in order: split at commas, blanks around each
// dropped; a text without a comma is one server (the empty text too). Null
// is one server with default_host set. A port is read as atoi reads it
// (leading blanks and a sign skipped, then decimal digits; 0 when there are
// none). False, with servers emptied and *err (when given) saying why, for
// a text over 255 bytes, an empty server in a list (",,", a leading or
// trailing comma), or a port outside 0..DB_PORT_MAX, which would wrap to
// another port. *err points to a constant text.
bool read_db_servers(const char* db_host, std::vector<DB_SERVER>& servers,
                     const char** err = nullptr);

// The same reading, giving the servers' texts only (for tools that show
// them). Null reads as the empty text, as one server.
bool split_db_hosts(const char* db_host, std::vector<std::string>& servers);

#endif
