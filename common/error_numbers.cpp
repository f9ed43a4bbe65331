#include "common/error_numbers.h"

namespace {

// One row per code a call can return: a new code is one more row. The
// client library's texts are kept here because its shared library does not
// export its table of them; the server's carry their number, which is what
// its manual and an operator's search go by.
struct ERROR_TEXT {
  int code;
  const char* text;
};

const ERROR_TEXT ERROR_TEXTS[] = {
    {0, "success"},
    {-1, "failed (see errno or the call's own report)"},
    {ERR_FILE_OPEN, "file open failed"},
    {ERR_DIR_OPEN, "directory open failed"},
    {ERR_XML_INPUT, "XML input error"},
    {ERR_DB_NO_ROW, "no database row"},
    {ERR_DB_CONNECT, "database connect failed"},
    {ERR_DB_QUERY_TOO_LONG, "database statement too long"},
    {ERR_DB_ROW_SHORT, "database row has too few columns"},
    {ERR_DB_ROW_ORDER, "database row columns out of order"},
    {ERR_DB_INIT, "database init failed"},
    {ERR_DIR_CREATE, "directory create failed"},
    {ERR_DB_REPLICA_TIMEOUT, "replica did not catch up in time"},
    {ERR_DB_CONFLICT, "transaction conflicted with another"},
    {ERR_DB_NOT_GALERA, "server is not a Galera cluster node"},
    {ERR_DB_OUTCOME_UNKNOWN,
     "the statement was sent and its answer lost: it may or may not have "
     "taken effect; look before doing the work again"},
    {ERR_DB_BODY_COMMITTED,
     "a transaction's body committed part of its work itself and then "
     "failed; the committed part stays"},
    {ERR_NAME_LEAVES_TREE,
     "file name would leave its tree (a slash, \".\", \"..\" or empty)"},
    {ERR_ALREADY_RUNNING, "another process holds the lock (already running)"},
    {ERR_FILE_WRITE, "file lock or write failed"},
    // The client library's.
    {2000, "client error 2000: unknown client error"},
    {2002, "client error 2002: cannot connect through the local socket"},
    {2003, "client error 2003: cannot connect to the server on that host"},
    {2005, "client error 2005: unknown server host"},
    {2006, "client error 2006: the server has gone away"},
    {2008, "client error 2008: the client ran out of memory"},
    {2013, "client error 2013: lost connection to the server during a query"},
    {2014, "client error 2014: commands out of sync"},
    {2026, "client error 2026: TLS connection error"},
    {2027, "client error 2027: malformed packet"},
    {2055, "client error 2055: lost connection to the server (system error)"},
    // The server's common ones.
    {1040, "server error 1040: too many connections"},
    {1044, "server error 1044: access denied to the database for this user"},
    {1045, "server error 1045: access denied (user, password or host)"},
    {1046, "server error 1046: no database selected"},
    {1047, "server error 1047: unknown command (a cluster node not ready)"},
    {1049, "server error 1049: unknown database"},
    {1053, "server error 1053: the server is shutting down"},
    {1054, "server error 1054: unknown column"},
    {1062, "server error 1062: duplicate entry for a unique key"},
    {1064, "server error 1064: SQL syntax error"},
    {1142, "server error 1142: command denied on the table for this user"},
    {1146, "server error 1146: table does not exist"},
    {1205, "server error 1205: lock wait timeout exceeded"},
    {1213,
     "server error 1213: deadlock or a cluster conflict; run the "
     "transaction again"},
    {1290, "server error 1290: refused by a server option (read-only)"},
    {1317, "server error 1317: the query was interrupted"},
    {1406, "server error 1406: data too long for the column"},
};

}  // namespace

const char* orvexerror(int code) {
  for (const ERROR_TEXT& e : ERROR_TEXTS) {
    if (e.code == code) return e.text;
  }
  if ((code >= 2000 && code <= 2999) || (code >= 5000 && code <= 5999)) {
    return "a client library error (the connection's error text says which)";
  }
  if ((code >= 1000 && code <= 1999) || (code >= 3000 && code <= 4999)) {
    return "a database server error (the connection's error text says which)";
  }
  return "unknown error";
}
