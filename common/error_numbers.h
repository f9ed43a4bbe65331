// Error codes shared by every module. Operations that can fail return 0 for
// success and one of these (negative) codes for failure; a few return -1
// where their header says so, and database calls pass up the client
// library's error numbers (positive) unchanged.
#ifndef ORVEX_COMMON_ERROR_NUMBERS_H
#define ORVEX_COMMON_ERROR_NUMBERS_H

// clang-format off
constexpr int ERR_FILE_OPEN = -108;           // a file cannot be opened
constexpr int ERR_DIR_OPEN = -111;            // the directory of a file cannot be opened
constexpr int ERR_XML_INPUT = -112;           // expected opening tag missing, or early end
constexpr int ERR_DB_NO_ROW = -136;           // no row, or an update not of exactly one row
constexpr int ERR_DB_CONNECT = -138;          // no connection, or ping finds no live server
constexpr int ERR_DB_QUERY_TOO_LONG = -139;   // statement not sent: too long
constexpr int ERR_DB_ROW_SHORT = -140;        // row shorter than its record
constexpr int ERR_DB_ROW_ORDER = -141;        // row's columns not its record's
constexpr int ERR_DB_INIT = -159;             // the client library gives no handle
constexpr int ERR_DIR_CREATE = -192;          // a bucket directory cannot be created
constexpr int ERR_DB_REPLICA_TIMEOUT = -242;  // a replica did not catch up in time
constexpr int ERR_DB_CONFLICT = -243;         // a transaction lost to a concurrent one
constexpr int ERR_DB_NOT_GALERA = -244;       // causal reads asked of a server not in a Galera cluster
constexpr int ERR_DB_OUTCOME_UNKNOWN = -245;  // a write or COMMIT sent, its answer lost
constexpr int ERR_DB_BODY_COMMITTED = -246;   // a transaction body committed part itself
constexpr int ERR_NAME_LEAVES_TREE = -250;    // a file name that would leave its tree
constexpr int ERR_ALREADY_RUNNING = -251;     // another process holds the pid file's lock
constexpr int ERR_FILE_WRITE = -252;          // a file cannot be locked or written
// clang-format on

// A readable description of `code`, never null, static: the meaning of each
// code above; for -1 that the call failed without a code of its own; for the
// client library's numbers (2000-2999, 5000-5999) its error's meaning, and
// for the server's (1000-1999, 3000-4999) the number and a short meaning of
// the common ones ("server error 1045: access denied ..."), else a text
// that points to the connection's own message (DB_CONN::error_string); for
// anything else "unknown error".
const char* orvexerror(int code);

#endif
