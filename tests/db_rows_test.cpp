#include "common/db_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "db_schema.h"
#include "test_db.h"

using orvex_test::echo_of;
using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Bytes that an unescaped statement would mangle: quotes, backslashes (also
// one before a quote and one at the end), a double quote, a newline, bytes
// that are no UTF-8 at all and a real UTF-8 character.
const std::string kHostile = "it's \\' \"q\" \n\xff\x80\xfe\xc3\xa9\x01\\";

// kHostile repeated and cut to exactly len bytes, marked with tag first.
std::string hostile_text(const std::string& tag, size_t len) {
  std::string s = tag;
  while (s.size() < len) s += kHostile;
  return s.substr(0, len);
}

std::string printed(TABLEROW& row) {
  std::unique_ptr<char[]> buf(new char[QUERY_TEXT_MAX]);
  row.db_print(buf.get());
  return buf.get();
}

struct Column {
  std::string name, type;
  int max_len;  // of a text column
};

class DbRowsTest : public orvex_test::DbTest {
 protected:
  void prepare() override { ASSERT_TRUE(orvex_test::create_schema(check)); }

  // The live columns of table, in order.
  std::vector<Column> columns(const std::string& table) {
    std::vector<Column> out;
    exec(
        "select column_name, data_type, ifnull(character_maximum_length, 0) "
        "from information_schema.columns where table_schema=database() and "
        "table_name='" +
        table + "' order by ordinal_position");
    MYSQL_RES* result = mysql_store_result(check.handle);
    while (MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr) {
      out.push_back({row[0], row[1], atoi(row[2])});
    }
    if (result) mysql_free_result(result);
    return out;
  }

  // Inserts, through the checking connection and with hex literals (no
  // escaping of ours involved), a row in which every column but id holds a
  // value of its own: texts of the column's full length made of kHostile,
  // numbers that differ per column. Returns the new id.
  int insert_distinct_row(const std::string& table) {
    std::string sql = "insert into " + table + " set ";
    std::vector<Column> cols = columns(table);
    EXPECT_GT(cols.size(), 6u) << table;
    for (size_t k = 1; k < cols.size(); k++) {
      const Column& c = cols[k];
      std::string value;
      if (c.type == "int" || c.type == "smallint") {
        value = std::to_string((k % 2 ? 1 : -1) * int(100 * k + 7));
      } else if (c.type == "double") {
        char buf[64];
        snprintf(buf, sizeof buf, "%.17g", (k % 2 ? 1 : -1) * (k + 0.1) * 1e9);
        value = buf;
      } else {
        value = "X'" + hex(hostile_text(c.name, c.max_len)) + "'";
      }
      sql += (k > 1 ? ", " : "") + c.name + "=" + value;
    }
    EXPECT_EQ(check.do_query(sql.c_str()), 0) << sql;
    return atoi(query_value(check, "select last_insert_id()").c_str());
  }

  // True when rows a and b of table agree in every column but those in skip.
  bool rows_agree(const std::string& table, int a, int b,
                  const std::vector<std::string>& skip) {
    std::string on = "1";
    for (const Column& c : columns(table)) {
      if (std::find(skip.begin(), skip.end(), c.name) != skip.end()) continue;
      on += " and a." + c.name + " <=> b." + c.name;
    }
    return query_value(check, "select count(*) from " + table + " a join " +
                                  table + " b on " + on +
                                  " where a.id=" + std::to_string(a) +
                                  " and b.id=" + std::to_string(b)) == "1";
  }

  // A row of distinct hostile values is read into ROW, written back as a new
  // row, and the two rows must agree in every column; then the same id read
  // through a view whose columns are all NULL (but id) must give a record
  // equal to a cleared one.
  template <typename ROW>
  void round_trip(const std::string& table) {
    SCOPED_TRACE(table);
    int id = insert_distinct_row(table);
    ASSERT_GT(id, 0);
    ROW row(&db);
    ASSERT_EQ(row.lookup_id(id), 0);
    EXPECT_EQ(row.get_id(), id);
    ROW copy = row;
    copy.id = 0;  // a new id from the server
    rename(copy);
    ASSERT_EQ(copy.insert(), 0);
    int id2 = db.insert_id();
    ASSERT_GT(id2, id);
    EXPECT_TRUE(rows_agree(table, id, id2, {"id", "name"}));
    ROW back(&db);
    ASSERT_EQ(back.lookup_id(id2), 0);
    copy.id = id2;
    EXPECT_EQ(printed(back), printed(copy));

    // NULL in every column but id.
    std::string select = "id";
    for (const Column& c : columns(table)) {
      if (c.name != "id") select += ", NULL as " + c.name;
    }
    std::string view = table + "_nulls";
    ASSERT_EQ(check.do_query(("create or replace view " + view + " as select " +
                              select + " from " + table)
                                 .c_str()),
              0);
    ROW nulls(&db);
    nulls = row;  // every field set
    nulls.table_name = view.c_str();
    ASSERT_EQ(nulls.lookup_id(id), 0);
    ROW empty(&db);
    empty.id = id;
    EXPECT_EQ(printed(nulls), printed(empty));
    ASSERT_EQ(check.do_query(("drop view " + view).c_str()), 0);
  }

  static void rename(DB_WORKUNIT& wu) { strlcpy(wu.name, "copy", 256); }
  static void rename(DB_RESULT& r) { strlcpy(r.name, "copy", 256); }
  static void rename(TABLEROW&) {}

  // The live columns of table, as db/schema.sql made them, against its
  // column table: names in order, each kind with its SQL types, and each
  // text member one byte longer than its column (the terminator).
  template <typename RECORD>
  void matches_schema(const std::string& table,
                      const DB_COLUMN_TABLE<RECORD>& columns) {
    SCOPED_TRACE(table);
    std::vector<Column> live = this->columns(table);
    EXPECT_EQ(live.size(), static_cast<size_t>(columns.count));
    size_t n = std::min(live.size(), static_cast<size_t>(columns.count));
    for (size_t i = 0; i < n; i++) {
      const DB_COLUMN& c = columns.columns[i];
      const Column& s = live[i];
      static const char* const kTypes[] = {"int", "double", "varbinary"};
      std::string type = s.type == "smallint" ? "int" : s.type;  // narrower
      size_t size = c.kind == DB_COLUMN_TEXT ? c.size : 1;
      EXPECT_EQ(s.name + " " + type + " " + std::to_string(s.max_len + 1),
                std::string(c.name) + " " + kTypes[c.kind] + " " +
                    std::to_string(size))
          << "column " << i + 1;
    }
  }
};

// A column added, moved, retyped or resized in the schema or in a record
// alone fails here.
TEST_F(DbRowsTest, ColumnTablesMatchTheSchema) {
  matches_schema("workunit", workunit_columns);
  matches_schema("result", result_columns);
  matches_schema("host", host_columns);
  matches_schema("assignment", assignment_columns);
}

TEST_F(DbRowsTest, EveryColumnRoundTripsAndNullGivesTheEmptyValue) {
  round_trip<DB_WORKUNIT>("workunit");
  round_trip<DB_RESULT>("result");
  round_trip<DB_HOST>("host");
  round_trip<DB_ASSIGNMENT>("assignment");
}

// Every read of row's table is refused with code and one line each, and the
// record stays as it was.
void reads_are_refused(TABLEROW& row, int id, int code,
                       const std::string& line) {
  for (bool streaming : {false, true}) {
    CaptureStderr();
    EXPECT_EQ(row.lookup_id(id), code);
    EXPECT_EQ(row.enumerate("", streaming), code);
    EXPECT_FALSE(row.row_cursor.active);
    EXPECT_EQ(GetCapturedStderr(), line + line);
    EXPECT_EQ(row.get_id(), 0);
  }
}

// A table of an older schema, one column short: every read is refused.
template <typename ROW>
void refuses_short_rows(DB_CONN& db, DB_CONN& check, const char* table,
                        size_t schema_columns, int id) {
  SCOPED_TRACE(table);
  ROW row(&db);
  std::string last = query_value(
      check, std::string("select column_name from information_schema.columns "
                         "where table_schema=database() and table_name='") +
                 table + "' order by ordinal_position desc limit 1");
  ASSERT_EQ(check.do_query(
                (std::string("alter table ") + table + " drop column " + last)
                    .c_str()),
            0);
  reads_are_refused(
      row, id, ERR_DB_ROW_SHORT,
      "Database error: a row of " + std::string(table) + " has " +
          std::to_string(schema_columns - 1) + " columns, fewer than the " +
          std::to_string(schema_columns) + " its record reads; refused\n");
}

TEST_F(DbRowsTest, RowsShorterThanTheRecordAreRefused) {
  auto check_table = [&](auto row_type, const char* table) {
    size_t n = columns(table).size();
    int id = insert_distinct_row(table);
    refuses_short_rows<decltype(row_type)>(db, check, table, n, id);
  };
  check_table(DB_WORKUNIT(), "workunit");
  check_table(DB_RESULT(), "result");
  check_table(DB_HOST(), "host");
  check_table(DB_ASSIGNMENT(), "assignment");
}

// All the columns, but one moved by an ALTER: read by position, values
// would land in the wrong fields and an update would write them back into
// the wrong columns. Every read is refused; names compare as the server
// does, without regard to case.
TEST_F(DbRowsTest, RowsWithColumnsInAnotherOrderAreRefused) {
  int id = insert_distinct_row("host");
  const char* move = "alter table host modify p_membw double not null after ";
  exec(std::string(move) + "p_fpops");
  DB_HOST h(&db);
  reads_are_refused(h, id, ERR_DB_ROW_ORDER,
                    "Database error: column 18 of host is p_membw, not the "
                    "p_iops its record reads; refused\n");
  exec(std::string(move) + "p_iops");
  exec("alter table host change p_iops P_IOPS double not null default 0");
  EXPECT_EQ(h.lookup_id(id), 0);
  EXPECT_EQ(h.id, id);
}

// Integer texts as the reader takes them: past the int range clamped, not
// wrapped; leading zeros, blanks, a lone or doubled sign as strtoll reads them.
TEST_F(DbRowsTest, IntegerTextsAreReadAsStrtollReadsThemAndClamped) {
  int id = insert_distinct_row("assignment");
  exec(
      "create or replace view assignment_texts as select id, "
      "'-2147483649' as create_time, '2147483648' as target_id, "
      "'0000000009' as target_type, '-' as multi, ' -7x' as workunitid, "
      "'-999999999' as resultid from assignment");
  DB_ASSIGNMENT a(&db);
  a.table_name = "assignment_texts";
  ASSERT_EQ(a.lookup_id(id), 0);
  EXPECT_EQ(a.create_time, INT_MIN);
  EXPECT_EQ(a.target_id, INT_MAX);
  EXPECT_EQ(a.target_type, 9);
  EXPECT_EQ(a.multi, 0);
  EXPECT_EQ(a.workunitid, -7);
  EXPECT_EQ(a.resultid, -999999999);
  exec("drop view assignment_texts");
}

// Texts written by db_print reach the table byte for byte.
TEST_F(DbRowsTest, InsertStoresHostileTextsExactly) {
  DB_HOST h(&db);
  std::string model = hostile_text("m", 255);
  strlcpy(h.p_model, model.c_str(), sizeof h.p_model);
  strlcpy(h.domain_name, "\\", sizeof h.domain_name);  // a lone backslash
  strlcpy(h.os_name, "'", sizeof h.os_name);
  ASSERT_EQ(h.insert(), 0);
  EXPECT_EQ(query_value(check, "select hex(p_model) from host"), hex(model));
  EXPECT_EQ(query_value(check, "select concat(domain_name, os_name) from host"),
            "\\'");
}

// A text field with no terminator is read to the end of its buffer and no
// further; a column too short for it refuses the row rather than cutting it.
TEST_F(DbRowsTest, UnterminatedFieldIsBoundedAndRefused) {
  DB_HOST h(&db);
  memset(h.os_name, 'x', sizeof h.os_name);
  std::string out = echo_of([&] { EXPECT_NE(h.insert(), 0); });
  EXPECT_NE(out.find("os_name='" + std::string(256, 'x') + "', "),
            std::string::npos);
  EXPECT_NE(out.find("Database error: "), std::string::npos);
  EXPECT_EQ(query_value(check, "select count(*) from host"), "0");
}

// The database holds no NaN or infinity: they are written as 0.
TEST_F(DbRowsTest, NonFiniteDoublesAreWrittenAsZero) {
  DB_HOST h(&db);
  h.p_fpops = std::numeric_limits<double>::quiet_NaN();
  h.avg_turnaround = std::numeric_limits<double>::infinity();
  h.p_iops = 0.1;
  ASSERT_EQ(h.insert(), 0);
  EXPECT_EQ(query_value(check,
                        "select concat_ws(',', p_fpops, "
                        "avg_turnaround, p_iops = 0.1) from host"),
            "0,0,1");
}

TEST_F(DbRowsTest, NullConnectionMeansTheDefaultOne) {
  DB_WORKUNIT wu;
  DB_RESULT r(nullptr);
  DB_HOST h;
  DB_ASSIGNMENT a;
  EXPECT_EQ(wu.connection, &orvex_db);
  EXPECT_EQ(r.connection, &orvex_db);
  EXPECT_EQ(h.connection, &orvex_db);
  EXPECT_EQ(a.connection, &orvex_db);
  DB_HOST given(&db);
  EXPECT_EQ(given.connection, &db);
  EXPECT_STREQ(wu.table_name, "workunit");
  EXPECT_STREQ(r.table_name, "result");
  EXPECT_STREQ(h.table_name, "host");
  EXPECT_STREQ(a.table_name, "assignment");
}

TEST_F(DbRowsTest, WorkunitTakesAWholeRecordAndAssignmentClears) {
  WORKUNIT plain;
  plain.id = 17;
  strlcpy(plain.name, "w'17", sizeof plain.name);
  plain.transitioner_flags = 3;
  plain.rsc_fpops_est = 1e13;
  DB_WORKUNIT wu(&db);
  wu = plain;
  EXPECT_EQ(wu.get_id(), 17);
  EXPECT_EQ(wu.connection, &db);
  EXPECT_STREQ(wu.table_name, "workunit");
  DB_WORKUNIT same(&db);
  static_cast<WORKUNIT&>(same) = plain;
  EXPECT_EQ(printed(wu), printed(same));
  EXPECT_NE(printed(wu).find("name='w\\'17'"), std::string::npos);

  DB_ASSIGNMENT a(&db);
  a.id = 1;
  a.create_time = 2;
  a.target_id = 3;
  a.target_type = ASSIGN_USER;
  a.multi = 1;
  a.workunitid = 5;
  a.resultid = 6;
  a.clear();
  EXPECT_EQ(printed(a),
            "id=0, create_time=0, target_id=0, target_type=0, multi=0, "
            "workunitid=0, resultid=0");
}

// The statistics come from the server (aggregates and one ordered offset)
// and agree with the same statistics computed here.
TEST_F(DbRowsTest, FpopsStatisticsAreComputedByTheServer) {
  DB_HOST h(&db);
  double x = -1;
  EXPECT_EQ(h.fpops_mean(x), ERR_DB_NO_ROW);
  EXPECT_EQ(h.fpops_stddev(x), ERR_DB_NO_ROW);
  EXPECT_EQ(h.fpops_percentile(50, x), ERR_DB_NO_ROW);
  EXPECT_EQ(x, -1);

  std::vector<double> fpops = {3.1e9, 1.2e9, 7.7e9,  2.5e9, 2.5e9, 9.9e8,
                               4.4e9, 6.0e9, 1.0e10, 3.3e9, 5.05e9};
  for (double f : fpops) {
    DB_HOST row(&db);
    row.p_fpops = f;
    ASSERT_EQ(row.insert(), 0);
  }
  double n = fpops.size(), sum = 0, sq = 0;
  for (double f : fpops) sum += f;
  double mean = sum / n;
  for (double f : fpops) sq += (f - mean) * (f - mean);
  double stddev = std::sqrt(sq / n);
  std::vector<double> sorted = fpops;
  std::sort(sorted.begin(), sorted.end());
  auto nearest_rank = [&](double p) {
    double k = std::clamp(std::ceil(p / 100 * n), 1.0, n);
    return sorted[static_cast<size_t>(k) - 1];
  };

  std::string out = echo_of([&] {
    EXPECT_EQ(h.fpops_mean(x), 0);
    EXPECT_NEAR(x, mean, mean * 1e-12);
    EXPECT_EQ(h.fpops_stddev(x), 0);
    EXPECT_NEAR(x, stddev, stddev * 1e-9);
  });
  EXPECT_EQ(out,
            "query: select greatest(max(p_fpops), -min(p_fpops)) from host\n"
            "query: select avg(p_fpops) from host\n"
            "query: select greatest(max(p_fpops), -min(p_fpops)) from host\n"
            "query: select stddev_pop(p_fpops) from host\n");

  for (double p : {0.0, 5.0, 9.0, 9.1, 50.0, 95.0, 99.0, 100.0, 250.0, -3.0,
                   std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(h.fpops_percentile(p, x), 0) << p;
    EXPECT_EQ(x, nearest_rank(p)) << p;
  }
  out = echo_of([&] { h.fpops_percentile(50, x); });
  EXPECT_EQ(out,
            "query: select count(*) from host \n"
            "query: select p_fpops from host order by p_fpops limit 1 "
            "offset 5\n");
  x = -1;
  EXPECT_EQ(h.fpops_percentile(std::nan(""), x), ERR_DB_NO_ROW);
  EXPECT_EQ(x, -1);
}

}  // namespace
