#include "common/str_util.h"

#include <gtest/gtest.h>

#include <utility>

#include "common/error_numbers.h"

TEST(Strlcpy, CopiesBoundedAndAlwaysTerminates) {
  char buf[6];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(strlcpy(buf, "abc", sizeof buf), 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(strlcpy(buf, "abcdefgh", sizeof buf), 8u);  // source length
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(strlcpy(buf, "", sizeof buf), 0u);
  EXPECT_STREQ(buf, "");
  buf[0] = 'q';
  strlcpy(buf, "abc", 0);  // size 0 writes nothing
  EXPECT_EQ(buf[0], 'q');
  strlcpy(buf, "abc", 1);
  EXPECT_STREQ(buf, "");
}

TEST(StripWhitespace, RemovesLeadingAndTrailingOnly) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},
               {"   ", ""},
               {"x", "x"},
               {"  x y  ", "x y"},
               {"\t\r\n\v\fa b\n", "a b"},
               {"a", "a"},
               {"a  ", "a"},
               {"  a", "a"}};
  for (const auto& c : cases) {
    char buf[64];
    strcpy(buf, c.in);
    strip_whitespace(buf);
    EXPECT_STREQ(buf, c.out) << "input '" << c.in << "'";
  }
}

// The test suite of RFC 1321.
TEST(Md5String, MatchesRfc1321Suite) {
  struct {
    const char* in;
    const char* hex;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.in);
    int len = static_cast<int>(strlen(c.in));
    EXPECT_EQ(md5_string(bytes, len), c.hex) << c.in;
    char hex[MD5_HEX_LEN + 1];
    md5_string(bytes, len, hex);
    EXPECT_STREQ(hex, c.hex) << c.in;
    unsigned char digest[16];
    md5_digest(bytes, len, digest);
    char from_digest[MD5_HEX_LEN + 1];
    for (int i = 0; i < 16; i++)
      snprintf(from_digest + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(from_digest, c.hex) << c.in;
  }
}

TEST(Md5String, HashesEmbeddedNulBytesByLength) {
  const unsigned char two_nuls[2] = {0, 0};
  EXPECT_EQ(md5_string(two_nuls, 2), "c4103f122d27677c9db144cae1394a66");
}

TEST(ErrorNumbers, CodesAndTexts) {
  EXPECT_EQ(ERR_FILE_OPEN, -108);
  EXPECT_EQ(ERR_DIR_OPEN, -111);
  EXPECT_EQ(ERR_XML_INPUT, -112);
  EXPECT_EQ(ERR_DB_NO_ROW, -136);
  EXPECT_EQ(ERR_DB_CONNECT, -138);
  EXPECT_EQ(ERR_DB_INIT, -159);
  EXPECT_EQ(ERR_DIR_CREATE, -192);
  EXPECT_STREQ(orvexerror(ERR_DIR_CREATE), "directory create failed");
  EXPECT_STREQ(orvexerror(12345), "unknown error");
  // Every code a call returns has its text: -1, the client library's
  // numbers and the server's, which do_query passes up.
  const std::pair<int, const char*> texts[] = {
      {-1, "failed (see errno or the call's own report)"},
      {1045, "server error 1045: access denied (user, password or host)"},
      {1054, "server error 1054: unknown column"},
      {2003, "client error 2003: cannot connect to the server on that host"},
      {2013, "client error 2013: lost connection to the server during a query"},
      {2999, "a client library error (the connection's error text says which)"},
      {4000,
       "a database server error (the connection's error text says which)"},
      {ERR_NAME_LEAVES_TREE,
       "file name would leave its tree (a slash, \".\", \"..\" or empty)"},
      {-2, "unknown error"}};
  for (const auto& t : texts) EXPECT_STREQ(orvexerror(t.first), t.second);
}
