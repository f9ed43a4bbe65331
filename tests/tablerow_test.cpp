#include "database/tablerow.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "database/sql_escape.h"
#include "test_db.h"

using orvex_test::echo_of;
using orvex_test::query_value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A small table and its row class, built as the project's row classes are.
const char* const kCreateWidget =
    "create table widget (id int not null auto_increment primary key, "
    "name varchar(254) not null default '', qty int not null default 0, "
    "weight double not null default 0, note varchar(64) null) engine=InnoDB";

struct WIDGET {
  int id = 0;
  char name[256] = "";
  int qty = 0;
  double weight = 0;
  bool has_note = false;  // false for SQL NULL
  char note[64] = "";
};

class DB_WIDGET : public TABLEROW, public WIDGET {
 public:
  explicit DB_WIDGET(DB_CONN* connection) : TABLEROW("widget", connection) {}

  int get_id() override { return id; }

  void db_print(char* dest) override {
    char esc_name[2 * sizeof name + 3];
    char esc_note[2 * sizeof note + 3];
    strlcpy(esc_name, name, sizeof esc_name);
    escape_string(esc_name, sizeof esc_name);
    strlcpy(esc_note, note, sizeof esc_note);
    escape_string(esc_note, sizeof esc_note);
    std::string note_sql =
        has_note ? std::string("'") + esc_note + "'" : "NULL";
    snprintf(dest, QUERY_TEXT_MAX,
             "id=%d, name='%s', qty=%d, weight=%.17g, note=%s", id, esc_name,
             qty, weight, note_sql.c_str());
  }

  void db_parse(MYSQL_ROW& row) override {
    id = atoi(row[0]);
    strlcpy(name, row[1], sizeof name);
    qty = atoi(row[2]);
    weight = atof(row[3]);
    has_note = row[4] != nullptr;
    strlcpy(note, row[4] ? row[4] : "", sizeof note);
  }
};

// A row whose assignment list is "qty=<qty>" padded with blanks to a chosen
// length, to reach the buffer limits with valid statements.
class PaddedWidget : public TABLEROW {
 public:
  PaddedWidget(DB_CONN* connection, int id, size_t length)
      : TABLEROW("widget", connection), id_(id), length_(length) {}
  int get_id() override { return id_; }
  void db_print(char* dest) override {
    int n = snprintf(dest, QUERY_TEXT_MAX, "qty=5");
    size_t len = length_ < QUERY_TEXT_MAX ? length_ : QUERY_TEXT_MAX;
    memset(dest + n, ' ', len - n);
    if (len < QUERY_TEXT_MAX) dest[len] = '\0';  // else left unterminated
  }

 private:
  int id_;
  size_t length_;
};

class TableRowTest : public orvex_test::DbTest {
 protected:
  void prepare() override {
    ASSERT_EQ(db.do_query("drop table if exists widget"), 0);
    ASSERT_EQ(db.do_query(kCreateWidget), 0);
  }

  // Rows 1 (a, 3, 1.5), 2 (b, 5, 2.25, note 'n2'), 3 (c, 0, 4, NULL note),
  // written by the checking connection.
  void seed() {
    ASSERT_EQ(check.do_query("insert into widget values (1, 'a', 3, 1.5, "
                             "NULL), (2, 'b', 5, 2.25, 'n2'), (3, 'c', 0, "
                             "4, NULL)"),
              0);
  }
  std::string count_where(const std::string& where) {
    return value("select count(*) from widget where " + where);
  }
};

// Every operation sends its template byte for byte (ids unsigned).
TEST_F(TableRowTest, StatementTextsAreExact) {
  DB_WIDGET w(&db);
  w.id = 7;
  strlcpy(w.name, "it's", sizeof w.name);
  w.qty = 3;
  w.weight = 2.5;
  DB_WIDGET minus(&db);
  minus.id = -1;
  int n = 0;
  double x = 0;
  char buf[16];
  int values[2];
  std::string batch = "(8, 'b', 1, 1, NULL)";
  struct {
    std::function<int()> op;
    const char* statement;
  } cases[] = {
      {[&] { return w.insert(); },
       "insert into widget set id=7, name='it\\'s', qty=3, weight=2.5, "
       "note=NULL"},
      {[&] { return w.lookup_id(7); }, "select * from widget where id=7"},
      {[&] { return w.lookup_id(-1); },
       "select * from widget where id=4294967295"},
      {[&] { return w.lookup("where qty>1 order by id"); },
       "select * from widget where qty>1 order by id"},
      {[&] { return w.update(); },
       "update widget set id=7, name='it\\'s', qty=3, weight=2.5, note=NULL "
       "where id=7"},
      {[&] { return w.update_field("qty=4", nullptr); },
       "update widget set qty=4 where id=7"},
      {[&] { return w.update_field("qty=5", "qty=4"); },
       "update widget set qty=5 where id=7 and qty=4"},
      {[&] { return w.update_fields_noid("weight=1", "qty>100"); },
       "update widget set weight=1 where qty>100"},
      {[&] { return w.count(n, ""); }, "select count(*) from widget "},
      {[&] { return w.max_id(n, "where qty>0"); },
       "select max(id) from widget where qty>0"},
      {[&] { return w.sum(x, "weight", ""); },
       "select sum(weight) from widget "},
      {[&] { return w.get_integer("select 42", n); }, "select 42"},
      {[&] { return w.get_double("select 0.5", x); }, "select 0.5"},
      {[&] { return w.get_field_str("name", buf, sizeof buf); },
       "select name from widget where id=7"},
      {[&] { return w.get_field_ints("qty, id", 2, values); },
       "select qty, id from widget where id=7"},
      {[&] { return w.enumerate("where id=7", false) + w.end_enumerate(); },
       "select * from widget where id=7"},
      {[&] { return w.insert_batch(batch); },
       "insert into widget values (8, 'b', 1, 1, NULL)"},
      {[&] { return w.delete_from_db_multi("id=8"); },
       "delete from widget where id=8"},
      {[&] { return w.delete_from_db(); }, "delete from widget where id=7"},
      {[&] { return minus.delete_from_db(); },
       "delete from widget where id=4294967295"},
      {[&] { return minus.update_field("qty=1", nullptr); },
       "update widget set qty=1 where id=4294967295"},
  };
  for (const auto& c : cases) {
    int retval = -999;
    std::string out = echo_of([&] { retval = c.op(); });
    EXPECT_EQ(out, std::string("query: ") + c.statement + "\n");
    EXPECT_TRUE(retval == 0 || retval == ERR_DB_NO_ROW)
        << c.statement << ": " << retval;
  }
  EXPECT_EQ(n, 42);
  EXPECT_EQ(x, 0.5);
  EXPECT_EQ(query_value(check, "select count(*) from widget"), "0");
}

TEST_F(TableRowTest, InsertWritesTheRowAndInsertIdFindsIt) {
  DB_WIDGET w(&db);
  strlcpy(w.name, "O'Brien \\ \"quoted\"", sizeof w.name);
  w.qty = -4;
  w.weight = 0.1;
  w.has_note = true;
  strlcpy(w.note, "n", sizeof w.note);
  ASSERT_EQ(w.insert(), 0);
  int id = db.insert_id();
  ASSERT_GT(id, 0);
  EXPECT_EQ(query_value(check,
                        "select concat_ws('|', name, qty, weight, "
                        "note) from widget where id=" +
                            std::to_string(id)),
            "O'Brien \\ \"quoted\"|-4|0.1|n");

  DB_WIDGET back(&db);
  ASSERT_EQ(back.lookup_id(id), 0);
  EXPECT_STREQ(back.name, w.name);
  EXPECT_EQ(back.qty, -4);
  EXPECT_EQ(back.weight, 0.1);
  EXPECT_TRUE(back.has_note);
}

TEST_F(TableRowTest, LookupReadsTheFirstRowOrLeavesTheRecord) {
  seed();
  DB_WIDGET w(&db);
  EXPECT_EQ(w.lookup("where id>0 order by id desc"), 0);  // three rows
  EXPECT_EQ(w.id, 3);
  EXPECT_STREQ(w.name, "c");
  EXPECT_FALSE(w.has_note);
  EXPECT_EQ(w.lookup_id(2), 0);
  EXPECT_STREQ(w.note, "n2");

  struct {
    std::function<int()> op;
    int result;
  } misses[] = {
      {[&] { return w.lookup_id(99); }, ERR_DB_NO_ROW},
      {[&] { return w.lookup_id(-1); }, ERR_DB_NO_ROW},
      {[&] { return w.lookup("where qty>100"); }, ERR_DB_NO_ROW},
  };
  for (const auto& m : misses) {
    EXPECT_EQ(m.op(), m.result);
    EXPECT_EQ(w.id, 2);  // untouched
    EXPECT_STREQ(w.name, "b");
  }
  CaptureStderr();
  EXPECT_NE(w.lookup("where nosuch=1"), 0);
  EXPECT_NE(GetCapturedStderr().find("Database error: "), std::string::npos);
  EXPECT_EQ(w.id, 2);
}

TEST_F(TableRowTest, UpdateRequiresExactlyOneMatchedRow) {
  seed();
  DB_WIDGET w(&db);
  ASSERT_EQ(w.lookup_id(1), 0);
  EXPECT_EQ(w.update(), 0);  // its current values: still one row
  w.qty = 11;
  strlcpy(w.name, "a'1", sizeof w.name);
  EXPECT_EQ(w.update(), 0);
  EXPECT_EQ(query_value(check,
                        "select concat(name, qty) from widget where "
                        "id=1"),
            "a'111");
  w.id = 42;
  EXPECT_EQ(w.update(), ERR_DB_NO_ROW);
  EXPECT_EQ(count_where("id=42"), "0");

  // Partial updates return the statement's result, not the row count.
  DB_WIDGET v(&db);
  v.id = 2;
  EXPECT_EQ(v.update_field("qty=6", nullptr), 0);
  EXPECT_EQ(v.update_field("qty=7", "qty=99"), 0);  // matches nothing
  EXPECT_EQ(v.affected_rows(), 0);
  EXPECT_EQ(count_where("id=2 and qty=6"), "1");
  EXPECT_EQ(v.update_fields_noid("weight=9", "qty<7"), 0);
  EXPECT_EQ(v.affected_rows(), 2);
  EXPECT_EQ(count_where("weight=9"), "2");
  CaptureStderr();
  EXPECT_NE(v.update_field("nosuch=1", nullptr), 0);
  GetCapturedStderr();
}

TEST_F(TableRowTest, DeletesOneOrManyRows) {
  seed();
  DB_WIDGET w(&db);
  w.id = 2;
  EXPECT_EQ(w.delete_from_db(), 0);
  EXPECT_EQ(count_where("id=2"), "0");
  EXPECT_EQ(w.delete_from_db(), 0);  // gone already: not an error
  EXPECT_EQ(w.delete_from_db_multi("qty<10"), 0);
  EXPECT_EQ(query_value(check, "select count(*) from widget"), "0");
}

TEST_F(TableRowTest, InsertBatchWritesAllRowsAtOnce) {
  DB_WIDGET w(&db);
  std::string values = "(1, 'x', 1, 1, NULL), (2, 'y''s', 2, 2, 'n')";
  std::string before = values;
  EXPECT_EQ(w.insert_batch(values), 0);
  EXPECT_EQ(values, before);
  EXPECT_EQ(db.affected_rows(), 2);
  EXPECT_EQ(query_value(check,
                        "select group_concat(name order by id) from "
                        "widget"),
            "x,y's");
  CaptureStderr();
  EXPECT_NE(w.insert_batch("(1, 'dup', 1, 1, NULL)"), 0);
  GetCapturedStderr();
}

TEST_F(TableRowTest, AggregatesAndSingleValues) {
  DB_WIDGET w(&db);
  int n = -5;
  double x = -5;
  EXPECT_EQ(w.count(n, ""), 0);
  EXPECT_EQ(n, 0);
  n = -5;
  EXPECT_EQ(w.max_id(n, ""), ERR_DB_NO_ROW);  // NULL over no rows
  EXPECT_EQ(n, -5);
  EXPECT_EQ(w.sum(x, "weight", ""), ERR_DB_NO_ROW);
  EXPECT_EQ(x, -5);

  seed();
  struct {
    std::function<int()> op;
    int result;
    int n;
    double x;
  } cases[] = {
      {[&] { return w.count(n, ""); }, 0, 3, -5},
      {[&] { return w.count(n, "where qty>0"); }, 0, 2, -5},
      {[&] { return w.max_id(n, "where qty<5"); }, 0, 3, -5},
      {[&] { return w.max_id(n, "where qty>100"); }, ERR_DB_NO_ROW, -5, -5},
      {[&] { return w.sum(x, "weight", ""); }, 0, -5, 7.75},
      {[&] { return w.sum(x, "weight", "where id=9"); }, ERR_DB_NO_ROW, -5, -5},
      {[&] { return w.get_integer("select 7 from widget where id<0", n); },
       ERR_DB_NO_ROW, -5, -5},
      {[&] { return w.get_integer("select null", n); }, ERR_DB_NO_ROW, -5, -5},
      {[&] { return w.get_double("select 2.5e3", x); }, 0, -5, 2500},
      {[&] { return w.get_integer("do 1", n); }, ERR_DB_NO_ROW, -5, -5},
  };
  for (const auto& c : cases) {
    n = -5;
    x = -5;
    EXPECT_EQ(c.op(), c.result);
    EXPECT_EQ(n, c.n);
    EXPECT_EQ(x, c.x);
  }
  // A refused statement passes the value of do_query up.
  CaptureStderr();
  n = -5;
  int retval = w.count(n, "where nosuch=1");
  GetCapturedStderr();
  EXPECT_NE(retval, 0);
  EXPECT_NE(retval, ERR_DB_NO_ROW);
  EXPECT_EQ(n, -5);
}

TEST_F(TableRowTest, ReadsSingleColumnsOfTheRow) {
  seed();
  DB_WIDGET w(&db);
  w.id = 2;
  char dest[8];
  strlcpy(dest, "keep", sizeof dest);
  w.id = 3;
  EXPECT_EQ(w.get_field_str("note", dest, sizeof dest), 0);  // NULL
  EXPECT_STREQ(dest, "keep");
  EXPECT_EQ(w.get_field_str("concat(name, 'bcdefghij')", dest, sizeof dest), 0);
  EXPECT_STREQ(dest, "cbcdefg");  // cut to size - 1
  w.id = 99;
  EXPECT_EQ(w.get_field_str("name", dest, sizeof dest), ERR_DB_NO_ROW);
  EXPECT_STREQ(dest, "cbcdefg");

  int values[4] = {-1, -1, -1, -1};
  w.id = 2;
  EXPECT_EQ(w.get_field_ints("qty, id, weight", 3, values), 0);
  EXPECT_EQ(values[0], 5);
  EXPECT_EQ(values[1], 2);
  EXPECT_EQ(values[2], 2);  // 2.25 read as an integer
  EXPECT_EQ(values[3], -1);
  w.id = 3;
  EXPECT_EQ(w.get_field_ints("note, qty", 2, values), 0);
  EXPECT_EQ(values[0], 0);  // NULL
  EXPECT_EQ(values[1], 0);
  // More columns asked for than selected: the extra ones read as 0.
  values[1] = -1;
  EXPECT_EQ(w.get_field_ints("id", 2, values), 0);
  EXPECT_EQ(values[0], 3);
  EXPECT_EQ(values[1], 0);
}

// The buffered mode leaves the connection free: each row is updated from
// inside the loop, and a failed statement in the loop does not change how
// the enumeration ends.
TEST_F(TableRowTest, BufferedEnumerationAllowsStatementsInsideTheLoop) {
  seed();
  DB_WIDGET w(&db);
  std::string seen;
  int retval;
  std::string out = echo_of([&] {
    while ((retval = w.enumerate("where id>0 order by id", false)) == 0) {
      seen += w.name;
      EXPECT_EQ(w.update_field("qty=qty+100", nullptr), 0);
      EXPECT_TRUE(w.row_cursor.active);
      EXPECT_NE(w.update_field("nosuch=1", nullptr), 0);
    }
  });
  EXPECT_EQ(retval, ERR_DB_NO_ROW);
  EXPECT_EQ(seen, "abc");
  EXPECT_FALSE(w.row_cursor.active);
  EXPECT_EQ(w.row_cursor.result_set, nullptr);
  EXPECT_EQ(count_where("qty>=100"), "3");
  EXPECT_EQ(out.find("query: select * from widget where id>0 order by id\n"),
            0u);
  EXPECT_EQ(out.rfind("query: select"), 0u) << "started once";

  // The next call starts again; the clause counts only at the start.
  EXPECT_EQ(w.enumerate("where id=2", false), 0);
  EXPECT_EQ(w.id, 2);
  EXPECT_EQ(w.enumerate("where id=1", false), ERR_DB_NO_ROW);
  EXPECT_EQ(w.id, 2);
}

TEST_F(TableRowTest, EmptySelectionEndsAtOnceAndStartsAgain) {
  DB_WIDGET w(&db);
  for (int round = 0; round < 2; round++) {
    std::string out = echo_of([&] {
      EXPECT_EQ(w.enumerate("where id>0", round == 1), ERR_DB_NO_ROW);
    });
    EXPECT_EQ(out, "query: select * from widget where id>0\n");
    EXPECT_FALSE(w.row_cursor.active);
  }
  EXPECT_EQ(w.end_enumerate(), 0);  // inactive: nothing to do
  EXPECT_FALSE(w.row_cursor.active);
}

// A failed start is never a row: it leaves the cursor inactive and reports
// the library's error number, or a nonzero code when there is none.
TEST_F(TableRowTest, FailedStartOfEnumerationIsNeverARow) {
  DB_WIDGET w(&db);
  CaptureStderr();
  EXPECT_EQ(w.enumerate("where nosuch=1", false), 1054);  // unknown column
  EXPECT_EQ(w.enumerate("where nosuch=1", true), 1054);
  GetCapturedStderr();
  EXPECT_FALSE(w.row_cursor.active);

  DB_CONN closed;
  DB_WIDGET orphan(&closed);
  CaptureStderr();
  EXPECT_EQ(orphan.enumerate("", false), ERR_DB_CONNECT);
  GetCapturedStderr();
  EXPECT_FALSE(orphan.row_cursor.active);
}

// Streaming holds the connection until the rows end: another statement in
// between is refused by the library, and the walk still delivers every row.
TEST_F(TableRowTest, StreamingEnumerationOccupiesTheConnection) {
  seed();
  DB_WIDGET w(&db);
  std::string seen;
  int retval;
  while ((retval = w.enumerate("order by id", true)) == 0) seen += w.name;
  EXPECT_EQ(retval, ERR_DB_NO_ROW);
  EXPECT_EQ(seen, "abc");

  seen.clear();
  while ((retval = w.enumerate("order by id", true)) == 0) {
    seen += w.name;
    if (w.id == 1) {
      CaptureStderr();
      EXPECT_NE(db.do_query("do 1"), 0);
      EXPECT_NE(GetCapturedStderr().find("out of sync"), std::string::npos);
    }
  }
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(retval, ERR_DB_NO_ROW);  // every row came: a normal end
  EXPECT_FALSE(w.row_cursor.active);
  EXPECT_EQ(db.do_query("do 1"), 0);

  // Left early with end_enumerate, the connection is free again.
  ASSERT_EQ(w.enumerate("order by id", true), 0);
  EXPECT_EQ(w.end_enumerate(), 0);
  EXPECT_FALSE(w.row_cursor.active);
  EXPECT_EQ(db.do_query("do 1"), 0);
}

// A row object that goes away in the middle of an enumeration releases its
// result set; a copy never shares it.
TEST_F(TableRowTest, DestructorEndsAnActiveEnumeration) {
  seed();
  for (bool streaming : {true, false}) {
    {
      DB_WIDGET w(&db);
      ASSERT_EQ(w.enumerate("order by id", streaming), 0);
      DB_WIDGET copy(w);
      EXPECT_FALSE(copy.row_cursor.active);
      EXPECT_EQ(copy.id, 1);
      DB_WIDGET assigned(&db);
      assigned = w;
      EXPECT_FALSE(assigned.row_cursor.active);
    }
    EXPECT_EQ(db.do_query("do 1"), 0) << "streaming " << streaming;
  }
}

// A statement that does not fit its buffer is refused and never sent cut
// short; one that just fits is sent whole.
TEST_F(TableRowTest, StatementsBeyondTheirBufferAreRefused) {
  seed();
  DB_WIDGET w(&db);
  w.id = 12345;
  const size_t kMax = QUERY_TEXT_MAX - 1;  // longest statement that fits
  const std::string prefix = "delete from widget where ";
  std::string fits = "id=1" + std::string(kMax - prefix.size() - 4, ' ');
  std::string out =
      echo_of([&] { EXPECT_EQ(w.delete_from_db_multi(fits.c_str()), 0); });
  EXPECT_EQ(out, "query: " + prefix + fits + "\n");
  EXPECT_EQ(count_where("id=1"), "0");

  std::string one_over = "id=2" + std::string(kMax - prefix.size() - 3, ' ');
  std::string over = "id=2" + std::string(QUERY_TEXT_MAX, ' ');
  std::string wide_column(QUERY_TEXT_MAX, 'c');
  int n = 0;
  double x = 0;
  char dest[8];
  int values[1];
  std::function<int()> refused[] = {
      [&] { return w.delete_from_db_multi(one_over.c_str()); },
      [&] { return w.lookup(over.c_str()); },
      [&] { return w.enumerate(over.c_str(), false); },
      [&] { return w.count(n, over.c_str()); },
      [&] { return w.max_id(n, over.c_str()); },
      [&] { return w.sum(x, "weight", over.c_str()); },
      [&] { return w.update_field("qty=1", over.c_str()); },
      [&] { return w.update_field(over.c_str(), nullptr); },
      [&] { return w.update_fields_noid("qty=1", over.c_str()); },
      [&] { return w.get_field_str(wide_column.c_str(), dest, sizeof dest); },
      [&] { return w.get_field_ints(wide_column.c_str(), 1, values); },
  };
  for (const auto& op : refused) {
    std::string text = echo_of([&] { EXPECT_EQ(op(), ERR_DB_QUERY_TOO_LONG); });
    EXPECT_EQ(text.find("query:"), std::string::npos);
    EXPECT_NE(text.find("not sent"), std::string::npos);
  }
  EXPECT_FALSE(w.row_cursor.active);
  EXPECT_EQ(count_where("id=2"), "1");

  // update: the assignment list from db_print decides.
  const std::string update_frame = "update widget set  where id=2";
  PaddedWidget just(&db, 2, kMax - update_frame.size());
  out = echo_of([&] { EXPECT_EQ(just.update(), 0); });
  EXPECT_EQ(out.size(), std::string("query: \n").size() + kMax);
  EXPECT_EQ(count_where("id=2 and qty=5"), "1");
  for (size_t length :
       {kMax - update_frame.size() + 1, static_cast<size_t>(QUERY_TEXT_MAX)}) {
    PaddedWidget too_long(&db, 2, length);
    out = echo_of([&] { EXPECT_EQ(too_long.update(), ERR_DB_QUERY_TOO_LONG); });
    EXPECT_EQ(out.find("query:"), std::string::npos) << length;
  }
  // insert has the larger buffer: the longest list update accepts fits.
  PaddedWidget wide(&db, 0, QUERY_TEXT_MAX - 1);
  EXPECT_EQ(wide.insert(), 0);
  EXPECT_EQ(count_where("qty=5"), "2");
}

// A row whose db_print writes its list and then has inner insert its own:
// the buffers in use further up are not handed out again.
struct NestingWidget : public TABLEROW {
  NestingWidget(DB_CONN* connection, int qty, TABLEROW* inner)
      : TABLEROW("widget", connection), qty(qty), inner(inner) {}
  void db_print(char* dest) override {
    snprintf(dest, QUERY_TEXT_MAX, "qty=%d", qty);
    EXPECT_EQ(inner ? inner->insert() : 0, 0);
  }
  int qty;
  TABLEROW* inner;
};

TEST_F(TableRowTest, StatementsRunFromInsideDbPrintKeepTheirOwnBuffers) {
  NestingWidget inner(&db, 11, nullptr);
  NestingWidget outer(&db, 77, &inner);
  EXPECT_EQ(outer.insert(), 0);
  EXPECT_EQ(value("select group_concat(qty order by id) from widget"), "11,77");
}

TEST(TableRowSpecial, HoldsAConnectionAndAnInactiveCursor) {
  DB_CONN conn;
  TABLEROW_SPECIAL special(&conn);
  EXPECT_EQ(special.connection, &conn);
  EXPECT_FALSE(special.row_cursor.active);
  EXPECT_EQ(special.row_cursor.result_set, nullptr);
}

}  // namespace
