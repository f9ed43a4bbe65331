#include "xml/xml_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/error_numbers.h"

namespace {

// A parser over a document, read from a string or from a stdio stream.
struct Doc {
  explicit Doc(const std::string& text, bool use_stream = false)
      : data(text), xp(&mf) {
    if (use_stream) {
      f = fmemopen(const_cast<char*>(data.data()), data.size(), "r");
      mf.init_file(f);
    } else {
      mf.init_buf_read(data.c_str());
    }
  }
  ~Doc() {
    if (f) fclose(f);
  }
  std::string data;
  FILE* f = nullptr;
  MIOFILE mf;
  XML_PARSER xp;
};

// The item stream as "T:" tag, "X:" text and "A:" attribute texts.
std::vector<std::string> items(const std::string& text, bool use_stream,
                               bool with_attrs = false) {
  Doc d(text, use_stream);
  std::vector<std::string> out;
  char attrs[TAG_BUF_LEN];
  while (!d.xp.get_tag(with_attrs ? attrs : nullptr,
                       with_attrs ? TAG_BUF_LEN : 0)) {
    out.push_back((d.xp.is_tag ? "T:" : "X:") + std::string(d.xp.tag_buf));
    if (with_attrs && d.xp.is_tag) out.push_back("A:" + std::string(attrs));
    if (out.size() > 100000) break;
  }
  return out;
}

using Items = std::vector<std::string>;

// Checks one document against its expected items from both kinds of source.
void expect_items(const std::string& text, const Items& expected,
                  bool with_attrs = false) {
  EXPECT_EQ(items(text, false, with_attrs), expected) << "string: " << text;
  EXPECT_EQ(items(text, true, with_attrs), expected) << "stream: " << text;
}

}  // namespace

TEST(XmlScan, ElementsTextAndWhitespace) {
  expect_items("<a>hello</a>", {"T:a", "X:hello", "T:/a"});
  expect_items("<a>  x y  </a>", {"T:a", "X:x y", "T:/a"});
  expect_items("<a>\n \t <b>1</b>\r\n</a>\n",
               {"T:a", "T:b", "X:1", "T:/b", "T:/a"});
  expect_items("", {});
  expect_items(" \n\t ", {});
  expect_items("a > b <x/>", {"X:a > b", "T:x/"});  // a stray ">" is text
  expect_items("<a>\xff\xfe</a>", {"T:a", "X:\xff\xfe", "T:/a"});
}

TEST(XmlScan, SlashesAndAttributes) {
  expect_items("<flag/>", {"T:flag/", "A:"}, true);
  expect_items("<flag />", {"T:flag/", "A:"}, true);
  expect_items("<a href=x/y>", {"T:a/", "A:href=xy"}, true);
  expect_items("<a x=1  y=2>", {"T:a", "A:x=1  y=2"}, true);
  expect_items("<a  x>", {"T:a", "A: x"}, true);
  expect_items("<a x='>'><b/>", {"T:a", "A:x='", "X:'>", "T:b/", "A:"},
               true);                // quotes are not special
  expect_items("<a x=1>", {"T:a"});  // attributes dropped
  expect_items("</config >", {"T:/config"});
  expect_items("<?xml version=\"1.0\"?><r/>", {"T:?xml", "T:r/"});
}

TEST(XmlScan, CommentsAreSkipped) {
  expect_items("<a/><!-- note --><b/>", {"T:a/", "T:b/"});
  expect_items("<!----><b/>", {"T:b/"});
  expect_items("<!-- a -- > b - -> c --><b/>", {"T:b/"});
  expect_items("<!-- x ---><b/>", {"T:b/"});
  expect_items("<!--<a>--><!--2--><b/>", {"T:b/"});
  expect_items("<a/><!-- never closed", {"T:a/"});
}

TEST(XmlScan, CdataIsText) {
  expect_items("<![CDATA[ x<y ]]>", {"X:x<y"});
  expect_items("<a><![CDATA[a]]]></a>", {"T:a", "X:a]", "T:/a"});
  expect_items("<a><![CDATA[]]></a>", {"T:a", "X:", "T:/a"});
  expect_items("<a><![CDATA[x]]]]>]]></a>", {"T:a", "X:x]]", "X:]]>", "T:/a"});
  expect_items("<a><![CDATA[<b>&amp;</b>]]></a>",
               {"T:a", "X:<b>&amp;</b>", "T:/a"});
  expect_items("<a><![CDATA[never closed", {"T:a"});
  expect_items("<a><![CDAT[x]]></a>", {"T:a", "T:![CDAT[x]]", "T:/a"});
}

TEST(XmlScan, TruncatedInputEnds) {
  expect_items("<abc", {});
  expect_items("<a>text without end", {"T:a"});
  expect_items("<a/>tail", {"T:a/"});
  expect_items("<a x='1", {});
  expect_items("<", {});
  expect_items("<a><!-", {"T:a"});
}

TEST(XmlScan, OverlongItemsAreCutAndReadingGoesOn) {
  std::string name(5000, 'n');
  Items got = items("<" + name + "><b/>", true);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "T:" + std::string(TAG_BUF_LEN - 1, 'n'));
  EXPECT_EQ(got[1], "T:b/");

  std::string text(10000, 't');
  got = items("<a>" + text + "</a>", false);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], "X:" + std::string(TAG_BUF_LEN - 1, 't'));
  EXPECT_EQ(got[2], "T:/a");

  std::string attrs(9000, 'v');
  Doc d("<a " + attrs + "><b/>");
  char small[8];
  ASSERT_FALSE(d.xp.get_tag(small, sizeof small));
  EXPECT_STREQ(d.xp.tag_buf, "a");
  EXPECT_STREQ(small, "vvvvvvv");
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_STREQ(d.xp.tag_buf, "b/");

  std::string cdata(6000, 'c');
  got = items("<![CDATA[" + cdata + "]]><z/>", true);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "X:" + std::string(TAG_BUF_LEN - 9, 'c'));
}

TEST(XmlScan, SmallCallerBuffers) {
  Doc d("<abc>hello</abc><![CDATA[xyz]]>");
  char buf[2];
  bool is_tag = false;
  ASSERT_FALSE(d.xp.get(buf, sizeof buf, is_tag, nullptr, 0));
  EXPECT_TRUE(is_tag);
  EXPECT_STREQ(buf, "a");
  ASSERT_FALSE(d.xp.get(buf, sizeof buf, is_tag, nullptr, 0));
  EXPECT_FALSE(is_tag);
  EXPECT_STREQ(buf, "h");
  ASSERT_FALSE(d.xp.get(buf, sizeof buf, is_tag, nullptr, 0));
  EXPECT_STREQ(buf, "/");
  is_tag = true;
  EXPECT_FALSE(d.xp.get(buf, sizeof buf, is_tag, nullptr,
                        0));  // CDATA unseen in 2 bytes
  EXPECT_TRUE(d.xp.get(buf, sizeof buf, is_tag, nullptr, 0));
}

TEST(XmlScan, MatchTagIsExact) {
  Doc d("</Config></config ><config/>");
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_FALSE(d.xp.match_tag("/config"));
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_TRUE(d.xp.match_tag("/config"));
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_FALSE(d.xp.match_tag("config"));
  EXPECT_TRUE(d.xp.get_tag());
}

TEST(XmlScan, StreamNulBytesAreCharactersNotTheEnd) {
  std::string doc("<a>x\0y</a><b/>", 14);
  Items got = items(doc, true);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3], "T:b/");
  // A string source ends at its NUL: the text run before it is never closed.
  EXPECT_EQ(items(doc, false), Items{"T:a"});
}

// The scanner reads a source's bytes in place and puts its position back
// after every item: the source stays usable by other readers in between.
TEST(XmlScan, SourceSharedWithOtherReaders) {
  // A read position set by hand, into a string init_buf_read never saw.
  std::string other = "<b>y</b>";
  Doc d("<a>x</a>");
  ASSERT_FALSE(d.xp.get_tag());
  d.mf.read_ptr = other.c_str() + 1;
  Items got;
  while (!d.xp.get_tag()) got.push_back(d.xp.tag_buf);
  EXPECT_EQ(got, (Items{"b>y", "/b"}));
  // The string ends at the NUL where the read position is, whatever stood
  // after it before: the text rewritten shorter under a position moved back
  // or left where it was, and a smaller heap copy (read past under ASan).
  char buf[64] = "<first>1</first><second>2</second>";
  auto read_rest = [&got](XML_PARSER& xp) {
    got.clear();
    while (!xp.get_tag()) got.push_back(xp.tag_buf);
  };
  MIOFILE mf;
  XML_PARSER xp(&mf);
  mf.init_buf_read(buf);
  read_rest(xp);
  strcpy(buf, "<x>9</x>");
  mf.read_ptr = buf;
  read_rest(xp);
  EXPECT_EQ(got, (Items{"x", "9", "/x"}));
  mf.init_buf_read(buf);
  strcpy(buf, "<y/>");
  read_rest(xp);
  EXPECT_EQ(got, Items{"y/"});
  std::unique_ptr<char[]> small(new char[9]);
  memcpy(small.get(), "<z>8</z>", 9);
  mf.read_ptr = small.get();
  read_rest(xp);
  EXPECT_EQ(got, (Items{"z", "8", "/z"}));

  // A stream read by stdio between items, and one whose first byte was
  // pushed back by ungetc (held apart from its buffer).
  Doc s("<a>x</a><c>z</c>", true);
  ASSERT_FALSE(s.xp.get_tag());
  EXPECT_EQ(fgetc(s.f), 'x');
  got.clear();
  while (!s.xp.get_tag()) got.push_back(s.xp.tag_buf);
  EXPECT_EQ(got, (Items{"/a", "c", "z", "/c"}));
  Doc u("a>x</a>", true);
  ASSERT_EQ(ungetc('<', u.f), '<');
  got.clear();
  while (!u.xp.get_tag()) got.push_back(u.xp.tag_buf);
  EXPECT_EQ(got, (Items{"a", "x", "/a"}));
}

TEST(MioFile, StringSourceEndsStickyAndUngetsInBounds) {
  MIOFILE mf;
  EXPECT_EQ(mf._getc(), -1);  // an empty source
  mf._ungetc('x');            // nothing read: nothing to push back
  EXPECT_EQ(mf._getc(), -1);
  mf.init_buf_read("\xffz");
  EXPECT_EQ(mf._getc(), 255);
  mf._ungetc(255);
  EXPECT_EQ(mf._getc(), 255);
  EXPECT_EQ(mf._getc(), 'z');
  EXPECT_EQ(mf._getc(), -1);
  EXPECT_EQ(mf._getc(), -1);
}

TEST(XmlReaders, ParseStartPassesDeclarationsAndComments) {
  Doc ok("<?xml version=\"1.0\"?>\n<!-- c -->\n<!DOCTYPE x>\n<orvex><config>");
  EXPECT_TRUE(ok.xp.parse_start("orvex"));
  EXPECT_TRUE(ok.xp.parse_start("config"));
  for (const char* bad :
       {"", "  ", "text<orvex>", "<other><orvex>", "<orvex/>", "<Orvex>",
        "<?xml", "\xEF\xBB<orvex>", "\xEF\xBB\xBF\xEF\xBB\xBF<orvex>",
        " \xEF\xBB\xBF<orvex>"}) {
    Doc d(bad);
    EXPECT_FALSE(d.xp.parse_start("orvex")) << bad;
  }
}

// Editors save a UTF-8 byte-order mark; it is passed over at the very start
// of a document only.
TEST(XmlReaders, ParseStartPassesAByteOrderMarkAtTheStartOnly) {
  Doc marked("\xEF\xBB\xBF<?xml version=\"1.0\"?><orvex><config>");
  EXPECT_TRUE(marked.xp.parse_start("orvex"));
  EXPECT_TRUE(marked.xp.parse_start("config"));
  Doc inside("<orvex>\xEF\xBB\xBF<config>");
  EXPECT_TRUE(inside.xp.parse_start("orvex"));
  EXPECT_FALSE(inside.xp.parse_start("config"));
}

TEST(XmlReaders, ParseStr) {
  struct {
    const char* doc;
    const char* value;
  } cases[] = {
      {"<k>v</k>", "v"},
      {"<k/>", ""},
      {"<k></k>", ""},
      {"<k>  a b  </k>", "a b"},
      {"<k>a &amp; b &lt;&gt;&quot;&apos;</k>", "a & b <>\"'"},
      {"<k>&#65;&#x42;&#xe9;&#x20AC;&#x1F600;</k>",
       "AB\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"<k>&#0;&#xD800;&#-5;&bogus;&amp</k>", "&#0;&#xD800;&#-5;&bogus;&amp"},
      {"<k><![CDATA[<raw>&amp;]]></k>", "<raw>&amp;"},
      {"<k>first<x>inner</x>second</k>", "first"},
      {"<k><k>nested</k></k>", "nested"},
  };
  for (const auto& c : cases) {
    Doc d(std::string(c.doc) + "<next/>");
    char buf[256] = "untouched";
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_TRUE(d.xp.parse_str("k", buf, sizeof buf)) << c.doc;
    EXPECT_STREQ(buf, c.value) << c.doc;
    ASSERT_FALSE(d.xp.get_tag()) << c.doc;
    if (strcmp(c.doc, "<k><k>nested</k></k>") == 0) {
      EXPECT_STREQ(d.xp.tag_buf, "/k");  // the outer close is left over
    } else {
      EXPECT_STREQ(d.xp.tag_buf, "next/") << c.doc;
    }
  }
}

TEST(XmlReaders, ParseStrCutsLongValues) {
  std::string value(300, 'v');
  Doc d("<k>" + value + "</k>");
  char buf[256];
  ASSERT_FALSE(d.xp.get_tag());
  ASSERT_TRUE(d.xp.parse_str("k", buf, sizeof buf));
  EXPECT_EQ(std::string(buf), value.substr(0, 255));
  // An entity never straddles the cut.
  Doc e("<k>ab&#x20AC;</k>");
  char small[5];
  ASSERT_FALSE(e.xp.get_tag());
  ASSERT_TRUE(e.xp.parse_str("k", small, sizeof small));
  EXPECT_STREQ(small, "ab");
}

TEST(XmlReaders, OtherTagsAreNotConsumed) {
  Doc d("<other>5</other>");
  ASSERT_FALSE(d.xp.get_tag());
  char buf[16] = "keep";
  int i = 9;
  double x = 9.5;
  bool b = false;
  EXPECT_FALSE(d.xp.parse_str("k", buf, sizeof buf));
  EXPECT_FALSE(d.xp.parse_int("k", i));
  EXPECT_FALSE(d.xp.parse_double("k", x));
  EXPECT_FALSE(d.xp.parse_bool("k", b));
  EXPECT_FALSE(d.xp.parse_int("othe", i));  // no prefix match
  EXPECT_FALSE(d.xp.parse_int("other/", i));
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(i, 9);
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_STREQ(d.xp.tag_buf, "5");
  // Text equal to a key name is not its tag.
  Doc t("k<x/>");
  ASSERT_FALSE(t.xp.get_tag());
  EXPECT_FALSE(t.xp.parse_int("k", i));
}

TEST(XmlReaders, ParseIntKeepsValueOnBadInput) {
  struct {
    const char* value;
    int expected;
  } cases[] = {{"42", 42},
               {"-7", -7},
               {"+3", 3},
               {" 12 ", 12},
               {"2147483647", 2147483647},
               {"-2147483648", -2147483647 - 1},
               {"2147483648", -1},
               {"99999999999999999999", -1},
               {"abc", -1},
               {"12abc", -1},
               {"1.5", -1},
               {"", -1},
               {"0x10", -1}};
  for (const auto& c : cases) {
    Doc d(std::string("<k>") + c.value + "</k><next/>");
    int v = -1;
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_TRUE(d.xp.parse_int("k", v)) << c.value;
    EXPECT_EQ(v, c.expected) << c.value;
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_STREQ(d.xp.tag_buf, "next/") << c.value;
  }
  Doc self("<k/>");
  int v = 5;
  ASSERT_FALSE(self.xp.get_tag());
  EXPECT_TRUE(self.xp.parse_int("k", v));
  EXPECT_EQ(v, 5);
}

TEST(XmlReaders, ParseDoubleKeepsValueOnBadInput) {
  struct {
    const char* value;
    double expected;
  } cases[] = {{"1.5", 1.5},  {"-0.25", -0.25}, {"1e3", 1000.0}, {"7", 7.0},
               {"1e999", -1}, {"nan", -1},      {"inf", -1},     {"1,5", -1},
               {"", -1},      {"x", -1}};
  for (const auto& c : cases) {
    Doc d(std::string("<k>") + c.value + "</k>");
    double v = -1;
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_TRUE(d.xp.parse_double("k", v)) << c.value;
    EXPECT_EQ(v, c.expected) << c.value;
  }
}

TEST(XmlReaders, ParseBoolForms) {
  struct {
    const char* doc;
    bool start, expected;
  } cases[] = {{"<k/>", false, true},         {"<k />", false, true},
               {"<k></k>", false, true},      {"<k>1</k>", false, true},
               {"<k>true</k>", false, true},  {"<k>0</k>", true, false},
               {"<k>false</k>", true, false}, {"<k>yes</k>", true, true},
               {"<k>yes</k>", false, false},  {"<k>2</k>", false, false},
               {"<k> 1 </k>", false, true}};
  for (const auto& c : cases) {
    Doc d(c.doc);
    bool v = c.start;
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_TRUE(d.xp.parse_bool("k", v)) << c.doc;
    EXPECT_EQ(v, c.expected) << c.doc;
    EXPECT_TRUE(d.xp.get_tag()) << c.doc;  // everything was consumed
  }
}

TEST(XmlReaders, ValueWithoutClosingTagConsumesTheRest) {
  Doc d("<k>5<other>x</other>");
  int v = 0;
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_TRUE(d.xp.parse_int("k", v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(d.xp.get_tag());
}

TEST(XmlReaders, SkipUnexpected) {
  Doc d("<u><u>1</u><v><u/></v>x</u><next/>");
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_EQ(d.xp.skip_unexpected(false, "test"), 0);
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_STREQ(d.xp.tag_buf, "next/");
  // Closing, self-closing and declaration tags have nothing to pass over.
  for (const char* tag : {"/u", "u/", "?xml", "!DOCTYPE", ""}) {
    Doc e("<next/>");
    EXPECT_EQ(e.xp.skip_unexpected(tag, false, "test"), 0) << tag;
    ASSERT_FALSE(e.xp.get_tag());
    EXPECT_STREQ(e.xp.tag_buf, "next/") << tag;
  }
  Doc cut("<u><x>");
  ASSERT_FALSE(cut.xp.get_tag());
  EXPECT_EQ(cut.xp.skip_unexpected(false, "test"), ERR_XML_INPUT);
}

TEST(XmlReaders, SkipUnexpectedOverlongNames) {
  // Names that fill the tag buffer are cut, the closing one a byte shorter.
  for (size_t len :
       {TAG_BUF_LEN - 2u, TAG_BUF_LEN - 1u, TAG_BUF_LEN + 0u, 5000u}) {
    std::string name(len, 'n');
    Doc d("<" + name + "><" + name + ">1</" + name + "></" + name + "><next/>");
    ASSERT_FALSE(d.xp.get_tag());
    EXPECT_EQ(d.xp.skip_unexpected(false, "test"), 0) << len;
    ASSERT_FALSE(d.xp.get_tag()) << len;
    EXPECT_STREQ(d.xp.tag_buf, "next/") << len;
  }
}

TEST(XmlReaders, SkipUnexpectedVerboseNamesTheTag) {
  Doc d("<u>1</u>");
  ASSERT_FALSE(d.xp.get_tag());
  testing::internal::CaptureStderr();
  d.xp.skip_unexpected(true, "where");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "where: unrecognized XML tag <u>\n");
}

TEST(XmlReaders, SkipUnexpectedMillionNestedElementsUsesNoStack) {
  const int depth = 1000000;
  std::string doc;
  doc.reserve(depth * 8 + 16);
  for (int i = 0; i < depth; i++) doc += "<u>";
  for (int i = 0; i < depth; i++) doc += "</u>";
  doc += "<next/>";
  Doc d(doc);
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_EQ(d.xp.skip_unexpected(false, "test"), 0);
  ASSERT_FALSE(d.xp.get_tag());
  EXPECT_STREQ(d.xp.tag_buf, "next/");
}

// Random and hostile bytes: every item is terminated inside tag_buf, both
// sources agree where the input has no NUL, and reading always ends.
TEST(XmlScan, HostileBytesStayInBounds) {
  std::mt19937 rng(12345);
  const char alphabet[] = "<>/!-[]CDATA \t\n?x=&;#\xff";
  for (int round = 0; round < 3000; round++) {
    std::string doc(rng() % 300, 0);
    for (auto& ch : doc) {
      ch = rng() % 4 ? alphabet[rng() % (sizeof alphabet - 1)]
                     : static_cast<char>(1 + rng() % 255);
    }
    Items from_string = items(doc, false, true);
    Items from_stream = items(doc, true, true);
    EXPECT_EQ(from_string, from_stream) << doc;
    for (const auto& it : from_string) EXPECT_LT(it.size(), TAG_BUF_LEN + 2u);

    // The typed readers on the same bytes.
    Doc d(doc);
    char buf[16];
    int i;
    double x;
    bool b;
    int guard = 0;
    while (!d.xp.get_tag() && guard++ < 1000) {
      ASSERT_LT(strlen(d.xp.tag_buf), static_cast<size_t>(TAG_BUF_LEN));
      if (d.xp.parse_str("x", buf, sizeof buf)) {
        ASSERT_LT(strlen(buf), sizeof buf);
      }
      d.xp.parse_int("C", i) || d.xp.parse_double("D", x) ||
          d.xp.parse_bool("A", b) || d.xp.skip_unexpected(false, "t");
    }
  }
}
