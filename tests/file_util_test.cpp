#include "common/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_util.h"

class FileUtil : public ::testing::Test {
 protected:
  void SetUp() override { orvex_test::write_file(file, ""); }
  orvex_test::TempDir temp{"orvex_file_util"};
  std::string dir = temp.path(), file = dir + "/file";
};

TEST_F(FileUtil, MkdirCreatesOneLevelAndReportsExisting) {
  std::string sub = dir + "/sub";
  EXPECT_EQ(orvex_mkdir(sub.c_str()), 0);
  EXPECT_TRUE(is_dir_follow_symlinks(sub.c_str()));
  errno = 0;
  EXPECT_NE(orvex_mkdir(sub.c_str()), 0);
  EXPECT_EQ(errno, EEXIST);
  std::string deep = dir + "/a/b";
  errno = 0;
  EXPECT_NE(orvex_mkdir(deep.c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileUtil, KindsFollowSymbolicLinks) {
  std::string to_file = dir + "/to_file", to_dir = dir + "/to_dir",
              dangling = dir + "/dangling";
  ASSERT_EQ(symlink(file.c_str(), to_file.c_str()), 0);
  ASSERT_EQ(symlink(dir.c_str(), to_dir.c_str()), 0);
  ASSERT_EQ(symlink((dir + "/none").c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(is_file_follow_symlinks(file.c_str()));
  EXPECT_TRUE(is_file_follow_symlinks(to_file.c_str()));
  EXPECT_FALSE(is_file_follow_symlinks(dir.c_str()));
  EXPECT_FALSE(is_file_follow_symlinks(to_dir.c_str()));
  EXPECT_FALSE(is_file_follow_symlinks(dangling.c_str()));

  EXPECT_TRUE(is_dir_follow_symlinks(dir.c_str()));
  EXPECT_TRUE(is_dir_follow_symlinks(to_dir.c_str()));
  EXPECT_FALSE(is_dir_follow_symlinks(file.c_str()));
  EXPECT_FALSE(is_dir_follow_symlinks(to_file.c_str()));

  EXPECT_TRUE(orvex_file_exists(file.c_str()));
  EXPECT_TRUE(orvex_file_exists(dir.c_str()));
  EXPECT_FALSE(orvex_file_exists((dir + "/none").c_str()));
}
