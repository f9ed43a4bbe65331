// Error codes shared by every module. Operations that can fail return 0 for
// success and one of these (negative) codes for failure.
#ifndef ORVEX_COMMON_ERROR_NUMBERS_H
#define ORVEX_COMMON_ERROR_NUMBERS_H

constexpr int ERR_FILE_OPEN = -108;  // a file cannot be opened
constexpr int ERR_DIR_OPEN = -111;   // the directory of a file cannot be opened
constexpr int ERR_XML_INPUT =
    -112;  // expected opening tag missing, or early end
constexpr int ERR_DB_NO_ROW =
    -136;  // no row, or an update not of exactly one row
constexpr int ERR_DB_CONNECT =
    -138;  // no connection, or ping finds no live server
// clang-format off
constexpr int ERR_DB_QUERY_TOO_LONG = -139;  // statement not sent: too long
constexpr int ERR_DB_ROW_SHORT = -140;       // row shorter than its record
constexpr int ERR_DB_ROW_ORDER = -141;       // row's columns not its record's
// clang-format on
constexpr int ERR_DB_INIT = -159;     // the client library gives no handle
constexpr int ERR_DIR_CREATE = -192;  // a bucket directory cannot be created
constexpr int ERR_DB_REPLICA_TIMEOUT =
    -242;                              // a replica did not catch up in time
constexpr int ERR_DB_CONFLICT = -243;  // a transaction lost to a concurrent one
constexpr int ERR_DB_NOT_GALERA =
    -244;  // causal reads asked of a server not in a Galera cluster

// A readable description of `code`: for the codes above their meaning, for
// any other value a generic text. Never null; the text is static.
const char* orvexerror(int code);

#endif
