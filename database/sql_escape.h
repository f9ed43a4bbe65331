// Preparing texts for the inside of quoted strings in SQL statements.
//
// Every text value written between single quotes in a statement must pass
// through escape_string first. The escaping works on bytes and uses
// backslashes, which keeps a value inside its quotes only when
//  - the session reads a backslash as an escape. DB_CONN guards this in two
//    ways (db_conn.h): every session, the first and each one the library
//    opens again, starts with a statement that takes NO_BACKSLASH_ESCAPES
//    out of its sql_mode, so the server's default, its global mode and its
//    init_connect cannot leave it on; and after every statement DB_CONN
//    reads the server's status flag, so a session that has the mode all the
//    same (the program's own SET) refuses every later statement until it is
//    reopened. The flag costs nothing to read: the server sends it with
//    every answer. (mysql_real_escape_string consults the same flag; these
//    functions cannot, so no session that has it is ever used.)
//  - no character of the connection's character set can hold the bytes 0x5C
//    (backslash) or 0x27 (quote) inside a multi-byte character, as GBK, Big5
//    and SJIS can: DB_CONN::open pins utf8mb4 with a client option, and
//    every session starts with SET NAMES utf8mb4, after whatever the
//    server's init_connect did.
// A statement that changes the session's character set breaks the second
// assumption; the library sends none.
#ifndef ORVEX_DATABASE_SQL_ESCAPE_H
#define ORVEX_DATABASE_SQL_ESCAPE_H

#include "database/db_conn.h"

// Rewrites field in place: a backslash before each single quote and each
// backslash, every other byte unchanged. field_size is the size of field's
// buffer (at most QUERY_TEXT_MAX counts). The result holds at most
// field_size - 2 bytes before its terminator: input that does not fit is
// dropped from the end, silently, and an escape pair is never split. With
// field_size 1 to 3 the result is empty; with field_size 0 or less nothing
// is written.
void escape_string(char* field, int field_size);

// Undoes escape_string in place: each backslash is removed and the byte after
// it kept as it is (a backslash and 'n' give 'n'). A lone backslash at the end
// is dropped. The text never grows, so field_size is not needed.
void unescape_string(char* field, int field_size);

// Copies pattern into escaped for use inside a quoted LIKE pattern: two
// backslashes before each '_' and '%', so that LIKE matches them literally
// once the quoted string has been read; a backslash before each single quote
// and each backslash, so that no pattern can end the quoted string (LIKE then
// reads a pattern's own backslash as escaping the byte after it). Every other
// byte is copied. escaped must hold at least 3 * strlen(pattern) + 1 bytes.
void escape_mysql_like_pattern(const char* pattern, char* escaped);

#endif
