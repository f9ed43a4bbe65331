#include "daemon/dir_hier.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error_numbers.h"
#include "common/str_util.h"
#include "test_util.h"

namespace {

using orvex_test::StderrCapture;

// The bucket of `name` computed outside the library: the system's md5sum,
// digits 1..7 as hex, modulo the fan-out, in lower-case hex.
std::string oracle_bucket(const std::string& name, int fanout,
                          const std::string& scratch) {
  std::string file = scratch + "/name";
  FILE* f = fopen(file.c_str(), "wb");
  if (!f) return "?";
  fwrite(name.data(), 1, name.size(), f);
  fclose(f);
  std::string cmd = "md5sum < '" + file + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "?";
  char digest[64] = {};
  if (!fgets(digest, sizeof digest, p)) digest[0] = 0;
  pclose(p);
  if (strlen(digest) < 32) return "?";
  long n = strtol(std::string(digest + 1, 7).c_str(), nullptr, 16);
  char bucket[16];
  snprintf(bucket, sizeof bucket, "%lx", n % fanout);
  return bucket;
}

class DirHier : public ::testing::Test {
 protected:
  orvex_test::TempDir temp{"orvex_dir_hier"};
  std::string root = temp.path();

  bool is_dir(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
  }
};

}  // namespace

TEST_F(DirHier, BucketsMatchMd5sum) {
  // Every name a tree can hold keeps its place, dots and backslashes too.
  const std::vector<std::string> names = {"abc",
                                          "result_123_0",
                                          "wu name with spaces",
                                          "ünïcödé.dat",
                                          std::string(1000, 'x'),
                                          "0",
                                          "...",
                                          "..a",
                                          ".htaccess",
                                          "a..b",
                                          "a\\b",
                                          "-x"};
  const int fanouts[] = {1, 7, 16, 1000, 1024, 4096, 65536, 0x7fffffff};
  for (const std::string& name : names) {
    for (int fanout : fanouts) {
      std::string bucket = oracle_bucket(name, fanout, root);
      ASSERT_NE(bucket, "?");
      char path[DIR_HIER_PATH_LEN], url[DIR_HIER_PATH_LEN];
      ASSERT_EQ(dir_hier_path(name.c_str(), "/R", fanout, path, false), 0);
      ASSERT_EQ(dir_hier_url(name.c_str(), "http://h/U", fanout, url), 0);
      EXPECT_EQ(std::string(path), "/R/" + bucket + "/" + name)
          << name << " " << fanout;
      EXPECT_EQ(std::string(url), "http://h/U/" + bucket + "/" + name)
          << name << " " << fanout;
    }
  }
}

TEST_F(DirHier, KnownBucketsOfAbc) {
  // md5("abc") = 900150983cd24fb0d6963f7d28e17f72; 0x0015098 = 86168.
  struct {
    int fanout;
    const char* path;
  } cases[] = {{1024, "R/98/abc"},
               {16, "R/8/abc"},
               {1, "R/0/abc"},
               {86169, "R/15098/abc"},
               {0, "R/abc"}};
  for (const auto& c : cases) {
    char path[DIR_HIER_PATH_LEN];
    EXPECT_EQ(dir_hier_path("abc", "R", c.fanout, path), 0);
    EXPECT_STREQ(path, c.path);
  }
  char url[DIR_HIER_PATH_LEN];
  EXPECT_EQ(dir_hier_url("abc", "U", 0, url), 0);
  EXPECT_STREQ(url, "U/abc");
}

TEST_F(DirHier, CreatesBucketOnDemand) {
  char path[DIR_HIER_PATH_LEN];
  StderrCapture err;
  // Flat tree: nothing is created even when asked.
  ASSERT_EQ(dir_hier_path("abc", root.c_str(), 0, path, true), 0);
  EXPECT_EQ(std::string(path), root + "/abc");
  // Without the flag the bucket is named but not made.
  ASSERT_EQ(dir_hier_path("abc", root.c_str(), 1024, path, false), 0);
  EXPECT_FALSE(is_dir(root + "/98"));
  ASSERT_EQ(dir_hier_path("abc", root.c_str(), 1024, path, true), 0);
  EXPECT_EQ(std::string(path), root + "/98/abc");
  EXPECT_TRUE(is_dir(root + "/98"));
  // An existing bucket is fine, silently.
  ASSERT_EQ(dir_hier_path("abc", root.c_str(), 1024, path, true), 0);
  EXPECT_EQ(std::string(path), root + "/98/abc");
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(is_dir(root + "/abc"));
}

TEST_F(DirHier, MissingRootIsReported) {
  std::string missing = root + "/none";
  char path[DIR_HIER_PATH_LEN];
  strcpy(path, "untouched");
  StderrCapture err;
  EXPECT_EQ(dir_hier_path("abc", missing.c_str(), 16, path, true),
            ERR_DIR_CREATE);
  EXPECT_EQ(err.text(), "orvex_mkdir(" + missing + "/8): " + orvexerror(-1) +
                            ": errno " + std::to_string(ENOENT) + "\n");
  EXPECT_STREQ(path, "untouched");
}

// Names come from hosts: one that would leave its bucket is refused with
// its own code and one log line (quoted, so it cannot forge a line), never
// turned into a path, for the path and the URL alike.
TEST_F(DirHier, NamesThatLeaveTheTreeAreRefused) {
  for (const char* name : {"", ".", "..", "a/b", "/etc/passwd",
                           "../../etc/passwd", "x/", "ok\n2026-01-01 x/y"}) {
    for (int fanout : {0, 1024}) {
      char path[DIR_HIER_PATH_LEN] = "old", url[DIR_HIER_PATH_LEN] = "old";
      orvex_test::LogCapture log;
      EXPECT_EQ(dir_hier_path(name, root.c_str(), fanout, path, true),
                ERR_NAME_LEAVES_TREE)
          << name;
      EXPECT_EQ(dir_hier_url(name, "http://h/U", fanout, url),
                ERR_NAME_LEAVES_TREE);
      EXPECT_STREQ(path, "");
      EXPECT_STREQ(url, "");
      std::string text = log.text();
      EXPECT_EQ(orvex_test::count_of(text, "\n"), 2) << text;
      EXPECT_NE(text.find("[CRITICAL] dir_hier_path: refused the file name " +
                          quoted_text(name)),
                std::string::npos)
          << text;
    }
  }
  std::string ls = "test -z \"$(ls -A '" + root + "')\"";
  EXPECT_EQ(system(ls.c_str()), 0);  // nothing made
}

TEST_F(DirHier, TooLongIsRefusedNeverCut) {
  // Result buffers of exactly the documented size, so the sanitizer build
  // catches any write past them.
  std::vector<char> path(DIR_HIER_PATH_LEN), url(DIR_HIER_PATH_LEN);
  std::string name = "abc";  // bucket "8" with fan-out 16
  // root + "/8/abc" is 4095 bytes: the longest that fits.
  std::string fit_root =
      root + "/" + std::string(4095 - 6 - root.size() - 1, 'r');
  ASSERT_EQ(fit_root.size() + 6, 4095u);
  EXPECT_EQ(dir_hier_path(name.c_str(), fit_root.c_str(), 16, path.data()), 0);
  EXPECT_EQ(strlen(path.data()), 4095u);
  EXPECT_EQ(dir_hier_url(name.c_str(), fit_root.c_str(), 16, url.data()), 0);
  EXPECT_EQ(strlen(url.data()), 4095u);

  struct Case {
    std::string name, root;
    int fanout;
    bool create;
  } cases[] = {
      {"abcd", fit_root, 16, false},              // one byte too many
      {"abc", fit_root + "r", 16, true},          // root one byte longer
      {"abc", std::string(5000, 'r'), 16, true},  // root alone too long
      {std::string(5000, 'n'), root, 16, true},   // name alone too long
      {std::string(4094, 'n'), "R", 0, false},    // flat: "R/" + 4094 + NUL
      {std::string(1 << 20, 'n'), root, 1024, true},
  };
  for (const Case& c : cases) {
    strcpy(path.data(), "old");
    strcpy(url.data(), "old");
    EXPECT_EQ(dir_hier_path(c.name.c_str(), c.root.c_str(), c.fanout,
                            path.data(), c.create),
              ERR_DIR_CREATE)
        << c.name.size() << " " << c.root.size();
    EXPECT_STREQ(path.data(), "");
    EXPECT_EQ(
        dir_hier_url(c.name.c_str(), c.root.c_str(), c.fanout, url.data()),
        ERR_DIR_CREATE);
    EXPECT_STREQ(url.data(), "");
  }
  // A refused name leaves no bucket behind.
  EXPECT_FALSE(is_dir(root + "/8"));
  std::string ls = "test -z \"$(ls -A '" + root + "')\"";
  EXPECT_EQ(system(ls.c_str()), 0);
}

// Forks `n` children that wait at a common start line (a pipe closed by the
// parent), then each run `work` and exit with its result (0 success).
// Returns how many children exited with 0.
static int fork_racers_and_count_successes(int n, int (*work)(const char*),
                                           const char* arg) {
  int start[2];
  if (pipe(start)) return -1;
  std::vector<pid_t> pids;
  for (int i = 0; i < n; i++) {
    pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      char c;
      while (read(start[0], &c, 1) > 0) {
      }
      _exit(work(arg) == 0 ? 0 : 1);
    }
    if (pid > 0) pids.push_back(pid);
  }
  close(start[0]);
  close(start[1]);  // all start together
  int ok = 0;
  for (pid_t pid : pids) {
    int status;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
      ok++;
    }
  }
  return ok;
}

static int make_abc_bucket(const char* tree) {
  char path[DIR_HIER_PATH_LEN];
  return dir_hier_path("abc", tree, 16, path, true);
}

TEST_F(DirHier, ManyProcessesCreateOneBucket) {
  const int racers = 12;
  for (int round = 0; round < 10; round++) {
    std::string tree = root + "/t" + std::to_string(round);
    ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
    StderrCapture err;
    EXPECT_EQ(
        fork_racers_and_count_successes(racers, make_abc_bucket, tree.c_str()),
        racers);
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(is_dir(tree + "/8"));
  }
}
