// The sample daemon as an operator runs it: in a real project directory,
// against the private server, stopped by the trigger file; a second copy is
// refused while the first runs.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_db.h"
#include "db_schema.h"
#include "test_util.h"

namespace {

using orvex_test::read_file;

// Starts the daemon with the project named by the environment; its standard
// error goes to err_path.
pid_t start_daemon(const std::string& project, const std::string& err_path,
                   const char* extra = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("ORVEX_PROJECT_DIR", project.c_str(), 1);
    FILE* err = freopen(err_path.c_str(), "w", stderr);
    (void)err;
    execl(SAMPLE_DAEMON, SAMPLE_DAEMON, "--sleep", "1", extra, nullptr);
    _exit(127);
  }
  return pid;
}

// Starts the daemon with args and the project named by the environment,
// its standard error in err_path, and waits up to `seconds` for it (killed
// after that). Its wait status, or -1 when it had to be killed.
int run_daemon(const std::string& project, std::vector<const char*> args,
               const std::string& err_path, double seconds);

// Waits up to `seconds` for the child; its wait status, or -1 on time-out.
int wait_for(pid_t pid, double seconds) {
  auto end = std::chrono::steady_clock::now() +
             std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

int run_daemon(const std::string& project, std::vector<const char*> args,
               const std::string& err_path, double seconds) {
  args.insert(args.begin(), SAMPLE_DAEMON);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("ORVEX_PROJECT_DIR", project.c_str(), 1);
    FILE* err = freopen(err_path.c_str(), "w", stderr);
    (void)err;
    execv(SAMPLE_DAEMON, const_cast<char* const*>(args.data()));
    _exit(127);
  }
  int status = wait_for(pid, seconds);
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return status;
}

}  // namespace

TEST(SampleDaemon, CountsPassesRefusesASecondCopyAndStopsOnTheTrigger) {
  DB_CONN conn;
  ORVEX_OPEN_TEST_DB(conn);
  struct Closer {
    DB_CONN& conn;
    ~Closer() { conn.close(); }
  } closer{conn};
  ASSERT_TRUE(orvex_test::create_schema(conn));
  ASSERT_EQ(conn.do_query("insert into result (name, server_state, appid) values "
                          "('r1', 2, 1), ('r2', 2, 1), ('r3', 2, 7), ('r4', 5, 7)"),
            0);
  orvex_test::TestDb db;
  std::string why;
  ASSERT_TRUE(orvex_test::load_test_db(db, why)) << why;

  char tmpl[] = "/tmp/orvex_sample_daemon_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string project = tmpl;
  ASSERT_EQ(mkdir((project + "/cgi-bin").c_str(), 0755), 0);
  {
    std::ofstream cfg(project + "/config.xml");
    cfg << "<orvex><config>\n<db_name>" << db.name << "</db_name>\n<db_host>"
        << db.host_port() << "</db_host>\n<db_user>" << db.user
        << "</db_user>\n<db_passwd>" << db.passwd << "</db_passwd>\n"
        << "</config></orvex>\n";
  }

  pid_t first = start_daemon(project, project + "/first.err");
  ASSERT_GT(first, 0);
  // The log lies in log_<short host name>/ under the project directory.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string log_path = project + "/log_" +
                         std::string(host, strcspn(host, ".")) +
                         "/sample_daemon.log";
  std::string log;
  for (int i = 0; i < 250 && log.find("pass 2:") == std::string::npos; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = read_file(log_path);
  }
  EXPECT_NE(log.find("pass 1: 3 unsent results in 2 applications\n"),
            std::string::npos) << log << read_file(project + "/first.err");
  EXPECT_EQ(read_file(project + "/sample_daemon.pid"),
            std::to_string(first) + "\n");

  // Rotated with copytruncate: the log is opened for appending, so the next
  // pass's line lands at the start of the emptied file, not after a hole of
  // NUL bytes. Passes are a second apart; 10 s is the margin of a busy
  // 2-core machine.
  ASSERT_EQ(truncate(log_path.c_str(), 0), 0);
  log.clear();
  for (int i = 0; i < 500 && log.find("unsent results") == std::string::npos; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = read_file(log_path);
  }
  EXPECT_EQ(log.rfind("20", 0), 0u) << "starts with a time stamp";
  EXPECT_EQ(log.find('\0'), std::string::npos);

  // A second copy finds the lock held and names the holder.
  pid_t second = start_daemon(project, project + "/second.err", "--once");
  int status = wait_for(second, 10);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(read_file(project + "/second.err"),
            "sample-daemon: another copy is running (pid " +
                std::to_string(first) + ")\n");

  // The trigger file ends the first within about a second, with status 0.
  std::ofstream(project + "/stop_daemons").close();
  status = wait_for(first, 5);
  if (status == -1) kill(first, SIGKILL);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(read_file(log_path).find("Quitting because trigger file '" +
                                     project + "/stop_daemons' is present\n"),
            std::string::npos);
  ASSERT_EQ(system(("rm -rf '" + project + "'").c_str()), 0);
}

// --- Command lines and start-up failures an operator meets ---

// A project whose settings are `settings`, in a fresh temporary directory.
class DaemonProject {
 public:
  explicit DaemonProject(const std::string& settings) : dir("orvex_sample_start") {
    mkdir((dir.path() + "/cgi-bin").c_str(), 0755);
    orvex_test::write_file(dir.path() + "/config.xml", settings);
  }
  std::string log() const {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return read_file(dir.path() + "/log_" + std::string(host, strcspn(host, ".")) +
                     "/sample_daemon.log");
  }
  orvex_test::TempDir dir;
};

TEST(SampleDaemon, RefusesBadNumbersWithUsageAndStatusTwo) {
  // atoi took each of these as a sleep of 0 (or 5): a busy loop of passes.
  // The margin of 10 s only matters when the check is missing.
  struct Line {
    std::vector<const char*> args;
    const char* named;  // what the refusal names
  };
  const Line lines[] = {
      {{"--sleep", "abc"}, "--sleep abc"}, {{"--sleep", "0"}, "--sleep 0"},
      {{"--sleep", "-5"}, "--sleep -5"},   {{"--sleep", "5x"}, "--sleep 5x"},
      {{"--sleep", ""}, "--sleep "},       {{"-sleep", "99999999999"}, "-sleep 99999999999"},
      {{"--sleep"}, "--sleep"},            {{"-d", "debug"}, "-d debug"},
      {{"-d", "7"}, "-d 7"},               {{"--once", "--bogus", "1"}, "--bogus"}};
  DaemonProject p("<orvex><config></config></orvex>\n");
  std::string err_path = p.dir.path() + "/err";
  for (const Line& line : lines) {
    int status = run_daemon(p.dir.path(), line.args, err_path, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << line.named << ": " << status;
    EXPECT_EQ(read_file(err_path),
              std::string("sample-daemon: bad argument: ") + line.named +
                  "\nusage: sample-daemon [--sleep SECONDS] [--once] [-d LEVEL] "
                  "(SECONDS from 1 to 86400, LEVEL from 1 to 3)\n");
  }
  EXPECT_EQ(p.log(), "");  // refused before it started anything
}

TEST(SampleDaemon, StartUpFailuresReachTheTerminalAndTheLog) {
  orvex_test::TestDb db;
  std::string why;
  ASSERT_TRUE(orvex_test::load_test_db(db, why)) << why;
  struct Case {
    std::string settings;
    std::string terminal;  // the last line of standard error
    bool logged;           // also in the per-host log
  };
  const Case cases[] = {
      {"<orvex><config>\n",
       "sample-daemon: cannot load the settings from {P}/config.xml: XML input error", false},
      {"<orvex><config><db_name>" + db.name + "</db_name><db_host>" + db.host_port() +
           "</db_host><db_user>" + db.user + "</db_user><db_passwd>wrong-" + db.passwd +
           "</db_passwd></config></orvex>\n",
       "sample-daemon: cannot open database '" + db.name + "' on " + db.host_port() +
           " as '" + db.user + "': database connect failed",
       true},
  };
  for (const Case& k : cases) {
    DaemonProject p(k.settings);
    std::string err_path = p.dir.path() + "/err", terminal = k.terminal;
    size_t at = terminal.find("{P}");
    if (at != std::string::npos) terminal.replace(at, 3, p.dir.path());
    int status = run_daemon(p.dir.path(), {"--once"}, err_path, 20);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::string err = read_file(err_path);
    EXPECT_NE(err.find(terminal + "\n"), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1), terminal + "\n") << err;
    std::string logged = k.terminal.substr(strlen("sample-daemon: "));
    EXPECT_EQ(p.log().find("[CRITICAL] " + logged + "\n") != std::string::npos, k.logged)
        << p.log();
  }
}
