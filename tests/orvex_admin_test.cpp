// orvex-admin run as an operator runs it: on real project directories made
// in a temporary directory, checking what it prints and its exit status.
// Built twice: the plain tests, and with ORVEX_ADMIN_DB_TESTS the db
// subcommands against the private test server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/str_util.h"
#include "daemon/daemon_control.h"
#include "database/server_health.h"
#include "orvex/version.h"
#include "settings/paramdeck_keys.h"
#include "test_util.h"
#ifdef ORVEX_ADMIN_DB_TESTS
#include "db_schema.h"
#include "test_db.h"
#endif

namespace {

using orvex_test::read_file;

namespace fs = std::filesystem;

struct AdminRun {
  int status = -1;  // exit status, -1 when it did not exit
  std::string out, err;
};

// Runs orvex-admin with args in directory cwd, with ORVEX_PROJECT_DIR set
// to env_project or removed when it is null. Standard output goes to
// stdout_to when given ("-" closes it), else to a file read into out.
AdminRun admin(const std::vector<std::string>& args,
               const std::string& cwd = ".", const char* env_project = nullptr,
               const char* stdout_to = nullptr) {
  AdminRun r;
  char out_path[] = "/tmp/orvex-admin-out-XXXXXX";
  char err_path[] = "/tmp/orvex-admin-err-XXXXXX";
  int out = mkstemp(out_path), err = mkstemp(err_path);
  if (out < 0 || err < 0) {
    ADD_FAILURE() << "no temporary files";
    return r;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str())) _exit(126);
    if (env_project) {
      setenv("ORVEX_PROJECT_DIR", env_project, 1);
    } else {
      unsetenv("ORVEX_PROJECT_DIR");
    }
    dup2(out, 1);
    dup2(err, 2);
    if (stdout_to && !strcmp(stdout_to, "-")) {
      close(1);
    } else if (stdout_to) {
      int fd = open(stdout_to, O_WRONLY);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    }
    std::vector<char*> argv{const_cast<char*>(ORVEX_ADMIN)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ORVEX_ADMIN, argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    r.status = WEXITSTATUS(status);
  }
  close(out);
  close(err);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  unlink(out_path);
  unlink(err_path);
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A project directory (config.xml and cgi-bin) of its own, removed after
// the test.
class TempProject {
 public:
  TempProject() {
    char tmpl[] = "/tmp/orvex-admin-project-XXXXXX";
    if (mkdtemp(tmpl)) dir = tmpl;
    fs::create_directory(dir + "/cgi-bin");
  }
  ~TempProject() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // A main document holding `keys` inside <orvex><config>, which start on
  // line 3.
  void settings(const std::string& keys) {
    write("config.xml", "<orvex>\n<config>\n" + keys + "</config>\n</orvex>\n");
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }

  std::string dir;
};

// Whether promtool, the Prometheus tool, accepts text as metrics.
bool promtool_accepts(const std::string& text) {
  if (system("command -v promtool >/dev/null") != 0) {
    ADD_FAILURE() << "promtool is missing (scripts/install-deps.sh)";
    return false;
  }
  char path[] = "/tmp/orvex-metrics-XXXXXX";
  int fd = mkstemp(path);
  bool written = fd >= 0 && write(fd, text.data(), text.size()) ==
                                static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  bool ok =
      written &&
      system(
          ("promtool check metrics < " + std::string(path) + " >&2").c_str()) ==
          0;
  unlink(path);
  return ok;
}

#ifndef ORVEX_ADMIN_DB_TESTS

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The value that `config` prints for key: the rest of its line, without
// the padding (and without the origin of --verbose).
std::string value_of(const std::string& out, const std::string& key) {
  for (const std::string& line : lines_of(out)) {
    if (line.compare(0, key.size(), key) || line.size() == key.size() ||
        line[key.size()] != ' ') {
      if (line == key) return "";
      continue;
    }
    std::string rest = line.substr(key.size());
    size_t origin = rest.rfind("  [");
    if (origin != std::string::npos && rest.back() == ']') rest.resize(origin);
    size_t start = rest.find_first_not_of(' ');
    return start == std::string::npos ? "" : rest.substr(start);
  }
  ADD_FAILURE() << "no line for " << key << " in:\n" << out;
  return "";
}

// The origin that `config --verbose` gives for key.
std::string origin_of(const std::string& out, const std::string& key) {
  for (const std::string& line : lines_of(out)) {
    if (words_of(line).empty() || words_of(line)[0] != key) continue;
    size_t open = line.rfind("  [");
    if (open == std::string::npos || line.back() != ']') break;
    return line.substr(open + 3, line.size() - open - 4);
  }
  ADD_FAILURE() << "no origin for " << key << " in:\n" << out;
  return "";
}

// The number of the first line of a file that contains marker.
int line_of(const std::string& path, const std::string& marker) {
  std::vector<std::string> lines = lines_of(read_file(path));
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].find(marker) != std::string::npos)
      return static_cast<int>(i) + 1;
  }
  ADD_FAILURE() << marker << " is not in " << path;
  return 0;
}

// A strict JSON reader that only tells well-formed text from the rest.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& s) : s_(s) {}
  bool valid() {
    space();
    if (!value()) return false;
    space();
    return i_ == s_.size();
  }

 private:
  void space() {
    while (i_ < s_.size() && strchr(" \t\r\n", s_[i_])) i_++;
  }
  bool eat(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      i_++;
      return true;
    }
    return false;
  }
  bool value() {
    space();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return members('}', true);
    if (c == '[') return members(']', false);
    if (c == '"') return string();
    for (const char* word : {"true", "false", "null"}) {
      if (!s_.compare(i_, strlen(word), word)) {
        i_ += strlen(word);
        return true;
      }
    }
    return number();
  }
  bool members(char close, bool object) {
    i_++;
    if (eat(close)) return true;
    do {
      space();
      if (object && (!string() || !eat(':'))) return false;
      if (!value()) return false;
    } while (eat(','));
    return eat(close);
  }
  bool string() {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    for (i_++; i_ < s_.size(); i_++) {
      unsigned char c = s_[i_];
      if (c == '"') {
        i_++;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (++i_ >= s_.size()) return false;
      if (s_[i_] == 'u') {
        for (int k = 0; k < 4; k++) {
          if (++i_ >= s_.size() ||
              !isxdigit(static_cast<unsigned char>(s_[i_]))) {
            return false;
          }
        }
      } else if (!strchr("\"\\/bfnrt", s_[i_])) {
        return false;
      }
    }
    return false;
  }
  bool number() {
    size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') i_++;
    while (i_ < s_.size() && strchr("0123456789.eE+-", s_[i_])) i_++;
    return i_ > start && isdigit(static_cast<unsigned char>(s_[i_ - 1]));
  }

  const std::string& s_;
  size_t i_ = 0;
};

const std::string SAMPLE = std::string(ORVEX_TEST_DATA) + "/project";
const std::string BROKEN = std::string(ORVEX_TEST_DATA) + "/broken";

TEST(AdminCommandLine, HelpOnEveryCommandAndOneLineUsageErrors) {
  for (const char* command : {"config", "check", "path", "url", "db", "stop",
                              "start", "status", "metrics"}) {
    AdminRun r = admin({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: orvex-admin ") + command, 0), 0u)
        << r.out;
  }
  AdminRun help = admin({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("stop daemons|sched"), std::string::npos);
  AdminRun version = admin({"--version"});
  EXPECT_EQ(version.out, "orvex-admin " ORVEX_VERSION_STRING "\n");

  EXPECT_EQ(admin({}).status, 2);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"frobnicate"},
                                             {"--frobnicate", "config"},
                                             {"config", "--frobnicate"},
                                             {"config", "--describe"},
                                             {"status", "extra"},
                                             {"path", "download"},
                                             {"path", "sideways", "abc"},
                                             {"url", "download"},
                                             {"db"},
                                             {"db", "drop"},
                                             {"db", "counts", "--app", "x"},
                                             {"db", "counts", "--app", "0"},
                                             {"db", "ping", "--app", "3"},
                                             {"stop", "everything"},
                                             {"start"},
                                             {"--project", "", "config"}}) {
    AdminRun r = admin(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(AdminProject, FoundAsTheServerProgramsFindIt) {
  TempProject p;
  p.settings("<master_url>http://p/</master_url>\n");
  TempProject elsewhere;  // a directory that is no project
  fs::remove(elsewhere.path("cgi-bin"));

  AdminRun here = admin({"config"}, p.dir);
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(value_of(here.out, "master_url"), "http://p/");

  // From cgi-bin the parent is the project; paths say so.
  p.write("config_aux.xml", "<config><bogus/></config>\n");
  AdminRun below = admin({"check"}, p.path("cgi-bin"));
  EXPECT_EQ(below.status, 1);
  EXPECT_NE(below.out.find("../config_aux.xml:1: unknown key <bogus/>"),
            std::string::npos)
      << below.out;

  AdminRun none = admin({"config"}, elsewhere.dir);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Not in a project directory or subdirectory\n");

  AdminRun env = admin({"config"}, elsewhere.dir, p.dir.c_str());
  ASSERT_EQ(env.status, 0) << env.err;
  EXPECT_EQ(value_of(env.out, "master_url"), "http://p/");

  AdminRun bad_env = admin({"config"}, p.dir, elsewhere.dir.c_str());
  EXPECT_EQ(bad_env.status, 1);
  EXPECT_EQ(bad_env.err,
            "ORVEX_PROJECT_DIR env var exists but is not a project dir\n");

  // --project wins over both, before or after the command.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"--project", p.dir, "config"}, {"config", "--project=" + p.dir}}) {
    AdminRun given = admin(args, elsewhere.dir, elsewhere.dir.c_str());
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(value_of(given.out, "master_url"), "http://p/");
  }
}

TEST(AdminConfig, EveryKeyInCatalogueOrderWithPasswordsMasked) {
  AdminRun r = admin({"--project", SAMPLE, "config"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> keys;
  for (const std::string& line : lines_of(r.out)) {
    if (line.empty()) break;
    keys.push_back(words_of(line)[0]);
  }
  std::vector<std::string> catalogue;
  for (const PARAMDECK_KEY& k : PARAMDECK_KEYS) {
    if (!k.alias) catalogue.push_back(k.name);
  }
  EXPECT_EQ(keys, catalogue);

  EXPECT_EQ(value_of(r.out, "db_passwd"), "********");
  EXPECT_EQ(value_of(r.out, "replica_db_passwd"), "********");
  EXPECT_EQ(value_of(r.out, "trigmem_db_passwd"), "");  // nothing to hide
  EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
  // Defaults, units and rules applied as the daemons see them.
  EXPECT_EQ(value_of(r.out, "replica_db_name"), "sample");
  EXPECT_EQ(value_of(r.out, "report_grace_period"), "5400");
  EXPECT_EQ(value_of(r.out, "delete_delay_hours"), "2");
  EXPECT_EQ(value_of(r.out, "min_core_client_version"), "70100");
  EXPECT_EQ(value_of(r.out, "scheduler_log_buffer"), "32768");
  EXPECT_EQ(value_of(r.out, "version_select_random_factor"), "0.25");
  EXPECT_EQ(value_of(r.out, "one_result_per_user_per_wu"), "1");
  EXPECT_EQ(value_of(r.out, "debug_quota"), "0");
  EXPECT_EQ(value_of(r.out, "dont_search_host_for_user"), "17 42");
  EXPECT_EQ(value_of(r.out, "ban_os"),
            "\"Windows 95\" \"Windows 98|Windows Me\"");
  EXPECT_EQ(value_of(r.out, "ban_cpu"),
            "\".*Pentium II.*\" \".*AMD.*\\t.*Family 5 Model 8 Stepping 0.*\"");

  // The job limits per scope and resource, main and auxiliary file merged.
  std::vector<std::vector<std::string>> table;
  bool in_table = false;
  for (const std::string& line : lines_of(r.out)) {
    if (line.rfind("job limits", 0) == 0) in_table = true;
    if (in_table) table.push_back(words_of(line));
  }
  ASSERT_EQ(table.size(), 5u) << r.out;
  EXPECT_EQ(table[2],
            (std::vector<std::string>{"project", "0", "8/proc", "2"}));
  EXPECT_EQ(table[3],
            (std::vector<std::string>{"app", "alpha", "20", "0", "1/proc"}));
  EXPECT_EQ(table[4], (std::vector<std::string>{"app", "beta", "0", "3", "0"}));

  AdminRun shown = admin({"--project", SAMPLE, "config", "--show-secrets"});
  EXPECT_EQ(value_of(shown.out, "db_passwd"), "s3cret&more");
  EXPECT_EQ(value_of(shown.out, "replica_db_passwd"), "s3cret&more");
}

TEST(AdminConfig, JsonIsWellFormedWithEveryTextEscaped) {
  TempProject p;
  // A quote, a backslash, a tab, a byte that is not UTF-8 and one character
  // that is; a control character; a password.
  p.settings(
      "<master_url>a\"b\\c&#9;d\xff\xc3\xa9</master_url>\n"
      "<long_name>x&#1;y</long_name>\n"
      "<db_passwd>pw</db_passwd>\n"
      "<ban_os>^Win\\.</ban_os>\n"
      "<dont_search_host_for_user>5</dont_search_host_for_user>\n"
      "<debug_send/>\n"
      "<max_wus_in_progress_gpu>3</max_wus_in_progress_gpu>\n");
  p.write("config_aux.xml",
          "<config><max_jobs_in_progress><app><app_name>q\"a</app_name>"
          "</app></max_jobs_in_progress></config>\n");
  AdminRun r = admin({"--project", p.dir, "config", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(JsonChecker(r.out).valid()) << r.out;
  for (const char* expected : {
           "\"master_url\": \"a\\\"b\\\\c\\td\\u00ff\xc3\xa9\"",
           "\"long_name\": \"x\\u0001y\"",
           "\"db_passwd\": \"********\"",
           "\"ban_os\": [\"^Win\\\\.\"]",
           "\"dont_search_host_for_user\": [5]",
           "\"debug_send\": true",
           "\"max_ncpus\": 64",
           "\"default_disk_min_free_gb\": 0.001",
           "\"gpu\": {\"jobs\": 3, \"per_proc\": true}",
           "\"app_name\": \"q\\\"a\"",
       }) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n"
                                                       << r.out;
  }
  EXPECT_NE(r.out.find("\"config_aux\": \"" + p.path("config_aux.xml") + "\""),
            std::string::npos);

  AdminRun secrets = admin(
      {"--project", p.dir, "config", "--json", "--show-secrets", "--verbose"});
  ASSERT_EQ(secrets.status, 0) << secrets.err;
  EXPECT_TRUE(JsonChecker(secrets.out).valid()) << secrets.out;
  EXPECT_NE(secrets.out.find("\"db_passwd\": \"pw\""), std::string::npos);
  EXPECT_NE(
      secrets.out.find("\"db_passwd\": [\"" + p.path("config.xml") + ":5\"]"),
      std::string::npos)
      << secrets.out;
  EXPECT_NE(
      secrets.out.find("\"master_url\": [\"" + p.path("config.xml") + ":3\"]"),
      std::string::npos);
  EXPECT_NE(secrets.out.find("\"symstore\": [\"default\"]"), std::string::npos);
}

TEST(AdminConfig, VerboseTellsWhereEachValueCameFrom) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  TempProject p;
  p.settings(
      "<db_name>one</db_name>\n"                         // 3
      "<db_user>u</db_user>\n"                           // 4
      "<db_name>two</db_name>\n"                         // 5
      "<report_grace_period>60</report_grace_period>\n"  // 6
      "<grace_period_hours>1</grace_period_hours>\n"     // 7
      "<ban_os>a</ban_os>\n"                             // 8
      "<ban_os>(</ban_os>\n"                             // 9
      "<ban_os>b</ban_os>\n"                             // 10
      "<max_ncpus>many</max_ncpus>\n"                    // 11
      "<no_amd_k6/>\n"                                   // 12
      "<max_wus_in_progress>3</max_wus_in_progress>\n"   // 13
      "<db_host>" +
      std::string(host) +
      "</db_host>\n"                                   // 14
      "<replica_db_user></replica_db_user>\n"          // 15
      "<replica_db_passwd>rp</replica_db_passwd>\n");  // 16
  p.write("config_aux.xml",
          "<config>\n"
          "<max_jobs_in_progress><app><app_name>x</app_name></app>\n"
          "</max_jobs_in_progress>\n"
          "</config>\n");
  AdminRun r = admin({"--project", p.dir, "config", "--verbose"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string main = p.path("config.xml") + ":";
  EXPECT_EQ(origin_of(r.out, "master_url"), "default");
  EXPECT_EQ(origin_of(r.out, "httpd_user"), "default");
  EXPECT_EQ(origin_of(r.out, "db_name"), main + "5");  // the later one
  EXPECT_EQ(value_of(r.out, "db_name"), "two");
  EXPECT_EQ(origin_of(r.out, "report_grace_period"), main + "7");
  EXPECT_EQ(value_of(r.out, "report_grace_period"), "3600");
  EXPECT_EQ(origin_of(r.out, "ban_os"), main + "8, " + main + "10");
  EXPECT_EQ(origin_of(r.out, "ban_cpu"), main + "12");
  EXPECT_EQ(origin_of(r.out, "max_ncpus"), "default");  // did not convert
  EXPECT_EQ(value_of(r.out, "max_ncpus"), "64");
  EXPECT_EQ(origin_of(r.out, "max_jobs_in_progress"),
            main + "13, " + p.path("config_aux.xml") + ":2");
  // The closing rules, each by name: the local host name and the
  // replica's defaults.
  EXPECT_EQ(value_of(r.out, "db_host"), "localhost");
  EXPECT_EQ(origin_of(r.out, "db_host"),
            "closing rule: db_host equal to this host's name becomes "
            "\"localhost\"");
  EXPECT_EQ(value_of(r.out, "replica_db_host"), "localhost");
  EXPECT_EQ(origin_of(r.out, "replica_db_host"),
            "closing rule: replica_db_host empty takes db_host");
  EXPECT_EQ(origin_of(r.out, "replica_db_name"),
            "closing rule: replica_db_name empty takes db_name");
  EXPECT_EQ(origin_of(r.out, "replica_db_user"),  // given, but empty
            "closing rule: replica_db_user empty takes db_user");
  EXPECT_EQ(value_of(r.out, "replica_db_user"), "u");
  EXPECT_EQ(origin_of(r.out, "replica_db_passwd"), main + "16");
  EXPECT_EQ(origin_of(r.out, "trigmem_db_host"), "default");
}

TEST(AdminConfig, FailedLoadIsOneLineWithTheReason) {
  TempProject p;
  p.settings("<db_name>x</db_name>\n");
  p.write("config_aux.xml", "");
  AdminRun r = admin({"--project", p.dir, "config"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.err, "orvex-admin: cannot load the settings: " +
                       p.path("config_aux.xml") +
                       ":1: the document does not begin with <config>; the "
                       "settings do not load\n");
}

TEST(AdminCheck, ReportsEachKindOfMistakeInTheBrokenSample) {
  AdminRun r = admin({"--project", BROKEN, "check"});
  EXPECT_EQ(r.status, 1);
  struct Expected {
    const char* file;
    const char* marker;  // text on the line
    const char* finding;
  };
  const Expected expected[] = {
      {"config.xml", "<max_wus_to_sned>", "unknown key <max_wus_to_sned>"},
      {"config.xml", "Windows (95",
       "the pattern \"Windows (95\" of ban_os does not compile"},
      {"config.xml", "[Pentium", "of ban_cpu does not compile"},
      {"config.xml", "sixteen",
       "the value \"sixteen\" of max_ncpus is not an integer"},
      {"config.xml", "1,5", "of next_rpc_delay is not a number"},
      {"config.xml", "<debug_send>yes", "of debug_send is not a flag"},
      {"config.xml", "<shmem_key/>", "<shmem_key/> has no value"},
      {"config.xml", "<grace_period_hours>two",
       "of grace_period_hours is not a number"},
      {"config.xml", "17x", "of dont_search_host_for_user is not an integer"},
      {"config.xml", "<max_jobs_in_progress>",
       "max_jobs_in_progress is read from config_aux.xml only"},
      {"config.xml", "stray words", "warning: stray text \"stray words"},
      {"config.xml", "broken2",
       "warning: db_name is given again (first at "
       "line 7)"},
      {"config_aux.xml", "max_job_in_progress/",
       "unknown key <max_job_in_progress/>"},
      {"config_aux.xml", "cpu_limt", "unknown tag <cpu_limt> in <project>"},
      {"config_aux.xml", "many",
       "the value \"many\" of jobs is not an integer"},
      {"config_aux.xml", "maybe", "of per_proc is not a flag"},
      {"config_aux.xml", "<app>", "an <app> block without <app_name>"},
      {"config_aux.xml", "leftover", "warning: stray text \"leftover\""},
  };
  std::vector<std::string> lines = lines_of(r.out);
  for (const Expected& e : expected) {
    std::string path = BROKEN + "/" + e.file;
    std::string at =
        path + ":" + std::to_string(line_of(path, e.marker)) + ": ";
    bool found = false;
    for (const std::string& line : lines) {
      found |= line.rfind(at, 0) == 0 &&
               line.find(e.finding, at.size()) != std::string::npos;
    }
    EXPECT_TRUE(found) << at << e.finding << "\nin:\n" << r.out;
  }
  // Nothing else: what the misspelt block holds is not reported again.
  EXPECT_EQ(lines.size(), std::size(expected) + 1) << r.out;
  EXPECT_EQ(lines.back(), BROKEN + ": 15 problems, 3 warnings");
  EXPECT_TRUE(r.err.empty()) << r.err;  // the loader's own messages held back

  // What check says was passed over is what the load passed over.
  AdminRun c = admin({"--project", BROKEN, "config"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(value_of(c.out, "max_wus_to_send"), "10");
  EXPECT_EQ(value_of(c.out, "ban_os"), "");
  EXPECT_EQ(value_of(c.out, "ban_cpu"), "\".*Celeron.*\"");
  EXPECT_EQ(value_of(c.out, "max_ncpus"), "64");
  EXPECT_EQ(value_of(c.out, "next_rpc_delay"), "0");
  EXPECT_EQ(value_of(c.out, "debug_send"), "0");
  EXPECT_EQ(value_of(c.out, "dont_search_host_for_user"), "");
  EXPECT_EQ(value_of(c.out, "db_name"), "broken2");
  EXPECT_EQ(value_of(c.out, "max_jobs_in_progress"),
            "project(total=0 cpu=0 gpu=0)");
}

TEST(AdminCheck, PassesTheSampleProjectWithItsOneWarning) {
  AdminRun r = admin({"--project", SAMPLE, "check"});
  EXPECT_EQ(r.status, 0) << r.out;
  std::string config = SAMPLE + "/config.xml";
  EXPECT_EQ(r.out, config + ":" + std::to_string(line_of(config, "CDATA")) +
                       ": warning: stray text \"stray text an editor left "
                       "behind\" (passed over)\n" +
                       SAMPLE + ": 0 problems, 1 warning\n");
  EXPECT_EQ(admin({"--project", SAMPLE, "check", "--strict"}).status, 1);

  TempProject clean;
  clean.settings("<db_name>x</db_name>\n");
  AdminRun ok = admin({"check"}, clean.dir);
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, clean.dir + ": no problems found\n");
}

TEST(AdminCheck, LoadFailuresAndLinesPastCommentsAndLongValues) {
  TempProject p;
  // The document ends before </config>: the element left open is named
  // where it opened.
  p.write("config.xml", "<orvex>\n<config>\n<db_name>x</db_name>\n");
  AdminRun cut = admin({"--project", p.dir, "check"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.out.find(p.path("config.xml") +
                         ":2: <config> is never closed: the document ends "
                         "before </config>"),
            std::string::npos)
      << cut.out;

  p.write("config.xml", "<?xml version=\"1.0\"?>\n<config></config>\n");
  AdminRun no_orvex = admin({"--project", p.dir, "check"});
  EXPECT_EQ(no_orvex.status, 1);
  EXPECT_NE(no_orvex.out.find(":2: the document does not begin with <orvex>"),
            std::string::npos)
      << no_orvex.out;

  fs::remove(p.path("config.xml"));
  AdminRun missing = admin({"--project", p.dir, "check"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find(p.path("config.xml") +
                             ": cannot be opened: No such file or directory"),
            std::string::npos)
      << missing.out;

  // Comments over several lines, CDATA and a value longer than a setting
  // holds.
  p.settings(
      "<!-- one\n two <bogus> -->  <bogus>1\n</bogus>\n"  // 3, 4 and 5
      "<![CDATA[ cdata ]]>\n"                             // 6
      "<master_url>" +
      std::string(300, 'u') +
      "</master_url>\n"  // 7
      "<ban_os>" +
      std::string(300, '(') + "</ban_os>\n");  // 8
  AdminRun lines = admin({"--project", p.dir, "check"});
  EXPECT_EQ(lines.status, 1);
  std::string main = p.path("config.xml") + ":";
  EXPECT_EQ(lines.out,
            main + "4: unknown key <bogus> (passed over)\n" + main +
                "6: warning: stray text \"cdata\" (passed over)\n" + main +
                "7: warning: the value of master_url is 300 bytes long; only "
                "the first 255 are kept\n" +
                main +
                "8: warning: the value of ban_os is 300 bytes long; "
                "only the first 255 are kept\n" +
                main + "8: the pattern \"" + std::string(255, '(') +
                "\" of ban_os does not compile (Unmatched ( or \\(); it is "
                "dropped: hosts whose operating system matches \"" +
                std::string(255, '(') + "\" are not banned\n" + p.dir +
                ": 2 problems, 3 warnings\n");
}

// --- check: settings patterns ---

// An empty pattern bans every host; a dropped one bans none, and check says
// which hosts it would have banned. A byte-order mark is no problem.
TEST(AdminCheck, EmptyAndDroppedPatternsSayWhichHostsTheyConcern) {
  TempProject p;
  p.write("config.xml",
          "\xEF\xBB\xBF<orvex>\n<config>\n<ban_os/>\n"
          "<ban_cpu>.{,20000}</ban_cpu>\n<ban_os>Windows.*?XP</ban_os>\n"
          "<locality_scheduling_sticky_file>(a)\\1</"
          "locality_scheduling_sticky_file>\n"
          "</config>\n</orvex>\n");
  AdminRun r = admin({"--project", p.dir, "check"});
  EXPECT_EQ(r.status, 1);
  std::string main = p.path("config.xml") + ":";
  EXPECT_EQ(r.out,
            main +
                "3: warning: the pattern of ban_os is empty: it matches "
                "every host, so all hosts are banned (remove the element "
                "to ban none)\n" +
                main +
                "4: the pattern \".{,20000}\" of ban_cpu is refused (it "
                "repeats too much: it would compile too large); it is "
                "dropped: hosts whose CPU matches \".{,20000}\" are not "
                "banned\n" +
                main +
                "6: the pattern \"(a)\\\\1\" of "
                "locality_scheduling_sticky_file is refused (a "
                "back-reference (\\1 to \\9): matching it can take "
                "exponential time); it is dropped: files whose names "
                "match \"(a)\\\\1\" are not kept on hosts\n" +
                p.dir + ": 2 problems, 1 warning\n");
}

TEST(AdminPath, PlacesFilesInTheHashedTreesAndGivesTheirUrls) {
  TempProject p;
  std::string down = p.path("download"), up = p.path("upload");
  fs::create_directory(down);
  fs::create_directory(up);
  p.settings("<download_dir>" + down + "</download_dir>\n<upload_dir>" + up +
             "</upload_dir>\n<download_url>http://h/dl</download_url>\n"
             "<upload_url>http://h/ul</upload_url>\n"
             "<uldl_dir_fanout>1024</uldl_dir_fanout>\n");
  // md5("abc") = 900150983c...: bucket 0x0015098 % 1024 = 0x98.
  AdminRun r = admin({"path", "download", "abc"}, p.dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, down + "/98/abc\n");
  EXPECT_FALSE(fs::exists(down + "/98"));  // only with --create

  r = admin({"path", "download", "abc", "--create"}, p.dir);
  EXPECT_EQ(r.out, down + "/98/abc\n");
  EXPECT_TRUE(fs::is_directory(down + "/98"));
  r = admin({"path", "upload", "abc", "--create"}, p.dir);
  EXPECT_EQ(r.out, up + "/98/abc\n");
  EXPECT_TRUE(fs::is_directory(up + "/98"));

  EXPECT_EQ(admin({"url", "download", "abc"}, p.dir).out,
            "http://h/dl/98/abc\n");
  EXPECT_EQ(admin({"url", "upload", "abc"}, p.dir).out, "http://h/ul/98/abc\n");

  fs::remove_all(up);
  r = admin({"path", "upload", "abc", "--create"}, p.dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("orvex_mkdir(" + up + "/98)"), std::string::npos);
  EXPECT_NE(r.err.find("orvex-admin: cannot place 'abc' in the upload tree"),
            std::string::npos)
      << r.err;

  // A flat tree; a name that looks like an option; a tree the settings do
  // not name.
  p.settings("<download_dir>" + down + "</download_dir>\n");
  EXPECT_EQ(admin({"path", "download", "abc"}, p.dir).out, down + "/abc\n");
  EXPECT_EQ(admin({"path", "download", "--", "-x"}, p.dir).out, down + "/-x\n");
  EXPECT_EQ(admin({"path", "download", "-x"}, p.dir).status, 2);
  r = admin({"url", "download", "abc"}, p.dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orvex-admin: download_url is not set in ./config.xml\n");
}

TEST(AdminTriggers, StopAndStartSayWhatWasThereBefore) {
  TempProject p;
  p.settings("");
  std::string daemons = p.path("stop_daemons"), sched = p.path("stop_sched");

  AdminRun r = admin({"--project", p.dir, "stop", "daemons"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("created " + daemons + ", which was not there", 0), 0u)
      << r.out;
  EXPECT_TRUE(fs::exists(daemons));
  EXPECT_FALSE(fs::exists(sched));

  r = admin({"--project", p.dir, "stop", "daemons"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(daemons + " was already there", 0), 0u) << r.out;

  r = admin({"--project", p.dir, "stop", "sched"});
  EXPECT_EQ(r.out.rfind("created " + sched, 0), 0u) << r.out;
  EXPECT_TRUE(fs::exists(sched));

  r = admin({"--project", p.dir, "start", "daemons"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "removed " + daemons + ", which was there before\n");
  EXPECT_FALSE(fs::exists(daemons));
  EXPECT_TRUE(fs::exists(sched));

  r = admin({"--project", p.dir, "start", "daemons"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, daemons + " was not there; nothing to remove\n");

  // Found from a subdirectory, the trigger lands where the daemons look.
  r = admin({"start", "sched"}, p.path("cgi-bin"));
  EXPECT_EQ(r.out, "removed ../stop_sched, which was there before\n");
  EXPECT_FALSE(fs::exists(sched));
}

TEST(AdminTriggers, FollowTheSettingsAndWorkWhenTheyAreBroken) {
  TempProject p, other;
  p.settings("<project_dir>" + other.dir + "</project_dir>\n");
  AdminRun r = admin({"--project", p.dir, "stop", "daemons"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(other.path("stop_daemons")));
  EXPECT_FALSE(fs::exists(p.path("stop_daemons")));

  // Daemons that run must be stoppable after a bad edit of their settings.
  p.write("config.xml", "<orvex><config><db_name>x");
  r = admin({"--project", p.dir, "stop", "daemons"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(p.path("stop_daemons")));
  EXPECT_NE(r.err.find("orvex-admin: warning: " + p.path("config.xml") +
                       ":1: <db_name> is never closed"),
            std::string::npos)
      << r.err;
}

// --- Operator scenarios: what the tool says must be what happened ---

TEST(AdminScenarios, StatusAndWordsMatchWhatHappened) {
  // The project {P} has a download tree; its upload tree is missing; a
  // dangling link is named like the daemons' trigger; a daemon runs
  // ({PID}, holding worker.pid), others were killed and left stale.pid and
  // a pid file whose name is not UTF-8.
  // {NC} lacks cgi-bin, {NX} config.xml: neither is a project. {C}'s
  // settings hold values that cannot work, {U}'s an element never closed.
  TempProject p, no_cgi, no_xml, c, u;
  fs::create_directory(p.path("download"));
  p.settings("<download_dir>" + p.path("download") +
             "</download_dir>\n<upload_dir>" + p.path("gone") +
             "</upload_dir>\n<uldl_dir_fanout>1024</uldl_dir_fanout>\n");
  fs::create_symlink(p.path("no-such-target"), p.path("stop_daemons"));
  fs::remove(no_cgi.path("cgi-bin"));
  no_cgi.settings("");
  c.settings(
      "<db_host>db1:3306,,db2</db_host>\n<replica_db_host>h:99999"  // 3, 4
      "</replica_db_host>\n<max_ncpus>-5</max_ncpus>\n"             // 5
      "<uldl_dir_fanout>-1</uldl_dir_fanout>\n"                     // 6
      "<max_wus_to_send>99999999999</max_wus_to_send>\n"            // 7
      "<max_wus_to_sned>1</max_wus_to_sned>\n"                      // 8
      "<long_name>Demo\n</long_nam>\n");                            // 9, 10
  u.write("config.xml",
          "<orvex>\n<config>\n<max_ncpus>4\n<long_name>x</long_name>\n"
          "</config>\n</orvex>\n");
  p.write("stale.pid", "999999\n");
  p.write("x\xff\".pid", "");  // a name the metrics must still carry
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t worker = fork();
  if (worker == 0) {
    char c = lock_pid_file((p.dir + "/worker.pid").c_str()) ? 'n' : 'y';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char locked = 0;
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'y');
  auto fill = [&](std::string text) {
    for (auto [mark, dir] : {std::pair<std::string, std::string>{"{P}", p.dir},
                             {"{NC}", no_cgi.dir},
                             {"{NX}", no_xml.dir},
                             {"{CD}", c.dir},
                             {"{UD}", u.dir},
                             {"{C}", c.dir + "/config.xml"},
                             {"{U}", u.dir + "/config.xml"},
                             {"{PID}", std::to_string(worker)}}) {
      for (size_t at; (at = text.find(mark)) != std::string::npos;)
        text.replace(at, mark.size(), dir);
    }
    return text;
  };
  const std::string lost =
      "orvex-admin: cannot write the output: No space left on device\n";
  const std::string refused =
      " is not a project directory (it needs the file config.xml and the "
      "directory cgi-bin); "
      "nothing done\n";
  struct Scenario {
    std::vector<std::string> args;  // run in {P}
    const char* stdout_to;          // null: a file; "-": closed
    int status;
    // Status 0: a line of standard output (standard error empty); else the
    // whole of standard error (standard output empty). Unless `mode` says:
    // 'o' a line of standard output, 'e' a part of standard error, 'j'
    // standard output is JSON holding expected, 'p' it passes promtool.
    std::string expected;
    char mode = 0;
  };
  const Scenario scenarios[] = {
      // A full disk or a closed descriptor: no success for lost output.
      {{"config", "--json"}, "/dev/full", 1, lost},
      {{"path", "download", "abc"}, "/dev/full", 1, lost},
      {{"check"}, "/dev/full", 1, lost},
      {{"db", "--help"}, "/dev/full", 1, lost},
      {{"config"},
       "-",
       1,
       "orvex-admin: cannot write the output: Bad file descriptor\n"},
      {{"path", "download", "abc"}, nullptr, 0, "{P}/download/98/abc"},
      {{"check"}, nullptr, 0, "{P}: no problems found"},  // not ".:"
      {{"--help"},
       nullptr,
       0,
       "  db ping [--json] [--max-lag S]|counts [--app ID] [--json]|perf"},
      // A name from a host that would leave the tree is refused.
      {{"path", "download", "../../etc/passwd"},
       nullptr,
       1,
       "orvex-admin: cannot place '../../etc/passwd' in the download tree "
       "under {P}/download (file name would leave its tree",
       'e'},
      {{"path", "upload", ".."},
       nullptr,
       1,
       "refused the file name \"..\"",
       'e'},
      // check points at the line to mend, and runs the rules of later steps.
      {{"--project", "{UD}", "check"},
       nullptr,
       1,
       "{U}:3: <max_ncpus> is never closed: the document ends before "
       "</max_ncpus>; the settings do not load",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:3: the value \"db1:3306,,db2\" of db_host cannot work: an empty "
       "server in the list (two commas in a row, or one at an end)",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:4: the value \"h:99999\" of replica_db_host cannot work: a port "
       "that is not a number from 0 to 65535",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:5: the value \"-5\" of max_ncpus cannot work: a count cannot be "
       "negative",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:6: the value \"-1\" of uldl_dir_fanout cannot work: a fan-out is "
       "a number of buckets and cannot be negative (-1 puts every file in "
       "bucket \"0\")",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:7: the value \"99999999999\" of max_wus_to_send is out of the "
       "32-bit range (-2147483648 to 2147483647); the key is passed over",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:8: unknown key <max_wus_to_sned> (passed over; nearest: "
       "max_wus_to_send)",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:9: <long_name> is never closed: the document ends before "
       "</long_name>; the settings do not load",
       'o'},
      {{"--project", "{CD}", "check"},
       nullptr,
       1,
       "{C}:10: closing tag </long_nam> matches no open element (passed over)",
       'o'},
      {{"--project", "{CD}", "check", "--json"},
       nullptr,
       1,
       "{\"file\": \"{C}\", \"line\": 10, \"severity\": \"problem\", "
       "\"stops_load\": false, \"message\": \"closing tag </long_nam> "
       "matches no open element (passed over)\"}",
       'j'},
      // One value alone, the nearest names of a key that does not exist,
      // and what a key does.
      {{"config", "uldl_dir_fanout", "max_ncpus"}, nullptr, 0, "1024"},
      {{"config", "max_ncpus", "--json"}, nullptr, 0, "\"max_ncpus\": 64", 'j'},
      {{"config", "max_ncpus", "max_ncpu"},
       nullptr,
       1,
       "orvex-admin: unknown key 'max_ncpu' (nearest: max_ncpus)\n"},
      {{"config", "--describe", "uldl_dir_fanout"},
       nullptr,
       0,
       "uldl_dir_fanout (integer)"},
      {{"--project"},
       nullptr,
       2,
       "orvex-admin: --project needs a directory (see 'orvex-admin --help')\n"},
      // A dangling link is a trigger, as the daemons see it.
      {{"stop", "daemons"},
       nullptr,
       0,
       "./stop_daemons was already there; left as it is (the daemons end at "
       "their next check)"},
      // Not a project by either mark: refused, nothing made.
      {{"--project", "{NX}", "stop", "daemons"},
       nullptr,
       1,
       "orvex-admin: {NX}" + refused},
      {{"stop", "sched", "--project", "{NC}"},
       nullptr,
       1,
       "orvex-admin: {NC}" + refused},
      {{"--project", "{NC}", "start", "daemons"},
       nullptr,
       1,
       "orvex-admin: {NC}" + refused},
      // A bucket that cannot be made: the library's line, then why.
      {{"path", "upload", "abc", "--create"},
       nullptr,
       1,
       "orvex_mkdir({P}/gone/98): failed (see errno or the call's own report): "
       "errno 2\norvex-admin: cannot "
       "place 'abc' in the "
       "upload tree under {P}/gone (directory create failed: No such file or "
       "directory)\n"},
      // The daemons were stopped on purpose: nothing is missing.
      {{"status"},
       nullptr,
       0,
       "  stale                stopped (pid file of "
       "999999 from ",
       'o'},
      // Changes the state: start removes the dangling link.
      {{"start", "daemons"},
       nullptr,
       0,
       "removed ./stop_daemons, which was there before"},
      // Now stale should run: status fails, and metrics says why.
      {{"status"},
       nullptr,
       1,
       "orvex-admin: stale is not running: its pid file {P}/stale.pid is left "
       "behind (pid 999999) and stop_daemons is not set",
       'e'},
      {{"status", "--json"},
       nullptr,
       1,
       "\"name\": \"worker\", \"running\": true, \"pid\": {PID}",
       'j'},
      {{"metrics"},
       nullptr,
       0,
       "orvex_daemon_down{project=\"{P}\",daemon=\"stale\"} 1",
       'o'},
      {{"metrics"}, nullptr, 0, "", 'p'},
      {{"metrics", "--output", "{P}/orvex.prom"}, nullptr, 0, ""},
  };
  for (const Scenario& s : scenarios) {
    std::vector<std::string> args;
    for (const std::string& a : s.args) args.push_back(fill(a));
    AdminRun r = admin(args, p.dir, nullptr, s.stdout_to);
    std::string expected = fill(s.expected),
                line = fill(s.args[0] + " " + s.args.back());
    EXPECT_EQ(r.status, s.status) << line << "\n" << r.err;
    if (s.mode == 'o') {
      std::vector<std::string> out = lines_of(r.out);
      EXPECT_TRUE(std::any_of(
          out.begin(), out.end(),
          [&](const std::string& l) { return l.rfind(expected, 0) == 0; }))
          << line << "\n"
          << r.out;
    } else if (s.mode == 'e') {
      EXPECT_NE(r.err.find(expected), std::string::npos) << line << r.err;
    } else if (s.mode == 'j') {
      EXPECT_TRUE(JsonChecker(r.out).valid()) << r.out;
      EXPECT_NE(r.out.find(expected), std::string::npos) << line << r.out;
    } else if (s.mode == 'p') {
      EXPECT_TRUE(promtool_accepts(r.out)) << r.out;
    } else if (s.status == 0) {
      std::vector<std::string> out = lines_of(r.out);
      // Nothing expected: all of it went to a file.
      EXPECT_TRUE(expected.empty() ? r.out.empty()
                                   : std::find(out.begin(), out.end(),
                                               expected) != out.end())
          << line << "\n"
          << r.out;
      EXPECT_EQ(r.err, "") << line;
    } else {
      EXPECT_EQ(r.err, expected) << line;
      EXPECT_EQ(r.out, "") << line;
    }
  }
  kill(worker, SIGKILL);
  waitpid(worker, nullptr, 0);
  EXPECT_NE(read_file(p.path("orvex.prom"))
                .find("orvex_daemon_running{project=\"" + p.dir +
                      "\",daemon=\"worker\"} 1\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(fs::symlink_status(p.path("stop_daemons"))));
  for (const std::string& dir : {no_cgi.dir, no_xml.dir}) {
    for (const char* name : {"/stop_daemons", "/stop_sched"})
      EXPECT_FALSE(fs::exists(dir + name));
  }
}

// The health record against careless and hostile writers: read (trusted, or
// ignored whole), ordered by, noted in, shown and cleared.
TEST(AdminDbHealth, HostileRecordsAreIgnoredAndConcurrentNotesKept) {
  orvex_test::TempDir dir("orvex_health");
  const std::string path = dir.path() + "/record", target = path + ".target";
  setenv(DB_HEALTH_ENV, path.c_str(), 1);
  const long long now = time(nullptr);
  auto record = [](long long t, const char* server) {  // whole, checksummed
    DB_HEALTH h;
    h.count = 1;
    strlcpy(h.entries[0].server, server, DB_HEALTH_SERVER_MAX);
    h.entries[0].down_since = t;
    char text[DB_HEALTH_FILE_MAX];
    return std::string(text, db_health_format(h, text));
  };
  const std::string good = record(now - 5, "db2:3306");
  std::string forged = good;
  forged[forged.find("db2")] = 'x';
  enum Make { kFile, kDir, kLink, kFifo, kShared, kForeign, kLocked, kCrowd };
  const DB_HEALTH_WRITE kW = DB_HEALTH_WRITTEN, kNo = DB_HEALTH_REFUSED;
  struct {
    const char* name;
    Make make;
    std::string text;     // the file's (or the link target's) content
    const char* problem;  // "" when trusted
    int count;            // entries read
    DB_HEALTH_WRITE note;
  } rows[] = {
      {"none", kFile, "", "", 0, kW},
      {"good", kFile, good, "", 1, kW},
      {"50 writers at once", kCrowd, "", "", 10, DB_HEALTH_UNCHANGED},
      {"cut short", kFile, good.substr(0, good.size() - 3), "cut short", 0, kW},
      {"cut inside a server", kFile, good.substr(0, 35), "cut short", 0, kW},
      {"garbage", kFile, std::string(50, '\0'), "not a health record", 0, kW},
      {"too large", kFile, good + std::string(9000, 'x'), "larger", 0, kW},
      {"a checksum that does not match", kFile, forged, "damaged (its checksum",
       0, kW},
      {"an entry of 19 digits", kFile, record(1000000000000000000, "a"),
       "damaged (an entry", 0, kW},
      {"a control byte in a server", kFile, record(now, "a\tb"),
       "damaged (an entry", 0, kW},
      {"expired", kFile, record(now - 61, "old"), "", 0, kW},
      {"dated an hour ahead", kFile, record(now + 3600, "x"), "", 0, kW},
      {"a directory", kDir, "", "a directory", 0, kNo},
      {"a symbolic link to a good record", kLink, good, "a symbolic link", 0,
       kNo},
      {"writable by others", kShared, good, "writable by other users", 0, kNo},
      {"another user's", kForeign, good, "owned by another user", 0, kNo},
      {"a FIFO", kFifo, "", "not a regular file", 0, kNo},
      {"a writer frozen with the lock", kLocked, good, "", 1, DB_HEALTH_BUSY},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.name);
    if (c.make == kForeign && geteuid() != 0) continue;  // chown needs root
    if (!c.text.empty())
      orvex_test::write_file(c.make == kLink ? target : path, c.text);
    if (c.make == kDir) mkdir(path.c_str(), 0700);
    if (c.make == kFifo) mkfifo(path.c_str(), 0600);
    if (c.make == kLink) symlink(target.c_str(), path.c_str());
    if (c.make == kShared) chmod(path.c_str(), 0666);
    EXPECT_TRUE(c.make != kForeign || chown(path.c_str(), 65534, 65534) == 0);
    int locked[2] = {-1, -1};
    pid_t holder = c.make == kLocked && pipe(locked) == 0 ? fork() : -1;
    if (holder == 0) {
      int fd = open(path.c_str(), O_RDONLY);
      if (flock(fd, LOCK_EX) == 0 && write(locked[1], "l", 1) == 1) pause();
      _exit(1);
    }
    char byte;
    EXPECT_TRUE(holder <= 0 || read(locked[0], &byte, 1) == 1);
    std::vector<pid_t> crowd;  // each notes one of ten servers
    for (int i = 0; c.make == kCrowd && i < 50; i++) {
      if ((crowd.emplace_back(fork())) == 0) {
        std::string server = "db" + std::to_string(i % 10) + ":3306";
        _exit(db_health_note(server.c_str(), true, now) > DB_HEALTH_UNCHANGED);
      }
    }
    for (pid_t pid : crowd) {
      int status = -1;
      EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0);
    }
    DB_HEALTH h;
    db_health_read(h, now);
    size_t n = std::max<size_t>(strlen(c.problem), 1);  // "": none at all
    EXPECT_EQ(std::string(h.problem).substr(0, n), c.problem);
    EXPECT_EQ(h.count, c.count);
    std::vector<size_t> order;  // marked last, none skipped
    db_health_order(h, {"db2:3306", "x"}, order);
    EXPECT_EQ(order[0] * 10 + order[1],
              db_health_find(h, "db2:3306") ? 10u : 1u);
    EXPECT_NE(
        admin({"db", "health"}).out.find(*c.problem ? c.problem : "health"),
        std::string::npos);
    EXPECT_EQ(db_health_note("db9:3306", true, now), c.note);
    db_health_read(h, now);
    EXPECT_EQ(db_health_find(h, "db9:3306") != nullptr,
              c.note <= DB_HEALTH_UNCHANGED)
        << h.problem;
    if (holder > 0) kill(holder, SIGKILL), waitpid(holder, nullptr, 0);
    for (int fd : locked) close(fd);
    EXPECT_EQ(admin({"db", "health", "--clear"}).status,
              c.make == kDir ? 1 : 0);
    EXPECT_EQ(read_file(target), c.make == kLink ? good : "");  // not followed
    std::error_code ec;
    fs::remove_all(path, ec);
    fs::remove(target, ec);
  }
  unsetenv(DB_HEALTH_ENV);
}

#else  // ORVEX_ADMIN_DB_TESTS

// Text for an XML element's content.
std::string xml_text(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else {
      out += c;
    }
  }
  return out;
}

// A project whose settings name the private test server.
class AdminDbTest : public testing::Test {
 protected:
  void SetUp() override {
    ORVEX_OPEN_TEST_DB(conn);
    ASSERT_TRUE(orvex_test::create_schema(conn));
    std::string why;
    ASSERT_TRUE(orvex_test::load_test_db(db, why)) << why;
    write_settings(db.passwd);
  }
  void TearDown() override { conn.close(); }

  void write_settings(const std::string& passwd) {
    write_settings(passwd, db.host_port());
  }
  void write_settings(const std::string& passwd, const std::string& host) {
    project.settings("<db_name>" + xml_text(db.name) + "</db_name>\n<db_host>" +
                     xml_text(host) + "</db_host>\n<db_user>" +
                     xml_text(db.user) + "</db_user>\n<db_passwd>" +
                     xml_text(passwd) + "</db_passwd>\n");
  }
  void exec(const std::string& sql) {
    ASSERT_EQ(conn.do_query(sql.c_str()), 0) << sql;
  }
  AdminRun db_command(std::vector<std::string> args) {
    args.insert(args.begin(), "db");
    return admin(args, project.dir);
  }

  DB_CONN conn;
  orvex_test::TestDb db;
  TempProject project;
};

TEST_F(AdminDbTest, PingAnswersAndAWrongPasswordIsOneLine) {
  AdminRun r = db_command({"ping"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out.rfind(
          "database '" + db.name + "' on " + db.host_port() + " answers", 0),
      0u)
      << r.out;

  // No host: the library's default, here the test server's socket.
  write_settings(db.passwd, "");
  r = db_command({"ping"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out.rfind("database '" + db.name + "' on the default host answers", 0),
      0u)
      << r.out;

  // Each in open's own words; no word of encryption from a server without.
  struct {
    std::string passwd, host, reason;
  } failures[] = {
      {db.passwd + "-wrong", db.host_port(), "Access denied for user"},
      {db.passwd, "127.0.0.1:1", "Can't connect to server on '127.0.0.1'"},
      {db.passwd, "a,,b", "db_host: not a server list"},
  };
  for (const auto& f : failures) {
    write_settings(f.passwd, f.host);
    r = db_command({"ping"});
    EXPECT_TRUE(r.status == 1 && r.out.empty()) << r.out;
    std::string want = "orvex-admin: cannot connect to database '" + db.name +
                       "' on " + f.host + " as '" + db.user + "' (" + f.reason;
    EXPECT_EQ(r.err.substr(0, want.size()), want);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("encrypt"), std::string::npos) << r.err;
  }

  project.settings("");
  r = db_command({"counts"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orvex-admin: db_name is not set in ./config.xml\n");
}

TEST_F(AdminDbTest, CountsJobsOfAllOrOneApplication) {
  exec(
      "insert into workunit (id, name, appid) values (1, 'wu1', 1), "
      "(2, 'wu2', 1), (3, 'wu3', 7)");
  exec(
      "insert into result (id, name, workunitid, appid, server_state) values "
      "(11, 'r11', 1, 1, 2), (12, 'r12', 1, 1, 2), (13, 'r13', 1, 1, 4), "
      "(14, 'r14', 1, 1, 5), (21, 'r21', 2, 1, 2), (31, 'r31', 3, 7, 2), "
      "(32, 'r32', 3, 7, 4)");
  AdminRun all = db_command({"counts"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out,
            "workunits       3\nresults         7\nunsent results  4\n");
  AdminRun app = db_command({"counts", "--app", "7"});
  EXPECT_EQ(app.status, 0) << app.err;
  EXPECT_EQ(app.out,
            "application     7\nworkunits       1\nresults         2\n"
            "unsent results  1\n");
  AdminRun none = db_command({"counts", "--app=5"});
  EXPECT_EQ(none.out,
            "application     5\nworkunits       0\nresults         0\n"
            "unsent results  0\n");
  EXPECT_EQ(db_command({"counts", "--app", "7", "--json"}).out,
            "{\"application\": 7, \"workunits\": 1, \"results\": 2, "
            "\"unsent_results\": 1}\n");

  // The same counts for Prometheus, with the server's health; status sees
  // the server up and no daemon that should run.
  AdminRun m = admin({"metrics"}, project.dir);
  EXPECT_EQ(m.status, 0) << m.err;
  EXPECT_TRUE(promtool_accepts(m.out)) << m.out;
  const std::string of = "{project=\"" + project.dir + "\"";
  for (const std::string& sample :
       {"orvex_unsent_results" + of + "} 4\n",
        "orvex_results" + of + ",server_state=\"in_progress\"} 2\n",
        "orvex_workunits" + of + ",assimilate_state=\"0\"} 3\n",
        "orvex_db_server_up" + of + ",role=\"primary\",server=\"" +
            db.host_port() + "\"} 1\n",
        "orvex_status_problems" + of + "} 0\n"}) {
    EXPECT_NE(m.out.find(sample), std::string::npos) << sample << m.out;
  }
  AdminRun st = admin({"status"}, project.dir);
  EXPECT_EQ(st.status, 0) << st.err;
  EXPECT_NE(st.out.find("  primary  " + db.host_port()), std::string::npos)
      << st.out;
}

TEST_F(AdminDbTest, PerfSaysWhenTheDefaultsAreInUse) {
  for (int i = 1; i <= 9; i++) {
    exec("insert into host set p_fpops=" + std::to_string(i) + "e9");
  }
  AdminRun few = db_command({"perf"});
  EXPECT_EQ(few.status, 0) << few.err;
  EXPECT_EQ(few.out,
            "hosts         9\nfpops_mean    2200000000\n"
            "fpops_stddev  700000000\nfpops_p50     3300000000\n"
            "fpops_p95     3300000000\nsource        defaults (fewer than 10 "
            "hosts)\n");

  exec("insert into host set p_fpops=10e9");
  AdminRun many = db_command({"perf"});
  EXPECT_EQ(many.status, 0) << many.err;
  std::vector<std::string> lines = lines_of(many.out);
  ASSERT_EQ(lines.size(), 6u) << many.out;
  EXPECT_EQ(lines[0], "hosts         10");
  EXPECT_EQ(lines[1], "fpops_mean    5500000000");
  EXPECT_EQ(lines[3], "fpops_p50     5000000000");
  EXPECT_EQ(lines[4], "fpops_p95     10000000000");
  EXPECT_EQ(lines[5], "source        the host table");
}

#endif  // ORVEX_ADMIN_DB_TESTS

}  // namespace
