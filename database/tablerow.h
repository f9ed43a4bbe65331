// The base of every class that stands for one row of one database table. A
// row class joins TABLEROW with its table's record and supplies get_id,
// db_print and db_parse; TABLEROW builds every statement from them and sends
// it through the connection's do_query, which echoes and reports it.
//
// Results are 0 for success, ERR_DB_NO_ROW when there is no row (or an update
// does not report exactly one), -1 when the library gives no result set for
// a read, the nonzero value of do_query when the server refuses a statement,
// ERR_DB_QUERY_TOO_LONG (nothing sent) when a statement would not fit its
// buffer of QUERY_TEXT_MAX bytes (INSERT_TEXT_MAX for insert), and
// ERR_DB_ROW_SHORT when a row read has fewer columns than db_columns
// (a table of an older schema), ERR_DB_ROW_ORDER when one of those columns
// is not the one db_column_name names (a column moved); either with one
// report line on standard error and the record untouched.
#ifndef ORVEX_DATABASE_TABLEROW_H
#define ORVEX_DATABASE_TABLEROW_H

#include <cstddef>
#include <string>

#include "database/db_conn.h"

// The state of a running enumeration.
struct CURSOR {
  bool active = false;              // true while result_set is held
  MYSQL_RES* result_set = nullptr;  // meaningful only while active
  bool streamed = false;            // rows fetched one at a time
  MYSQL* session = nullptr;         // the session the rows come from
  // The connection's list of open enumerations (DB_CONN::close ends them);
  // owner is null when the cursor is in no list. Set by the connection.
  DB_CONN* owner = nullptr;
  CURSOR* prev_open = nullptr;
  CURSOR* next_open = nullptr;
};

class TABLEROW {
 public:
  // Both pointers are kept, not copied or owned: the table name must outlive
  // the object (row classes pass a literal).
  TABLEROW(const char* table_name, DB_CONN* connection);
  // A copy shares the connection and table but starts with no enumeration of
  // its own, so a result set is never released twice.
  TABLEROW(const TABLEROW& other);
  TABLEROW& operator=(const TABLEROW& other);
  // Ends an enumeration that is still active. Closing the connection first
  // ends it too, so the two may come in either order; the connection object
  // itself must outlive a row object that holds an active enumeration.
  virtual ~TABLEROW();

  // The row's primary key (column id). The base returns 0.
  virtual int get_id();
  // Writes the row's columns as an assignment list ("a=1, b='x'"), texts
  // escaped with escape_string, terminated. dest holds QUERY_TEXT_MAX bytes
  // and the list must end before the last of them, or the statement is
  // refused. The base writes nothing.
  virtual void db_print(char* dest);
  // Fills the record from a fetched row: NUL-terminated column texts in the
  // table's column order, null for SQL NULL. The base reads nothing.
  virtual void db_parse(MYSQL_ROW& row);
  // How many columns db_parse reads. A row with fewer is refused before
  // db_parse sees it. The base returns 0 (no check).
  virtual int db_columns();
  // The name of column i (from 0, below db_columns) as db_parse reads it; a
  // row whose column i has another name (compared without regard to case)
  // is refused before db_parse sees it. The base returns null (no check).
  virtual const char* db_column_name(int i);

  // "select * from T where id=%u": reads that row into the record.
  int lookup_id(int row_id);
  // "select * from T <clause>": reads the first row of the selection.
  int lookup(const char* clause);
  // Delivers the next row of "select * from T <clause>" into the record: 0
  // for a row, then ERR_DB_NO_ROW at the end, or the library's error number
  // when an error ended the rows or the start failed (-1 when it gives no
  // number). Call with the same arguments until nonzero; the clause counts
  // only at the start. streaming fetches one row at a time and keeps the
  // connection busy until the end; otherwise the whole selection is fetched
  // at once and other statements may run between calls.
  int enumerate(const char* clause, bool streaming = false);
  // Ends a running enumeration early, releasing its result set. Always 0.
  int end_enumerate();

  // "insert into T set <db_print>": the result of do_query. The new id is
  // DB_CONN::insert_id.
  int insert();
  // "insert into T values <values>", values being one or more parenthesised
  // rows of all columns, comma-separated. No length limit.
  int insert_batch(const std::string& values);
  // "update T set <db_print> where id=%u": 0 only when exactly one row
  // matched (also when it already held the values), else ERR_DB_NO_ROW.
  int update();
  // "update T set <set_list> where id=%u[ and <where>]": the result of
  // do_query; where may be null.
  int update_field(const char* set_list, const char* where = nullptr);
  // "update T set <set_list> where <where>": the result of do_query.
  int update_fields_noid(const char* set_list, const char* where);
  // "delete from T where id=%u": the result of do_query.
  int delete_from_db();
  // "delete from T where <where>": the result of do_query.
  int delete_from_db_multi(const char* where);

  // "select count(*) from T <clause>".
  int count(int& number, const char* clause = "");
  // "select max(id) from T <clause>"; ERR_DB_NO_ROW when the selection is
  // empty, number untouched.
  int max_id(int& number, const char* clause = "");
  // "select sum(<column>) from T <clause>"; ERR_DB_NO_ROW when the selection
  // is empty, x untouched.
  int sum(double& x, const char* column, const char* clause = "");
  // Runs sql and reads the first column of its first row; ERR_DB_NO_ROW,
  // with the output untouched, when there is no row or the value is NULL.
  int get_integer(const char* sql, int& number);
  int get_double(const char* sql, double& x);
  // "select <column> from T where id=%u": copies the value into dest, cut to
  // dest_size - 1 bytes. A NULL value leaves dest as it was and gives 0.
  int get_field_str(const char* column, char* dest, int dest_size);
  // "select <columns> from T where id=%u": values[i] gets column i as an
  // integer, for i below column_count; 0 for NULL and for columns the
  // statement does not return.
  int get_field_ints(const char* columns, int column_count, int* values);

  // DB_CONN::affected_rows of the connection.
  int affected_rows();

  DB_CONN* connection;     // not owned
  const char* table_name;  // not owned
  CURSOR row_cursor;

 private:
  // Formats a statement into the calling thread's statement buffer and sends
  // it: the result of do_query, or ERR_DB_QUERY_TOO_LONG when it would not
  // fit size bytes with its terminator (one report line on standard error,
  // nothing sent).
  __attribute__((format(printf, 3, 4))) int send_statement(size_t size,
                                                           const char* fmt,
                                                           ...);
};

// For classes that compose their own statements without a table name: a
// connection (not owned) and a cursor that those classes drive themselves.
class TABLEROW_SPECIAL {
 public:
  explicit TABLEROW_SPECIAL(DB_CONN* connection);

  DB_CONN* connection;
  CURSOR row_cursor;
};

#endif
