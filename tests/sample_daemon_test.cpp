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
