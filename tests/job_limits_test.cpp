#include "limits/job_limits.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/error_numbers.h"
#include "log/sched_msg_log.h"
#include "test_util.h"

namespace {

using orvex_test::LogCapture;

std::string describe(const RSC_JOB_LIMIT& r) {
  return std::to_string(r.jobs) + (r.per_proc ? "/proc" : "") +
         (r.aux_a || r.aux_b ? "!aux" : "");
}

std::string describe(const JOB_LIMIT& l) {
  return std::string(l.app_name) + "(" + describe(l.total_limit) + " " +
         describe(l.cpu_limit) + " " + describe(l.gpu_limit) + ")";
}

std::string describe(const JOB_LIMITS& ls) {
  std::string out = describe(ls.project_limit);
  for (const JOB_LIMIT& l : ls.app_limits) out += " " + describe(l);
  return out;
}

// Parses `body` as the content of a block ended by `end_tag`, followed by
// "<after/>" so that the test sees where the parser stopped.
template <typename T>
int parse_block(T& record, const std::string& body, const char* end_tag,
                std::string* next = nullptr) {
  MIOFILE mf;
  XML_PARSER xp(&mf);
  std::string text = body + "<after/>";
  mf.init_buf_read(text.c_str());
  int retval = record.parse(xp, end_tag);
  if (next) *next = xp.get_tag() ? "(end)" : xp.tag_buf;
  return retval;
}

}  // namespace

TEST(JobLimits, ConstructedEmpty) {
  JOB_LIMITS ls;
  EXPECT_EQ(describe(ls), "(0 0 0)");
}

TEST(JobLimits, ResourceBlocks) {
  struct Case {
    const char* body;
    int before_jobs;
    bool before_per_proc;
    int result;
    const char* expected;
  } cases[] = {
      {"</cpu_limit>", 7, true, 0, "7"},  // empty block: per_proc reset only
      {"<jobs>4</jobs><per_proc/></cpu_limit>", 0, false, 0, "4/proc"},
      {"<jobs>4</jobs></cpu_limit>", 4, true, 0, "4"},
      {"<per_proc>1</per_proc></cpu_limit>", 9, false, 0, "9/proc"},
      {"<per_proc>true</per_proc><per_proc>0</per_proc></cpu_limit>", 1, false,
       0, "1"},
      {"<jobs>x12</jobs></cpu_limit>", 3, false, 0, "3"},  // no number
      {"<jobs>99999999999</jobs></cpu_limit>", 3, false, 0, "3"},
      {"<jobs>-2</jobs></cpu_limit>", 3, false, 0, "-2"},
      {"stray words <wrap><jobs>6</jobs></wrap></cpu_limit>", 0, false, 0,
       "6"},  // a known tag inside a foreign element is still read
      {"<jobs>5</jobs>", 0, false, ERR_XML_INPUT, "5"},
      {"<jobs>5", 0, true, ERR_XML_INPUT, "5"},  // stored before the end
      {"", 1, true, ERR_XML_INPUT, "1"},
  };
  for (const Case& c : cases) {
    RSC_JOB_LIMIT r;
    r.jobs = c.before_jobs;
    r.per_proc = c.before_per_proc;
    std::string next;
    EXPECT_EQ(parse_block(r, c.body, "/cpu_limit", &next), c.result) << c.body;
    EXPECT_EQ(describe(r), c.expected) << c.body;
    if (c.result == 0) {
      EXPECT_EQ(next, "after/") << c.body;
    }
  }
}

TEST(JobLimits, LimitBlocks) {
  struct Case {
    const char* body;
    int result;
    const char* expected;
  } cases[] = {
      {"</app>", 0, "(0 0 0)"},
      {"<app_name>alpha</app_name><gpu_limit><jobs>1</jobs></gpu_limit></app>",
       0, "alpha(0 0 1)"},
      {"<total_limit><jobs>20</jobs></total_limit>"
       "<cpu_limit><jobs>3</jobs><per_proc/></cpu_limit>"
       "<gpu_limit><jobs>2</jobs></gpu_limit><app_name>b</app_name></app>",
       0, "b(20 3/proc 2)"},
      // Caps outside a resource block are not caps.
      {"<jobs>5</jobs><per_proc/><app_name>c</app_name></app>", 0, "c(0 0 0)"},
      // A self-closing resource tag is no block.
      {"<cpu_limit/><app_name>d</app_name></app>", 0, "d(0 0 0)"},
      {"<app_name>&lt;x&gt;</app_name></app>", 0, "<x>(0 0 0)"},
      {"<cpu_limit><jobs>4</jobs>", ERR_XML_INPUT, "(0 4 0)"},
      // The resource block reads on past "/app", so the input ends first.
      {"<cpu_limit><jobs>4</jobs></app>", ERR_XML_INPUT, "(0 4 0)"},
  };
  for (const Case& c : cases) {
    JOB_LIMIT l;
    EXPECT_EQ(parse_block(l, c.body, "/app"), c.result) << c.body;
    EXPECT_EQ(describe(l), c.expected) << c.body;
  }
  JOB_LIMIT l;
  std::string name(300, 'n');
  EXPECT_EQ(parse_block(l, "<app_name>" + name + "</app_name></app>", "/app"),
            0);
  EXPECT_EQ(std::string(l.app_name), name.substr(0, 255));
}

TEST(JobLimits, WholeBlocks) {
  struct Case {
    const char* body;
    int result;
    const char* expected;
    int missing_name_lines;
  } cases[] = {
      {"</max_jobs_in_progress>", 0, "(0 0 0)", 0},
      {"<project><cpu_limit><jobs>8</jobs><per_proc/></cpu_limit>"
       "<gpu_limit><jobs>2</jobs></gpu_limit></project>"
       "<app><app_name>alpha</app_name><total_limit><jobs>20</jobs>"
       "</total_limit></app></max_jobs_in_progress>",
       0, "(0 8/proc 2) alpha(20 0 0)", 0},
      {"<app><app_name>a</app_name></app><app><app_name>a</app_name>"
       "<cpu_limit><jobs>1</jobs></cpu_limit></app></max_jobs_in_progress>",
       0, "(0 0 0) a(0 0 0) a(0 1 0)", 0},
      {"<app><cpu_limit><jobs>1</jobs></cpu_limit></app>"
       "<app><app_name></app_name></app></max_jobs_in_progress>",
       0, "(0 0 0)", 2},
      // Later project blocks overwrite field by field.
      {"<project><total_limit><jobs>5</jobs></total_limit></project>"
       "<project><gpu_limit><jobs>1</jobs></gpu_limit>"
       "<app_name>p</app_name></project></max_jobs_in_progress>",
       0, "p(5 0 1)", 0},
      // A cut-off app block with a name is kept, then the end is reported.
      {"<app><app_name>z</app_name><cpu_li", ERR_XML_INPUT, "(0 0 0) z(0 0 0)",
       0},
      {"<app><app_name>z</app_name><cpu_limit><jobs>4</jobs>", ERR_XML_INPUT,
       "(0 0 0) z(0 4 0)", 0},
      {"<project><cpu_limit><jobs>3</jobs>", ERR_XML_INPUT, "(0 3 0)", 0},
      {"<app>", ERR_XML_INPUT, "(0 0 0)", 1},
  };
  for (const Case& c : cases) {
    LogCapture log;
    JOB_LIMITS ls;
    EXPECT_EQ(parse_block(ls, c.body, "/max_jobs_in_progress"), c.result)
        << c.body;
    EXPECT_EQ(describe(ls), c.expected) << c.body;
    EXPECT_EQ(log.count("missing app name\n"), c.missing_name_lines) << c.body;
  }
}

TEST(JobLimits, AppendsToEarlierContent) {
  JOB_LIMITS ls;
  ls.project_limit.cpu_limit.jobs = 4;
  ls.project_limit.cpu_limit.per_proc = true;
  ASSERT_EQ(parse_block(
                ls, "<app><app_name>a</app_name></app></max_jobs_in_progress>",
                "/max_jobs_in_progress"),
            0);
  ASSERT_EQ(parse_block(ls,
                        "<project><cpu_limit></cpu_limit></project>"
                        "<app><app_name>b</app_name></app>"
                        "</max_jobs_in_progress>",
                        "/max_jobs_in_progress"),
            0);
  // The cpu block keeps jobs but sets per_proc back to false.
  EXPECT_EQ(describe(ls), "(0 4 0) a(0 0 0) b(0 0 0)");
}

TEST(JobLimits, HostileInputNeverOverruns) {
  // Deep foreign nesting is read item by item: no recursion, no crash.
  std::string deep;
  for (int i = 0; i < 200000; i++) deep += "<project><app>";
  JOB_LIMITS ls;
  LogCapture log;
  EXPECT_EQ(parse_block(ls, deep, "/max_jobs_in_progress"), ERR_XML_INPUT);

  std::string huge = "<app><app_name>" + std::string(1 << 20, 'q') +
                     "</app_name><cpu_limit><jobs>" + std::string(5000, '7') +
                     "</jobs></cpu_limit></app></max_jobs_in_progress>";
  JOB_LIMITS big;
  EXPECT_EQ(parse_block(big, huge, "/max_jobs_in_progress"), 0);
  ASSERT_EQ(big.app_limits.size(), 1u);
  EXPECT_EQ(strlen(big.app_limits[0].app_name), 255u);
  EXPECT_EQ(big.app_limits[0].cpu_limit.jobs, 0);
}
