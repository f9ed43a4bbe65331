#include "database/tablerow.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/error_numbers.h"
#include "common/str_util.h"

namespace {

// The statement texts of the calling thread: two buffers of INSERT_TEXT_MAX
// bytes, one for an assignment list and one for the statement, taken from
// the heap when the thread first needs them and kept. A statement costs
// neither an allocation nor the stack (an insert needs 1 MiB, more than many
// threads have). A buffer still in use further up the same thread (a
// db_print that runs a statement of its own) is never handed out twice: that
// call gets one of its own.
class TextBuffer {
 public:
  enum Slot { LIST, STATEMENT };

  explicit TextBuffer(Slot slot) {
    Kept& k = kept(slot);
    if (k.busy) {
      own_.reset(new char[INSERT_TEXT_MAX]);
      text_ = own_.get();
      return;
    }
    if (!k.text) k.text.reset(new char[INSERT_TEXT_MAX]);
    k.busy = true;
    kept_ = &k;
    text_ = k.text.get();
  }
  ~TextBuffer() {
    if (kept_) kept_->busy = false;
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  char* get() { return text_; }

 private:
  struct Kept {
    std::unique_ptr<char[]> text;
    bool busy = false;
  };
  static Kept& kept(Slot slot) {
    thread_local Kept buffers[2];
    return buffers[slot];
  }

  Kept* kept_ = nullptr;
  std::unique_ptr<char[]> own_;
  char* text_;
};

// Asks the row for its assignment list. The last byte is a sentinel: a row
// that overwrote it filled the whole buffer, and its list is refused; left
// intact, it bounds the list whatever the row wrote before it.
bool print_row(TABLEROW& row, char* buf, size_t size) {
  buf[0] = '\0';
  buf[size - 1] = '\0';
  row.db_print(buf);
  if (buf[size - 1] == '\0') return true;
  fprintf(stderr,
          "Database error: row of %s does not fit its buffer of %zu bytes; "
          "not sent\n",
          row.table_name, size);
  return false;
}

int errno_of(DB_CONN* connection) {
  return connection->handle ? static_cast<int>(mysql_errno(connection->handle))
                            : 0;
}

// 0 when the rows of result have the columns that the record of row reads,
// in its order; else ERR_DB_ROW_SHORT or ERR_DB_ROW_ORDER, with one report
// line. Checked once per result, not per row.
int row_matches(TABLEROW& row, MYSQL_RES* result) {
  unsigned have = mysql_num_fields(result);
  int need = row.db_columns();
  if (need <= 0) return 0;
  if (have < static_cast<unsigned>(need)) {
    fprintf(stderr,
            "Database error: a row of %s has %u columns, fewer than the %d "
            "its record reads; refused\n",
            row.table_name, have, need);
    return ERR_DB_ROW_SHORT;
  }
  MYSQL_FIELD* fields = mysql_fetch_fields(result);
  for (int i = 0; i < need; i++) {
    const char* name = row.db_column_name(i);
    if (!name || strcmp(fields[i].name, name) == 0) continue;  // the usual
    if (strcasecmp(fields[i].name, name) == 0) continue;
    fprintf(stderr,
            "Database error: column %d of %s is %s, not the %s its record "
            "reads; refused\n",
            i + 1, row.table_name, fields[i].name, name);
    return ERR_DB_ROW_ORDER;
  }
  return 0;
}

// Hands the first row of the whole result of the statement just sent, if
// there is one, and its number of columns to use. no_result_set is returned
// when the library gives no result set.
template <typename Use>
int read_first_row(DB_CONN* connection, int no_result_set, Use use) {
  MYSQL_RES* result = connection->store_result();
  if (!result) return no_result_set;
  MYSQL_ROW row = connection->fetch_row(result);
  if (row) use(row, result);
  mysql_free_result(result);
  return row ? 0 : ERR_DB_NO_ROW;
}

// The first row of the statement just sent, into the record of row (lookup,
// lookup_id).
int read_row(TABLEROW& row) {
  int mismatch = 0;
  int retval = read_first_row(row.connection, -1,
                              [&](MYSQL_ROW& values, MYSQL_RES* result) {
                                mismatch = row_matches(row, result);
                                if (!mismatch) row.db_parse(values);
                              });
  return retval ? retval : mismatch;
}

// The first column of the first row of the statement just sent, converted;
// ERR_DB_NO_ROW, value untouched, when there is no row or it is NULL.
template <typename T>
int read_value(DB_CONN* connection, T& value, T (*convert)(const char*)) {
  bool null_value = false;
  int retval = read_first_row(connection, ERR_DB_NO_ROW,
                              [&](MYSQL_ROW& row, MYSQL_RES*) {
                                if (row[0]) value = convert(row[0]);
                                null_value = !row[0];
                              });
  return (retval == 0 && null_value) ? ERR_DB_NO_ROW : retval;
}

unsigned as_unsigned(int id) { return static_cast<unsigned>(id); }

}  // namespace

int TABLEROW::send_statement(size_t size, const char* fmt, ...) {
  TextBuffer query(TextBuffer::STATEMENT);
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(query.get(), size, fmt, args);
  va_end(args);
  // Sent cut short, "... where id=12345" could become "... where id=1".
  if (n < 0 || static_cast<size_t>(n) >= size) {
    fprintf(stderr,
            "Database error: statement of %d bytes does not fit its buffer of "
            "%zu bytes; not sent\n",
            n, size);
    return ERR_DB_QUERY_TOO_LONG;
  }
  return connection->do_query(query.get());
}

TABLEROW::TABLEROW(const char* table_name, DB_CONN* connection)
    : connection(connection), table_name(table_name) {}

TABLEROW::TABLEROW(const TABLEROW& other)
    : connection(other.connection), table_name(other.table_name) {}

TABLEROW& TABLEROW::operator=(const TABLEROW& other) {
  connection = other.connection;
  table_name = other.table_name;
  return *this;
}

TABLEROW::~TABLEROW() { end_enumerate(); }

int TABLEROW::get_id() { return 0; }

void TABLEROW::db_print(char*) {}

void TABLEROW::db_parse(MYSQL_ROW&) {}

int TABLEROW::db_columns() { return 0; }

const char* TABLEROW::db_column_name(int) { return nullptr; }

int TABLEROW::lookup_id(int row_id) {
  int retval = send_statement(QUERY_TEXT_MAX, "select * from %s where id=%u",
                              table_name, as_unsigned(row_id));
  return retval ? retval : read_row(*this);
}

int TABLEROW::lookup(const char* clause) {
  int retval =
      send_statement(QUERY_TEXT_MAX, "select * from %s %s", table_name, clause);
  return retval ? retval : read_row(*this);
}

int TABLEROW::enumerate(const char* clause, bool streaming) {
  if (!row_cursor.active) {
    int retval = send_statement(QUERY_TEXT_MAX, "select * from %s %s",
                                table_name, clause);
    if (retval == ERR_DB_QUERY_TOO_LONG) return retval;  // nothing was sent
    // A failed start must never read as a row (0), whatever the library's
    // error number says.
    if (retval) {
      int err = errno_of(connection);
      return err ? err : retval;
    }
    MYSQL_RES* result = streaming ? mysql_use_result(connection->handle)
                                  : connection->store_result();
    if (!result) {
      int err = errno_of(connection);
      return err ? err : -1;
    }
    int mismatch = row_matches(*this, result);
    if (mismatch) {
      mysql_free_result(result);
      return mismatch;
    }
    row_cursor.result_set = result;
    row_cursor.active = true;
    row_cursor.streamed = streaming;
    connection->enumeration_started(&row_cursor);
  }

  MYSQL_ROW row =
      connection->fetch_row(row_cursor.result_set, row_cursor.streamed);
  if (row) {
    db_parse(row);
    return 0;
  }
  // Only a streamed selection can be cut off by an error: nothing else
  // touches its session's error while it runs (the connection refuses other
  // statements itself). A whole one ends normally.
  int err = row_cursor.streamed ? errno_of(connection) : 0;
  end_enumerate();
  return err ? err : ERR_DB_NO_ROW;
}

int TABLEROW::end_enumerate() {
  if (row_cursor.active) row_cursor.owner->enumeration_ended(&row_cursor);
  return 0;
}

int TABLEROW::insert() {
  TextBuffer values(TextBuffer::LIST);
  if (!print_row(*this, values.get(), INSERT_TEXT_MAX)) {
    return ERR_DB_QUERY_TOO_LONG;
  }
  return send_statement(INSERT_TEXT_MAX, "insert into %s set %s", table_name,
                        values.get());
}

int TABLEROW::insert_batch(const std::string& values) {
  std::string query = "insert into ";
  query += table_name;
  query += " values ";
  query += values;
  return connection->do_query(query.c_str());
}

int TABLEROW::update() {
  TextBuffer set_list(TextBuffer::LIST);
  if (!print_row(*this, set_list.get(), QUERY_TEXT_MAX)) {
    return ERR_DB_QUERY_TOO_LONG;
  }
  int retval =
      send_statement(QUERY_TEXT_MAX, "update %s set %s where id=%u", table_name,
                     set_list.get(), as_unsigned(get_id()));
  if (retval) return retval;
  return connection->affected_rows() == 1 ? 0 : ERR_DB_NO_ROW;
}

int TABLEROW::update_field(const char* set_list, const char* where) {
  if (!where) {
    return send_statement(QUERY_TEXT_MAX, "update %s set %s where id=%u",
                          table_name, set_list, as_unsigned(get_id()));
  }
  return send_statement(QUERY_TEXT_MAX, "update %s set %s where id=%u and %s",
                        table_name, set_list, as_unsigned(get_id()), where);
}

int TABLEROW::update_fields_noid(const char* set_list, const char* where) {
  return send_statement(QUERY_TEXT_MAX, "update %s set %s where %s", table_name,
                        set_list, where);
}

int TABLEROW::delete_from_db() {
  return send_statement(QUERY_TEXT_MAX, "delete from %s where id=%u",
                        table_name, as_unsigned(get_id()));
}

int TABLEROW::delete_from_db_multi(const char* where) {
  return send_statement(QUERY_TEXT_MAX, "delete from %s where %s", table_name,
                        where);
}

int TABLEROW::count(int& number, const char* clause) {
  int retval = send_statement(QUERY_TEXT_MAX, "select count(*) from %s %s",
                              table_name, clause);
  return retval ? retval : read_value(connection, number, atoi);
}

int TABLEROW::max_id(int& number, const char* clause) {
  int retval = send_statement(QUERY_TEXT_MAX, "select max(id) from %s %s",
                              table_name, clause);
  return retval ? retval : read_value(connection, number, atoi);
}

int TABLEROW::sum(double& x, const char* column, const char* clause) {
  int retval = send_statement(QUERY_TEXT_MAX, "select sum(%s) from %s %s",
                              column, table_name, clause);
  return retval ? retval : read_value(connection, x, atof);
}

int TABLEROW::get_integer(const char* sql, int& number) {
  int retval = connection->do_query(sql);
  return retval ? retval : read_value(connection, number, atoi);
}

int TABLEROW::get_double(const char* sql, double& x) {
  int retval = connection->do_query(sql);
  return retval ? retval : read_value(connection, x, atof);
}

int TABLEROW::get_field_str(const char* column, char* dest, int dest_size) {
  int retval = send_statement(QUERY_TEXT_MAX, "select %s from %s where id=%u",
                              column, table_name, as_unsigned(get_id()));
  if (retval) return retval;
  return read_first_row(connection, -1, [&](MYSQL_ROW& row, MYSQL_RES*) {
    if (row[0] && dest_size > 0) {
      strlcpy(dest, row[0], static_cast<size_t>(dest_size));
    }
  });
}

int TABLEROW::get_field_ints(const char* columns, int column_count,
                             int* values) {
  int retval = send_statement(QUERY_TEXT_MAX, "select %s from %s where id=%u",
                              columns, table_name, as_unsigned(get_id()));
  if (retval) return retval;
  return read_first_row(connection, -1, [&](MYSQL_ROW& row, MYSQL_RES* result) {
    unsigned num_fields = mysql_num_fields(result);
    for (int i = 0; i < column_count; i++) {
      bool present = static_cast<unsigned>(i) < num_fields && row[i];
      values[i] = present ? atoi(row[i]) : 0;
    }
  });
}

int TABLEROW::affected_rows() { return connection->affected_rows(); }

TABLEROW_SPECIAL::TABLEROW_SPECIAL(DB_CONN* connection)
    : connection(connection) {}
