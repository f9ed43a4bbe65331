#include "database/sql_escape.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/str_util.h"
#include "test_db.h"

using orvex_test::query_value;

namespace {

std::string escaped(const std::string& in, int field_size) {
  std::vector<char> buf(in.begin(), in.end());
  buf.resize(std::max<size_t>(in.size() + 1, field_size > 0 ? field_size : 0) +
             1);
  escape_string(buf.data(), field_size);
  return buf.data();
}

std::string unescaped(const std::string& in) {
  std::vector<char> buf(in.begin(), in.end());
  buf.push_back('\0');
  unescape_string(buf.data(), static_cast<int>(buf.size()));
  return buf.data();
}

TEST(EscapeString, EscapesQuotesAndBackslashesWithinTheBuffer) {
  struct {
    std::string in;
    int field_size;
    std::string out;
  } cases[] = {
      {"it's", 100, "it\\'s"},
      {"a\\b", 100, "a\\\\b"},
      {"'\\'", 100, "\\'\\\\\\'"},
      {"\"\n\r\t\x1a\x80\xff", 100, "\"\n\r\t\x1a\x80\xff"},  // unchanged
      {"0123456789", 10, "0123456"},
      {"ab'cd", 6, "ab\\'"},  // the pair after the last check is whole
      {"ab'cd", 5, "ab"},
      {"''''", 7, "\\'\\'"},
      {"''''", 8, "\\'\\'\\'"},
      {"abc", 3, ""},
      {"abc", 1, ""},
      {"", 100, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escaped(c.in, c.field_size), c.out)
        << "'" << c.in << "' size " << c.field_size;
  }
}

TEST(EscapeString, WritesNothingWithoutRoom) {
  for (int size : {0, -1}) {
    char buf[] = "abc'";
    escape_string(buf, size);
    EXPECT_STREQ(buf, "abc'");
  }
}

TEST(EscapeString, SizesAboveTheLimitCountAsTheLimit) {
  std::string in(QUERY_TEXT_MAX + 1000, 'x');
  std::string capped = escaped(in, QUERY_TEXT_MAX + 1001);
  EXPECT_EQ(capped.size(), static_cast<size_t>(QUERY_TEXT_MAX - 3));
  EXPECT_EQ(capped, escaped(in, QUERY_TEXT_MAX));
}

// Random texts rich in quotes and backslashes, at every small buffer size:
// the result fits, never ends in half an escape pair, and unescapes to a
// prefix of the input, or to the input itself when nothing was dropped.
TEST(EscapeString, UnescapeRestoresWhatFits) {
  std::mt19937 rng(4);
  const char alphabet[] = "''\\\\ab\"\n\x80\xbf";
  for (int round = 0; round < 2000; round++) {
    std::string in(rng() % 24, ' ');
    for (char& ch : in) ch = alphabet[rng() % (sizeof alphabet - 1)];
    int size = 1 + static_cast<int>(rng() % 40);
    std::string out = escaped(in, size);
    ASSERT_LE(static_cast<int>(out.size()), std::max(size - 2, 0)) << in;
    size_t trailing = 0;  // backslashes at the end come in pairs
    while (trailing < out.size() && out[out.size() - 1 - trailing] == '\\') {
      trailing++;
    }
    ASSERT_EQ(trailing % 2, 0u) << "half an escape pair: " << out;
    std::string back = unescaped(out);
    ASSERT_EQ(in.compare(0, back.size(), back), 0) << in << " / " << out;
    size_t escapes = 0;
    for (char ch : in) escapes += (ch == '\'' || ch == '\\');
    if (static_cast<int>(in.size() + escapes) <= size - 3) {
      ASSERT_EQ(back, in) << "nothing should be dropped, size " << size;
    }
  }
}

TEST(UnescapeString, RemovesEachBackslash) {
  struct {
    std::string in, out;
  } cases[] = {
      {"a\\'b", "a'b"}, {"\\\\", "\\"}, {"\\n", "n"},       {"abc\\", "abc"},
      {"\\", ""},       {"", ""},       {"plain", "plain"}, {"\\\\\\'", "\\'"},
  };
  for (const auto& c : cases) EXPECT_EQ(unescaped(c.in), c.out) << c.in;
}

TEST(EscapeLikePattern, EscapesWildcardsQuotesAndBackslashes) {
  struct {
    std::string in, out;
  } cases[] = {
      {"50%_off", "50\\\\%\\\\_off"},
      {"plain text", "plain text"},
      {"", ""},
      {"it's", "it\\'s"},
      {"a\\b", "a\\\\b"},
      {"%%", "\\\\%\\\\%"},
  };
  for (const auto& c : cases) {
    std::vector<char> out(3 * c.in.size() + 1, '#');
    escape_mysql_like_pattern(c.in.c_str(), out.data());
    EXPECT_EQ(std::string(out.data()), c.out) << c.in;
  }
  // The worst case fills the promised 3 * length + 1 bytes exactly.
  std::vector<char> out(3 * 4 + 1);
  escape_mysql_like_pattern("%_%_", out.data());
  EXPECT_EQ(strlen(out.data()), 12u);
}

class EscapeAgainstServerTest : public orvex_test::DbTest {
 protected:
  void prepare() override {
    ASSERT_EQ(db.do_query("drop table if exists escape_t"), 0);
    ASSERT_EQ(db.do_query("create table escape_t (id int not null primary "
                          "key, b longblob not null)"),
              0);
  }

  // Stores text under id through a statement built with escape_string and
  // returns the bytes the server kept.
  std::string round_trip(int id, const std::string& text, int field_size) {
    std::vector<char> field(text.begin(), text.end());
    field.resize(std::max<size_t>(text.size(), field_size) + 1, '\0');
    escape_string(field.data(), field_size);
    std::string sql = "insert into escape_t set id=" + std::to_string(id) +
                      ", b='" + field.data() + "'";
    if (db.do_query(sql.c_str())) return "(insert failed)";
    return query_value(db,
                       "select b from escape_t where id=" + std::to_string(id));
  }
};

// Whatever the bytes, the server stores exactly the text that
// unescape_string gives back: the escaped value never leaves its quotes.
TEST_F(EscapeAgainstServerTest, EveryByteRoundTrips) {
  std::vector<std::string> texts;
  std::string all;
  for (int b = 1; b < 256; b++) all += static_cast<char>(b);
  texts.push_back(all);
  texts.emplace_back(all.rbegin(), all.rend());
  for (const char* special : {"'", "\\", "\\'", "'\\", "''", "\\\\"}) {
    for (size_t pos = 0; pos <= 4; pos++) {
      std::string t = "abcd";
      t.insert(pos, special);
      texts.push_back(t);
    }
  }
  // Bytes that GBK, Big5 or SJIS would read as the lead of a two-byte
  // character swallowing the escaping backslash.
  for (int lead : {0x81, 0x95, 0xa1, 0xbf, 0xe0, 0xfe}) {
    for (const char* tail : {"'", "\\", "\\'", "' OR 1=1 #"}) {
      texts.push_back(std::string(1, static_cast<char>(lead)) + tail);
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 150; i++) {
    std::string t(rng() % 300, ' ');
    for (char& ch : t) {
      unsigned r = rng() % 8;
      ch = r == 0 ? '\'' : r == 1 ? '\\' : static_cast<char>(1 + rng() % 255);
    }
    texts.push_back(t);
  }
  int id = 0;
  for (const auto& t : texts) {
    ASSERT_EQ(round_trip(++id, t, 2 * static_cast<int>(t.size()) + 3), t)
        << "text " << id;
  }
}

// Long texts at the buffer limits: the kept part still round-trips.
TEST_F(EscapeAgainstServerTest, LongTextsRoundTripAtTheLimit) {
  struct {
    std::string text;
    int field_size;
    bool whole;
  } cases[] = {
      {std::string(QUERY_TEXT_MAX - 3, 'x'), QUERY_TEXT_MAX, true},
      {std::string(QUERY_TEXT_MAX / 2 - 2, '\''), QUERY_TEXT_MAX, true},
      {std::string(QUERY_TEXT_MAX, '\\'), QUERY_TEXT_MAX, false},
      {std::string(QUERY_TEXT_MAX, '\''), QUERY_TEXT_MAX + 50, false},
  };
  int id = 100;
  for (const auto& c : cases) {
    std::string stored = round_trip(++id, c.text, c.field_size);
    if (c.whole) {
      EXPECT_EQ(stored, c.text) << id;
    } else {
      EXPECT_EQ(stored.size(), static_cast<size_t>(QUERY_TEXT_MAX / 2 - 1));
      EXPECT_EQ(c.text.compare(0, stored.size(), stored), 0) << id;
    }
  }
}

// A hostile value used in a WHERE clause matches nothing instead of
// rewriting the statement.
TEST_F(EscapeAgainstServerTest, HostileValuesStayInsideTheirQuotes) {
  ASSERT_EQ(db.do_query("insert into escape_t values (1, 'a'), (2, 'b')"), 0);
  const char* attacks[] = {
      "' OR 1=1 #",
      "\\' OR 1=1 #",
      "\xbf' OR 1=1 #",
      "\xbf\\' OR 1=1 #",
      "\\\\' OR 1=1 #",
      "a' OR 'a'='a",
      "'; delete from escape_t; #",
  };
  for (const char* attack : attacks) {
    char field[64];
    strlcpy(field, attack, sizeof field);
    escape_string(field, sizeof field);
    std::string sql =
        std::string("select count(*) from escape_t where b='") + field + "'";
    EXPECT_EQ(query_value(db, sql), "0") << attack;
  }
  EXPECT_EQ(query_value(db, "select count(*) from escape_t"), "2");
}

TEST_F(EscapeAgainstServerTest, LikePatternsMatchLiterally) {
  ASSERT_EQ(db.do_query("insert into escape_t values (1, 'a%b'), (2, 'axb'), "
                        "(3, 'a_b'), (4, 'ayb'), (5, 'it''s'), (6, 'its')"),
            0);
  struct {
    const char* pattern;
    const char* ids;
  } cases[] = {
      {"a%b", "1"},
      {"a_b", "3"},
      {"it's", "5"},
      {"x' or 1=1 #", "NULL"},
  };
  for (const auto& c : cases) {
    char like[64];
    escape_mysql_like_pattern(c.pattern, like);
    std::string sql =
        std::string(
            "select group_concat(id order by id) from escape_t where "
            "b like '") +
        like + "'";
    EXPECT_EQ(query_value(db, sql), c.ids) << c.pattern;
  }
}

}  // namespace
