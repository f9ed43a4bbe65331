// A real project directory for tests that find it as the server programs
// do: "config.xml" and "cgi-bin" in a fresh temporary directory, named by
// ORVEX_PROJECT_DIR while the object lives.
#ifndef ORVEX_TESTS_TEST_PROJECT_H
#define ORVEX_TESTS_TEST_PROJECT_H

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "settings/paramdeck.h"
#include "test_util.h"

namespace orvex_test {

class TempProject {
 public:
  TempProject(const std::string& prefix, const std::string& config_xml)
      : dir_(prefix) {
    write_file(path() + "/config.xml", config_xml);
    EXPECT_EQ(mkdir((path() + "/cgi-bin").c_str(), 0755), 0);
    setenv("ORVEX_PROJECT_DIR", path().c_str(), 1);
    config.project_dir[0] = 0;  // found again from the environment
  }
  ~TempProject() {
    unsetenv("ORVEX_PROJECT_DIR");
    config.project_dir[0] = 0;
  }
  TempProject(const TempProject&) = delete;
  TempProject& operator=(const TempProject&) = delete;

  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace orvex_test

#endif
