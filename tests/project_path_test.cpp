#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/error_numbers.h"
#include "settings/paramdeck.h"
#include "test_util.h"

namespace {

// What a child process did: how it ended and what it wrote.
struct ChildResult {
  bool exited = false;
  int status = -1;  // exit status when exited
  std::string out;  // standard output
  std::string err;  // standard error
};

std::string read_all(FILE* f) {
  rewind(f);
  std::string out;
  for (int c; (c = fgetc(f)) != EOF;) out += static_cast<char>(c);
  return out;
}

// Runs `body` in a forked child with its standard output and error
// captured; the child exits with body's result unless body ends it first
// (project_path's fatal exits). The parent's directory, environment and
// `config` stay untouched.
ChildResult run_in_forked_child(const std::function<int()>& body) {
  ChildResult r;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    int status = body();
    fflush(stdout);
    fflush(stderr);
    _exit(status);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    r.exited = true;
    r.status = WEXITSTATUS(status);
  }
  r.out = read_all(out);
  r.err = read_all(err);
  fclose(out);
  fclose(err);
  return r;
}

const char* const NOT_PROJECT_ENV =
    "ORVEX_PROJECT_DIR env var exists but is not a project dir\n";
const char* const NOT_PROJECT_CWD =
    "Not in a project directory or subdirectory\n";

// A temporary tree:
//   proj/config.xml, proj/cgi-bin/, proj/a/b/     a project
//   half/config.xml                               no cgi-bin
//   dirconf/config.xml/, dirconf/cgi-bin/         settings "file" is a dir
//   links/config.xml -> ../proj/config.xml, links/cgi-bin -> ../proj/cgi-bin
//   plain/                                        nothing
class ProjectPath : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d :
         {"proj", "proj/cgi-bin", "proj/a", "proj/a/b", "half", "dirconf",
          "dirconf/config.xml", "dirconf/cgi-bin", "links", "plain"}) {
      ASSERT_EQ(mkdir((root + "/" + d).c_str(), 0700), 0) << d;
    }
    write(root + "/proj/config.xml",
          "<orvex><config><db_name>proj</db_name></config></orvex>\n");
    write(root + "/half/config.xml", "<orvex><config></config></orvex>\n");
    ASSERT_EQ(
        symlink("../proj/config.xml", (root + "/links/config.xml").c_str()), 0);
    ASSERT_EQ(symlink("../proj/cgi-bin", (root + "/links/cgi-bin").c_str()), 0);
  }
  static void write(const std::string& path, const std::string& text) {
    orvex_test::write_file(path, text);
  }
  // In a child: go to `cwd`, set or unset the variable, print the path of
  // `fmt` and the project directory found.
  ChildResult search(const std::string& cwd, const char* env,
                     const char* fmt = "config.xml") {
    return run_in_forked_child([&] {
      if (chdir(cwd.c_str())) return 99;
      if (env) {
        setenv("ORVEX_PROJECT_DIR", env, 1);
      } else {
        unsetenv("ORVEX_PROJECT_DIR");
      }
      PARAMDECK p;
      const char* path = p.project_path("%s", fmt);
      printf("%s|%s", path, p.project_dir);
      return 0;
    });
  }
  orvex_test::TempDir temp{"orvex_project_path"};
  std::string root = temp.path();
};

}  // namespace

TEST_F(ProjectPath, FindsTheDirectory) {
  std::string proj = root + "/proj";
  struct Case {
    std::string cwd;
    const char* env;
    const char* out;  // "" for an exit
    const char* err;
  } cases[] = {
      {proj, nullptr, "./config.xml|.", ""},
      {proj + "/cgi-bin", nullptr, "../config.xml|..", ""},
      {proj + "/a", nullptr, "../config.xml|..", ""},
      {root + "/links", nullptr, "./config.xml|.", ""},  // symlinks count
      // No climbing above the parent.
      {proj + "/a/b", nullptr, "", NOT_PROJECT_CWD},
      {root + "/half", nullptr, "", NOT_PROJECT_CWD},
      {root + "/dirconf", nullptr, "", NOT_PROJECT_CWD},
      {root + "/plain", nullptr, "", NOT_PROJECT_CWD},
      // The variable wins over the current directory, good or bad.
      {root + "/plain", "../proj", "../proj/config.xml|../proj", ""},
      {proj, "../half", "", NOT_PROJECT_ENV},
      {proj, "", "", NOT_PROJECT_ENV},
      {proj, "nonexistent", "", NOT_PROJECT_ENV},
  };
  for (const Case& c : cases) {
    ChildResult r = search(c.cwd, c.env);
    ASSERT_TRUE(r.exited) << c.cwd;
    EXPECT_EQ(r.status, *c.out ? 0 : 1) << c.cwd;
    EXPECT_EQ(r.out, c.out) << c.cwd;
    EXPECT_EQ(r.err, c.err) << c.cwd;  // byte for byte
  }
}

TEST_F(ProjectPath, LongDirectoryNames) {
  // A project whose absolute name is 300 bytes long: project_dir keeps the
  // first 255, so the path built from it is cut the same way.
  std::string deep = root + "/proj/" + std::string(100, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  std::string longer = deep + "/" + std::string(300 - deep.size() - 1, 'e');
  ASSERT_EQ(longer.size(), 300u);
  ASSERT_EQ(mkdir(longer.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((longer + "/cgi-bin").c_str(), 0700), 0);
  write(longer + "/config.xml", "<orvex><config></config></orvex>");
  ChildResult r = search(root + "/plain", longer.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            longer.substr(0, 255) + "/config.xml|" + longer.substr(0, 255));

  // Too long for the 1024-byte test paths: not a project directory, even
  // though the marks are there.
  std::string huge = longer;
  while (huge.size() < 1100) {
    huge += "/" + std::string(200, 'h');
    ASSERT_EQ(mkdir(huge.c_str(), 0700), 0);
  }
  ASSERT_EQ(mkdir((huge + "/cgi-bin").c_str(), 0700), 0);
  write(huge + "/config.xml", "<orvex><config></config></orvex>");
  r = search(root + "/plain", huge.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, NOT_PROJECT_ENV);
}

TEST(ProjectPathBuffer, FormatsCutsAndOverwrites) {
  ChildResult r = run_in_forked_child([] {
    setenv("ORVEX_PROJECT_DIR", "/nonexistent", 1);  // must not be consulted
    PARAMDECK p;
    strcpy(p.project_dir, "/srv/proj");
    const char* first = p.project_path("config.xml");
    printf("%s\n", first);
    const char* second = p.project_path("log_%s", "host1");
    printf("%s %s %d\n", second, first, first == second);
    // An argument that is an earlier result is read before it is replaced.
    printf("%s\n", p.project_path("x/%s", p.project_path("y")));
    // Longer than the buffer: cut to 4095 bytes and terminated.
    std::string tail(5000, 't');
    const char* cut = p.project_path("%s", tail.c_str());
    printf("%zu %d\n", strlen(cut), memcmp(cut, "/srv/proj/ttt", 13));
    return 0;
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "/srv/proj/config.xml\n"
            "/srv/proj/log_host1 /srv/proj/log_host1 1\n"
            "/srv/proj/x//srv/proj/y\n"
            "4095 0\n");
}

TEST_F(ProjectPath, ParseFileFindsTheProject) {
  write(root + "/proj/config_aux.xml",
        "<config><max_jobs_in_progress><project><cpu_limit><jobs>3</jobs>"
        "</cpu_limit></project></max_jobs_in_progress></config>");
  ChildResult r = run_in_forked_child([&] {
    if (chdir((root + "/proj/cgi-bin").c_str())) return 99;
    unsetenv("ORVEX_PROJECT_DIR");
    int retval = config.parse_file(nullptr);
    // The load empties project_dir again; the next path searches anew.
    printf("%d %s [%s] %d ", retval, config.db_name, config.project_dir,
           config.max_jobs_in_progress.project_limit.cpu_limit.jobs);
    printf("%s [%s]", config.project_path("stop_daemons"), config.project_dir);
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0 proj [] 3 ../stop_daemons [..]");

  r = run_in_forked_child([&] {
    if (chdir((root + "/plain").c_str())) return 99;
    unsetenv("ORVEX_PROJECT_DIR");
    config.parse_file("");
    return 0;
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, NOT_PROJECT_CWD);
}

TEST_F(ProjectPath, DownloadAndUploadPaths) {
  PARAMDECK p;
  std::string dl = root + "/plain", ul = root + "/half";
  strcpy(p.download_dir, dl.c_str());
  strcpy(p.upload_dir, ul.c_str());
  char path[PROJECT_PATH_LEN];
  p.uldl_dir_fanout = 0;
  EXPECT_EQ(p.download_path("abc", path), 0);
  EXPECT_EQ(std::string(path), dl + "/abc");
  struct stat sb;
  EXPECT_NE(stat((dl + "/abc").c_str(), &sb), 0);  // nothing created

  p.uldl_dir_fanout = 1024;
  EXPECT_EQ(p.download_path("abc", path), 0);
  EXPECT_EQ(std::string(path), dl + "/98/abc");
  EXPECT_EQ(stat((dl + "/98").c_str(), &sb), 0);
  EXPECT_EQ(p.upload_path("abc", path), 0);
  EXPECT_EQ(std::string(path), ul + "/98/abc");
  EXPECT_EQ(stat((ul + "/98").c_str(), &sb), 0);

  strcpy(p.upload_dir, (root + "/none").c_str());
  ChildResult r = run_in_forked_child([&] {
    char out[PROJECT_PATH_LEN] = "kept";
    printf("%d %s", p.upload_path("abc", out), out);
    return 0;
  });
  EXPECT_EQ(r.out, std::to_string(ERR_DIR_CREATE) + " kept");
  EXPECT_NE(r.err.find("orvex_mkdir(" + root + "/none/98): "),
            std::string::npos);
}
