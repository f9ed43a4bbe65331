#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "log/sched_msg_log.h"

namespace {

// Captures what a log writes into a temporary stream.
struct Capture {
  FILE* f = tmpfile();
  ~Capture() {
    if (f) fclose(f);
  }
  std::string text() {
    fflush(f);
    std::string out;
    rewind(f);
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
  }
};

const char* const kInvalid = "*** internal error: invalid MessageKind ***";
const char* const kStamp =
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";

}  // namespace

TEST(SchedMsgLog, KindsWantedAtDefaultLevel) {
  SCHED_MSG_LOG log;
  EXPECT_EQ(log.debug_level, 2);
  EXPECT_EQ(log.output, stderr);
  EXPECT_TRUE(log.v_message_wanted(KIND_CRITICAL));
  EXPECT_TRUE(log.v_message_wanted(KIND_NORMAL));
  EXPECT_FALSE(log.v_message_wanted(KIND_DEBUG));
  EXPECT_TRUE(log.v_message_wanted(0));
  EXPECT_TRUE(log.v_message_wanted(-7));
  log.debug_level = -1;
  EXPECT_FALSE(log.v_message_wanted(0));
  EXPECT_TRUE(log.v_message_wanted(-1));
}

TEST(SchedMsgLog, KindPrefixes) {
  SCHED_MSG_LOG log;
  EXPECT_STREQ(log.v_format_kind(KIND_CRITICAL), "[CRITICAL]");
  ASSERT_NE(log.v_format_kind(KIND_NORMAL), nullptr);
  EXPECT_STREQ(log.v_format_kind(KIND_NORMAL), "");
  EXPECT_STREQ(log.v_format_kind(KIND_DEBUG), "[debug]");
  for (int kind : {0, 4, -1, 1000}) {
    EXPECT_STREQ(log.v_format_kind(kind), kInvalid) << kind;
  }
}

TEST(SchedMsgLog, IndentIsClampedAndRefilled) {
  SCHED_MSG_LOG log;
  EXPECT_EQ(log.indent_level, 0);
  EXPECT_STREQ(log.indent_text, "");
  struct {
    int set, level;
  } cases[] = {{-5, 0},  {39, 39}, {1000, 39}, {40, 39},
               {20, 20}, {3, 3},   {0, 0}};
  for (const auto& c : cases) {
    log.set_indent_level(c.set);
    EXPECT_EQ(log.indent_level, c.level) << c.set;
    EXPECT_EQ(std::string(log.indent_text), std::string(c.level, ' ')) << c.set;
  }
}

TEST(SchedMsgLog, WritesStampPrefixIndentAndMessage) {
  Capture cap;
  SCHED_MSG_LOG log(cap.f);
  log.printf(KIND_CRITICAL, "BAD REGEXP: %s\n", "(x");
  log.printf(KIND_NORMAL, "missing app name\n");
  log.printf(KIND_DEBUG, "not written at level 2\n");
  log.set_indent_level(4);
  log.printf(KIND_NORMAL, "n=%d\n", 7);
  log.printf(9, "odd kind\n");
  log.debug_level = 3;
  log.set_indent_level(0);
  log.printf(KIND_DEBUG, "now written\n");

  std::string s = std::string(kStamp);
  std::regex expected(s + "\\[CRITICAL\\] BAD REGEXP: \\(x\n" +  //
                      s + "missing app name\n" +                 //
                      s + "    n=7\n" +                          //
                      s + "\\[debug\\] now written\n");
  std::string out = cap.text();
  EXPECT_TRUE(std::regex_match(out, expected)) << out;
}

TEST(SchedMsgLog, KindAboveLevelIsNotWrittenEvenInvalidOnes) {
  Capture cap;
  SCHED_MSG_LOG log(cap.f);
  log.printf(0, "zero\n");
  log.printf(4, "four\n");
  std::string out = cap.text();
  EXPECT_NE(out.find(std::string(kInvalid) + " zero\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("four"), std::string::npos) << out;
}

TEST(SchedMsgLog, DestroyingTheLogLeavesTheStreamOpen) {
  Capture cap;
  {
    SCHED_MSG_LOG log(cap.f);
    log.printf(KIND_NORMAL, "first\n");
  }
  ASSERT_GE(fputs("after\n", cap.f), 0);
  std::string out = cap.text();
  EXPECT_NE(out.find("first\nafter\n"), std::string::npos) << out;
}

TEST(SchedMsgLog, GlobalLogWritesToStandardError) {
  EXPECT_EQ(log_messages.output, stderr);
  EXPECT_EQ(log_messages.debug_level, 2);
  testing::internal::CaptureStderr();
  log_messages.printf(KIND_NORMAL, "Quitting due to SIGHUP\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(
      err, std::regex(std::string(kStamp) + "Quitting due to SIGHUP\n")))
      << err;
}
