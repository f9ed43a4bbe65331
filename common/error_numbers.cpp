#include "common/error_numbers.h"

const char* orvexerror(int code) {
  switch (code) {
    case 0: return "success";
    case ERR_FILE_OPEN: return "file open failed";
    case ERR_DIR_OPEN: return "directory open failed";
    case ERR_XML_INPUT: return "XML input error";
    case ERR_DB_NO_ROW: return "no database row";
    case ERR_DB_CONNECT: return "database connect failed";
    case ERR_DB_QUERY_TOO_LONG: return "database statement too long";
    case ERR_DB_ROW_SHORT: return "database row has too few columns";
    case ERR_DB_ROW_ORDER: return "database row columns out of order";
    case ERR_DB_INIT: return "database init failed";
    case ERR_DIR_CREATE: return "directory create failed";
    case ERR_DB_REPLICA_TIMEOUT: return "replica did not catch up in time";
    case ERR_DB_CONFLICT: return "transaction conflicted with another";
    case ERR_DB_NOT_GALERA: return "server is not a Galera cluster node";
    default: return "unknown error";
  }
}
