// Access to the private replica pair and Galera cluster of the tests,
// started by scripts/test-cluster.sh (ctest fixture orvex_cluster), which
// writes cluster.env. Nodes: PRIMARY, REPLICA, GALERA1..3.
//
// In a fixture's SetUp: ORVEX_NEED_CLUSTER(); then open_node(conn, "GALERA1").
// Without the cluster the test fails when CI=true and is skipped otherwise.
// Changes that must be undone however a test ends: Undo.
#ifndef ORVEX_TESTS_TEST_CLUSTER_H
#define ORVEX_TESTS_TEST_CLUSTER_H

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "test_db.h"
#include "test_util.h"

#ifndef ORVEX_TEST_CLUSTER_ENV_FILE
#define ORVEX_TEST_CLUSTER_ENV_FILE ""
#endif

namespace orvex_test {

// KEY=VALUE of cluster.env, read once; empty when there is none.
inline std::map<std::string, std::string>& cluster_env() {
  static std::map<std::string, std::string> env = [] {
    std::map<std::string, std::string> e;
    const char* path = getenv("ORVEX_TEST_CLUSTER_ENV");
    std::ifstream in(path && *path ? path : ORVEX_TEST_CLUSTER_ENV_FILE);
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) e[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return e;
  }();
  return env;
}

// "127.0.0.1:<port>" of node.
inline std::string node_host(const std::string& node) {
  return "127.0.0.1:" + cluster_env()[node + "_PORT"];
}

// Opens conn to hosts (a server list) as the test user: open's result.
inline int open_hosts(DB_CONN& conn, const std::string& hosts) {
  auto& env = cluster_env();
  return conn.open(env["DB_NAME"].c_str(), hosts.c_str(),
                   env["DB_USER"].c_str(), env["DB_PASSWD"].c_str());
}

// Opens conn to node as the test user: open's result.
inline int open_node(DB_CONN& conn, const std::string& node) {
  return open_hosts(conn, node_host(node));
}

// Runs sql as root on node over its socket; true when it succeeded.
inline bool node_as_root(const std::string& node, const std::string& sql) {
  std::string cmd = "mariadb --no-defaults -uroot --socket='" +
                    cluster_env()[node + "_SOCKET"] + "' -e \"" + sql + "\"";
  return system(cmd.c_str()) == 0;
}

// Runs "test-cluster.sh VERB NODES STATE" (kill or restart, NODES such as
// "galera2,galera3") on the fixture's cluster; true when it succeeded.
inline bool cluster_script(const std::string& verb, const std::string& nodes) {
  const char* path = getenv("ORVEX_TEST_CLUSTER_ENV");
  std::string env = path && *path ? path : ORVEX_TEST_CLUSTER_ENV_FILE;
  std::string state = env.substr(0, env.rfind('/'));
  std::string cmd = "bash '" ORVEX_SOURCE_ROOT "/scripts/test-cluster.sh' " +
                    verb + " " + nodes + " '" + state + "'";
  return system(cmd.c_str()) == 0;
}

// Runs undo at now() or when it goes, however the test ends: a global
// setting put back, a node frozen by cluster_script("freeze") thawed.
struct Undo {
  ~Undo() { EXPECT_TRUE(now()); }
  bool now() {
    std::function<bool()> u = std::move(undo);
    undo = nullptr;
    return !u || u();
  }
  std::function<bool()> undo;
};

#ifdef ORVEX_ADMIN
// orvex-admin db ping ARGS for db_host main: its status; out, its output.
inline int admin_ping(const std::string& main, const std::string& replica,
                      const std::string& args, std::string& out) {
  TempDir dir("orvex_ping");
  auto& env = cluster_env();
  mkdir((dir.path() + "/cgi-bin").c_str(), 0755);
  write_file(dir.path() + "/config.xml",
             "<orvex><config><db_name>" + env["DB_NAME"] +
                 "</db_name><db_host>" + main + "</db_host><db_user>" +
                 env["DB_USER"] + "</db_user><db_passwd>" + env["DB_PASSWD"] +
                 "</db_passwd><replica_db_host>" + replica +
                 "</replica_db_host></config></orvex>\n");
  int status = system(("'" ORVEX_ADMIN "' --project '" + dir.path() +
                       "' db ping " + args + " >" + dir.path() + "/out 2>&1")
                          .c_str());
  out = read_file(dir.path() + "/out");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace orvex_test

#define ORVEX_NEED_CLUSTER()                                           \
  do {                                                                 \
    if (::orvex_test::cluster_env().count("GALERA1_PORT") == 0) {      \
      if (::orvex_test::in_ci()) FAIL() << "no cluster (cluster.env)"; \
      GTEST_SKIP() << "no cluster: run with ctest -L cluster";         \
    }                                                                  \
  } while (0)

#endif
