// The sample daemon as an operator runs it: in a real project directory,
// against the private server, stopped by the trigger file; a second copy is
// refused while the first runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db_schema.h"
#include "test_db.h"
#include "test_util.h"

namespace {

using orvex_test::read_file;

// Starts the daemon with args and the project named by the environment; its
// standard error goes to err_path.
pid_t start_daemon(const std::string& project, const std::string& err_path,
                   std::vector<const char*> args = {"--sleep", "1"}) {
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
  return pid;
}

// Waits up to `seconds` for the child; its wait status, or -1 on time-out
// (the child is then killed).
int wait_for(pid_t pid, double seconds) {
  auto end = std::chrono::steady_clock::now() +
             std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// The daemon's log: in log_<short host name>/ under the project directory.
std::string log_path_of(const std::string& project) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return project + "/log_" + std::string(host, strcspn(host, ".")) +
         "/sample_daemon.log";
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
  ASSERT_EQ(
      conn.do_query("insert into result (name, server_state, appid) values "
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
  std::string log_path = log_path_of(project);
  std::string log;
  for (int i = 0; i < 250 && log.find("pass 2:") == std::string::npos; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = read_file(log_path);
  }
  EXPECT_NE(log.find("pass 1: 3 unsent results in 2 applications\n"),
            std::string::npos)
      << log << read_file(project + "/first.err");
  EXPECT_EQ(read_file(project + "/sample_daemon.pid"),
            std::to_string(first) + "\n");

  // Rotated with copytruncate: the log is opened for appending, so the next
  // pass's line lands at the start of the emptied file, not after a hole of
  // NUL bytes. Passes are a second apart; 10 s is the margin of a busy
  // 2-core machine.
  ASSERT_EQ(truncate(log_path.c_str(), 0), 0);
  log.clear();
  for (int i = 0; i < 500 && log.find("unsent results") == std::string::npos;
       i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = read_file(log_path);
  }
  EXPECT_EQ(log.rfind("20", 0), 0u) << "starts with a time stamp";
  EXPECT_EQ(log.find('\0'), std::string::npos);

  // A second copy finds the lock held and names the holder.
  pid_t second = start_daemon(project, project + "/second.err",
                              {"--sleep", "1", "--once"});
  int status = wait_for(second, 10);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(read_file(project + "/second.err"),
            "sample-daemon: another copy is running (pid " +
                std::to_string(first) + ")\n");

  // The trigger file ends the first within about a second, with status 0.
  std::ofstream(project + "/stop_daemons").close();
  status = wait_for(first, 5);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(read_file(log_path).find("Quitting because trigger file '" +
                                     project + "/stop_daemons' is present\n"),
            std::string::npos);
  EXPECT_FALSE(std::ifstream(project + "/sample_daemon.pid").good());
  ASSERT_EQ(system(("rm -rf '" + project + "'").c_str()), 0);
}

// --- Command lines and start-up failures an operator meets ---

TEST(SampleDaemon, RefusesBadNumbersWithUsageAndStatusTwo) {
  // atoi took each of these as a sleep of 0 (or 5): a busy loop of passes.
  // The margin of 10 s only matters when the check is missing.
  struct Line {
    std::vector<const char*> args;
    const char* named;  // what the refusal names
  };
  const Line lines[] = {{{"--sleep", "abc"}, "--sleep abc"},
                        {{"--sleep", "0"}, "--sleep 0"},
                        {{"--sleep", "-5"}, "--sleep -5"},
                        {{"--sleep", "5x"}, "--sleep 5x"},
                        {{"--sleep", ""}, "--sleep "},
                        {{"-sleep", "99999999999"}, "-sleep 99999999999"},
                        {{"--sleep"}, "--sleep"},
                        {{"-d", "debug"}, "-d debug"},
                        {{"-d", "7"}, "-d 7"},
                        {{"--once", "--bogus", "1"}, "--bogus"}};
  orvex_test::TempDir p("orvex_sample_args");
  mkdir((p.path() + "/cgi-bin").c_str(), 0755);
  orvex_test::write_file(p.path() + "/config.xml", "<orvex><config>\n");
  std::string err_path = p.path() + "/err";
  for (const Line& line : lines) {
    int status = wait_for(start_daemon(p.path(), err_path, line.args), 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << line.named;
    EXPECT_EQ(read_file(err_path),
              std::string("sample-daemon: bad argument: ") + line.named +
                  "\nusage: sample-daemon [--sleep SECONDS] [--once] "
                  "[-d LEVEL] (SECONDS from 1 to 86400, LEVEL from 1 to 3)\n");
  }
}

TEST(SampleDaemon, StartUpFailuresReachTheTerminalAndTheLog) {
  orvex_test::TestDb db;
  std::string why;
  ASSERT_TRUE(orvex_test::load_test_db(db, why)) << why;
  const std::string wrong_password = "<orvex><config><db_name>" + db.name +
                                     "</db_name><db_host>" + db.host_port() +
                                     "</db_host><db_user>" + db.user +
                                     "</db_user><db_passwd>wrong-" + db.passwd +
                                     "</db_passwd></config></orvex>";
  struct Case {
    std::string settings;
    std::string said;  // the last line on the terminal starts so, after
                       // "sample-daemon: "
    bool logged;       // also in the per-host log (opened after the settings)
  };
  const Case cases[] = {
      {"<orvex><config>\n",
       "cannot load the settings from {P}/config.xml: XML input error", false},
      {wrong_password,
       "cannot open database '" + db.name + "' on " + db.host_port() + " as '" +
           db.user + "': database connect failed (" + db.host_port() +
           ": Access denied for user",
       true}};
  for (const Case& k : cases) {
    orvex_test::TempDir p("orvex_sample_start");
    mkdir((p.path() + "/cgi-bin").c_str(), 0755);
    orvex_test::write_file(p.path() + "/config.xml", k.settings);
    std::string said = k.said, err_path = p.path() + "/err";
    if (said.find("{P}") != std::string::npos) {
      said.replace(said.find("{P}"), 3, p.path());
    }
    int status = wait_for(start_daemon(p.path(), err_path, {"--once"}), 20);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::string err = read_file(err_path);
    EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1)
                  .rfind("sample-daemon: " + said, 0),
              0u)
        << err;
    EXPECT_EQ(read_file(log_path_of(p.path())).find("[CRITICAL] " + said) !=
                  std::string::npos,
              k.logged);
  }
}
