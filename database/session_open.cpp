#include "database/session_open.h"

#include <dirent.h>
#include <errmsg.h>
#include <mysqld_error.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/error_numbers.h"
#include "database/db_conn.h"
#include "database/readiness.h"
#include "database/session_changes.h"

namespace {

const char* const kOptionGroup = "orvex";

void set_flag(MYSQL* m, mysql_option option, bool on) {
  my_bool value = on ? 1 : 0;
  mysql_optionsv(m, option, &value);
}

bool flag_of(MYSQL* m, mysql_option option) {
  my_bool value = 0;
  mysql_get_optionv(m, option, &value);
  return value != 0;
}

bool tls_asked(MYSQL* m) {
  for (mysql_option o :
       {MYSQL_OPT_SSL_CA, MYSQL_OPT_SSL_CAPATH, MYSQL_OPT_SSL_CERT,
        MYSQL_OPT_SSL_KEY, MYSQL_OPT_SSL_CIPHER, MYSQL_OPT_SSL_CRL,
        MYSQL_OPT_SSL_CRLPATH}) {
    const char* value = nullptr;
    mysql_get_optionv(m, o, &value);
    if (value && *value) return true;
  }
  return false;
}

bool use_option_file(MYSQL* m, const SESSION_PLAN& plan) {
  return plan.option_file.empty() ||
         (mysql_optionsv(m, MYSQL_READ_DEFAULT_FILE,
                         plan.option_file.c_str()) == 0 &&
          mysql_optionsv(m, MYSQL_READ_DEFAULT_GROUP, kOptionGroup) == 0);
}

// How many init commands the session ran: ours, then the option file's.
unsigned init_commands(MYSQL* m) {
  char** commands = nullptr;
  unsigned count = 0;
  mysql_get_optionv(m, MYSQL_INIT_COMMAND, &commands, &count);
  return count;
}

// What the option file's own text says of the server name's check, in the
// groups the client library reads with ours: "off" for 0, off, false or no;
// "on" for the bare key or 1; anything else as written; "" when it says
// nothing. Included files are read too (four levels deep at most). Only
// this one key is read here: the library reads the rest, and reads some of
// these words otherwise (=on as off).
std::string name_check_word(const std::string& path, int depth = 0) {
  std::string word;
  FILE* f = depth < 4 ? fopen(path.c_str(), "r") : nullptr;
  if (!f) return word;
  bool ours = false;
  char line[4096];
  while (fgets(line, sizeof line, f)) {
    std::string text = line;
    size_t b = text.find_first_not_of(" \t\r\n");
    size_t e = text.find_last_not_of(" \t\r\n");
    text = b == std::string::npos ? "" : text.substr(b, e - b + 1);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text[0] == '[') {
      std::string group = text.substr(1, text.find(']') - 1);
      ours = group == "client" || group == "client-server" ||
             group == "client-mariadb" || group == kOptionGroup;
      continue;
    }
    std::string nested;
    if (text.compare(0, 9, "!include ") == 0) {
      nested = name_check_word(text.substr(9), depth + 1);
    } else if (text.compare(0, 12, "!includedir ") == 0) {
      DIR* dir = opendir(text.substr(12).c_str());
      while (struct dirent* d = dir ? readdir(dir) : nullptr) {
        std::string n = d->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".cnf") == 0) {
          std::string w = name_check_word(text.substr(12) + "/" + n, depth + 1);
          if (!w.empty()) nested = w;
        }
      }
      if (dir) closedir(dir);
    }
    if (!nested.empty()) word = nested;
    if (!ours) continue;
    size_t eq = text.find('=');
    std::string key = text.substr(0, eq);
    key.erase(key.find_last_not_of(" \t") + 1);
    for (char& c : key) c = c == '_' ? '-' : c;
    if (key != "ssl-verify-server-cert") continue;
    std::string value = eq == std::string::npos ? "1" : text.substr(eq + 1);
    value.erase(0, value.find_first_not_of(" \t\"'"));
    value.erase(value.find_last_not_of(" \t\"'") + 1);
    for (char& c : value) c = static_cast<char>(tolower(c));
    word = value == "0" || value == "off" || value == "false" || value == "no"
               ? "off"
           : value == "1" ? "on"
                          : value;
  }
  fclose(f);
  return word;
}

}  // namespace

int read_option_file(SESSION_PLAN& plan, std::string& why) {
  const char* file = getenv(DB_OPTION_FILE_ENV);
  plan.option_file = file ? file : "";
  plan.tls = plan.name_check_off = false;
  if (plan.option_file.empty()) return 0;
  struct stat st;
  errno = 0;
  if (stat(file, &st) != 0 || access(file, R_OK) != 0 || !S_ISREG(st.st_mode)) {
    why = std::string(DB_OPTION_FILE_ENV) + "=" + file + ": " +
          (errno ? strerror(errno) : "not a regular file");
    return ERR_DB_CONNECT;
  }
  MYSQL* m = mysql_init(nullptr);
  if (!m) {
    why = "the client library gives no handle";
    return ERR_DB_INIT;
  }
  // The check is set first, so that it stays on unless the file turns it
  // off in so many words. The options are kept after the failed connect.
  set_flag(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, true);
  // Bounds of 0 mean "not set by the file".
  unsigned zero = 0;
  mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &zero);
  mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &zero);
  if (use_option_file(m, plan)) {
    mysql_real_connect(m, "127.0.0.1", "", "", nullptr, 1,
                       "/nonexistent/orvex-option-file-probe",
                       CLIENT_REMEMBER_OPTIONS);
  }
  plan.tls = tls_asked(m);
  // The file's words and the library's reading of them must agree: a word
  // the library reads as off and the operator did not mean so is refused,
  // before any connection could take an unchecked server.
  std::string word = name_check_word(plan.option_file);
  bool library_off = !flag_of(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT);
  if (library_off && word != "off") {
    mysql_close(m);
    why = std::string(DB_OPTION_FILE_ENV) + "=" + file +
          ": ssl-verify-server-cert=" + word +
          " would leave the server's name unchecked; write "
          "ssl-verify-server-cert=1, or =0 to turn the check off";
    return ERR_DB_CONNECT;
  }
  plan.name_check_off = plan.tls && word == "off";
  unsigned connect = 0, read = 0;
  mysql_get_optionv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect);
  mysql_get_optionv(m, MYSQL_OPT_READ_TIMEOUT, &read);
  if (connect) plan.connect_bound = connect;
  if (read) plan.wait_bound = read;
  mysql_close(m);
  return 0;
}

bool silent_error(unsigned err) {
  return err == CR_CONNECTION_ERROR || err == CR_CONN_HOST_ERROR ||
         err == CR_SERVER_LOST || err == CR_SERVER_GONE_ERROR ||
         err == CR_SERVER_LOST_EXTENDED;
}

int session_wait(MYSQL* m, int status, int ms) {
  struct pollfd p = {static_cast<int>(mysql_get_socket(m)), 0, 0};
  if (status & MYSQL_WAIT_READ) p.events |= POLLIN;
  if (status & MYSQL_WAIT_WRITE) p.events |= POLLOUT;
  if (status & MYSQL_WAIT_EXCEPT) p.events |= POLLPRI;
  int n;
  do {
    n = poll(&p, 1, ms);  // a signal's interruption waits the bound anew
  } while (n < 0 && errno == EINTR);
  if (n == 0) return MYSQL_WAIT_TIMEOUT;
  int ready = 0;
  if (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
    ready |= MYSQL_WAIT_READ;  // the library then reads the error
  }
  if (p.revents & POLLOUT) ready |= MYSQL_WAIT_WRITE;
  if (p.revents & POLLPRI) ready |= MYSQL_WAIT_EXCEPT;
  return ready ? ready : status;
}

namespace {

// Milliseconds until a deadline on the monotonic clock.
struct DEADLINE {
  struct timespec at;
  explicit DEADLINE(unsigned seconds) {
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += seconds;
  }
  long long left() const {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (at.tv_sec - now.tv_sec) * 1000LL +
           (at.tv_nsec - now.tv_nsec) / 1000000;
  }
};

// Runs a non-blocking call of the client library to its end (start gives
// the first status, next each later one) before the deadline; false when
// it ran out.
template <typename START, typename NEXT>
bool finish_within(MYSQL* m, const DEADLINE& deadline, START start, NEXT next) {
  int status = start();
  while (status) {
    long long left = deadline.left();
    int ready = left > 0 ? session_wait(m, status, static_cast<int>(left))
                         : MYSQL_WAIT_TIMEOUT;
    if (ready == MYSQL_WAIT_TIMEOUT) return false;
    status = next(ready);
  }
  return true;
}

// mysql_real_connect on a non-blocking handle, within one deadline for the
// TCP connect, the greeting and the login together: the library's own
// timeouts bound each step alone, and a server whose listen queue is full
// costs SYN retries before its greeting is even waited for. False when the
// deadline passed; else *connected says how it ended (the reason in m).
bool connect_within(MYSQL* m, const SESSION_PLAN& plan, const DB_SERVER& server,
                    const char* name, unsigned long flags,
                    const DEADLINE& deadline, MYSQL** connected) {
  *connected = nullptr;
  return finish_within(
      m, deadline,
      [&] {
        return mysql_real_connect_start(
            connected, m, server.default_host ? nullptr : server.host.c_str(),
            plan.null_user ? nullptr : plan.user.c_str(),
            plan.null_passwd ? nullptr : plan.passwd.c_str(), name, server.port,
            nullptr, flags);
      },
      [&](int ready) { return mysql_real_connect_cont(connected, m, ready); });
}

// Whether the connected session m answers the causal read before the
// deadline. A refusal of the server's own (no such variable: a server
// without wsrep support) counts as an answer; a lost session, a timed-out
// wait for the cluster (1205) or a node that is not ready (1047) do not.
bool serves_within(MYSQL* m, const DEADLINE& deadline) {
  int err = 0;
  size_t n = strlen(DB_CAUSAL_PROBE);
  if (!finish_within(
          m, deadline,
          [&] { return mysql_real_query_start(&err, m, DB_CAUSAL_PROBE, n); },
          [&](int ready) { return mysql_real_query_cont(&err, m, ready); })) {
    return false;
  }
  if (err) {
    unsigned e = mysql_errno(m);
    return !silent_error(e) && e != ER_LOCK_WAIT_TIMEOUT &&
           e != ER_UNKNOWN_COM_ERROR;
  }
  MYSQL_RES* res = nullptr;
  bool read = finish_within(
      m, deadline, [&] { return mysql_store_result_start(&res, m); },
      [&](int ready) { return mysql_store_result_cont(&res, m, ready); });
  mysql_free_result(res);
  return read;
}

}  // namespace

bool server_answers(const SESSION_PLAN& plan, const DB_SERVER& server) {
  MYSQL* m = mysql_init(nullptr);
  if (!m) return true;  // no way to ask: keep waiting
  unsigned bound = plan.connect_bound;
  if (mysql_optionsv(m, MYSQL_OPT_NONBLOCK, 0) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &bound) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &bound) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &bound) != 0) {
    mysql_close(m);
    return true;  // no way to ask: keep waiting
  }
  DEADLINE deadline(bound);
  MYSQL* connected = nullptr;
  bool answered =
      connect_within(m, plan, server, nullptr, 0, deadline, &connected) &&
      (connected || !silent_error(mysql_errno(m)));
  if (connected) answered = serves_within(m, deadline);
  if (!answered) session_cut(m);  // nothing more is waited for
  mysql_close(m);
  return answered;
}

namespace {

constexpr int FOLDED_SETUP_REFUSED = 2;  // open_try: ask the probe instead

// open_session with init as the set-up statement, within deadline. folded:
// init is readiness_setup's, so its success is the probe's DB_READY, and
// its refusal FOLDED_SETUP_REFUSED; else a probed session runs the probe.
int open_try(const SESSION_PLAN& plan, const DB_SERVER& server,
             SESSION_CHANGES& changes, const std::string& init, bool folded,
             const DEADLINE& deadline, MYSQL** out, std::string& why,
             bool* answered) {
  *answered = false;
  MYSQL* m = mysql_init(nullptr);
  if (!m) {
    why = "the client library gives no handle";
    return ERR_DB_INIT;
  }
  auto fail = [&](const std::string& reason) {
    why = reason;
    session_cut(m);  // nothing more is waited for
    mysql_close(m);
    return ERR_DB_CONNECT;
  };
  // The library's own bounds hold for its blocking calls (the probes after
  // the connect; a program's own mysql_store_result on the handle).
  unsigned connect = plan.connect_bound, wait = plan.wait_bound;
  if (mysql_optionsv(m, MYSQL_OPT_NONBLOCK, 0) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &wait) != 0 ||
      mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &wait) != 0) {
    return fail(mysql_error(m));
  }

  if (mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, DB_CONN_CHARSET) != 0 ||
      mysql_optionsv(m, MYSQL_INIT_COMMAND, init.c_str()) != 0) {
    return fail(mysql_error(m));
  }
  set_flag(m, MYSQL_OPT_RECONNECT, false);
  if (plan.tls) set_flag(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, true);
  if (!use_option_file(m, plan)) return fail(mysql_error(m));

  if (g_print_queries) fprintf(stderr, "query: %s\n", init.c_str());
  const char* name = changes.database();
  if (!name && !plan.null_name) name = plan.name.c_str();
  MYSQL* connected = nullptr;
  // One bound for the connect, the greeting, the login and the set-up.
  if (!connect_within(m, plan, server, name, CLIENT_FOUND_ROWS, deadline,
                      &connected)) {
    return fail("no answer within " + std::to_string(connect) +
                " s (the connect bound)");
  }
  *answered = connected || !silent_error(mysql_errno(m));
  if (!connected && folded && readiness_setup_refused(mysql_errno(m))) {
    fail(mysql_error(m));
    return FOLDED_SETUP_REFUSED;
  }
  if (!connected) {
    // A server that requires TLS refuses a plain connection with the very
    // error of a wrong password (1045); said only where it may be so: the
    // connection went out plain to a server whose greeting offered TLS.
    unsigned long caps = 0;
    bool maybe_tls =
        !plan.tls && mysql_errno(m) == ER_ACCESS_DENIED_ERROR &&
        mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_CAPABILITIES, &caps) ==
            0 &&
        (caps & CLIENT_SSL);
    return fail(std::string(mysql_error(m)) +
                (maybe_tls ? " (or, since this connection was not encrypted "
                             "and the server offers TLS: the server requires "
                             "secure transport, which it answers with this "
                             "same error; see ORVEX_DB_OPTION_FILE)"
                           : ""));
  }
  // The option file may say reconnect=1: the library would then replace a
  // lost session by itself, without the program's changes.
  set_flag(m, MYSQL_OPT_RECONNECT, false);

  // Our init command ran first, so what follows is the option file's doing.
  unsigned flags = session_status(m);
  if (flags & SERVER_STATUS_NO_BACKSLASH_ESCAPES) {
    fprintf(stderr,
            "Database error: an init command of the option file set "
            "NO_BACKSLASH_ESCAPES, under which escaped texts are unsafe\n");
    return fail("NO_BACKSLASH_ESCAPES after the init commands");
  }
  if (strcmp(mysql_character_set_name(m), DB_CONN_CHARSET) != 0) {
    return fail(std::string("the option file changed the character set to ") +
                mysql_character_set_name(m));
  }
  if (flags & SERVER_STATUS_IN_TRANS) {
    return fail("an init command of the option file left a transaction open");
  }
  std::string what;
  if (const char* refused = changes.read(m, false, &what)) {
    return fail("the option file's init command set " + what + ": " + refused);
  }
  // Several statements in one would run some unseen by the reports.
  unsigned long caps = 0;
  mariadb_get_infov(m, MARIADB_CONNECTION_CLIENT_CAPABILITIES, &caps);
  if (caps & CLIENT_MULTI_STATEMENTS) {
    return fail(
        "the option file allows several statements in one "
        "(multi-statements), whose changes the layer cannot see");
  }
  if (init_commands(m) > 1) {
    // The file's init commands ran after the set-up: the program's changes
    // go on top again, then the session is asked for its values, since
    // only the last init command's reports reach the client.
    std::string carried;
    if (changes.carried_statement(carried)) {
      if (g_print_queries) fprintf(stderr, "query: %s\n", carried.c_str());
      if (mysql_query(m, carried.c_str())) return fail(mysql_error(m));
    }
    const char* refused = nullptr;
    SESSION_CHANGES::Verdict v = changes.verify(m, &refused, &what);
    if (v == SESSION_CHANGES::kFailed) return fail(mysql_error(m));
    if (v == SESSION_CHANGES::kUnsafe) {
      return fail("the option file's init commands set " + what + ": " +
                  refused);
    }
  }
  // The name check can be off only by the file's own word (see
  // read_option_file); TLS the layer did not see asked for is refused too.
  DB_TLS tls = session_tls(m);
  if (plan.tls && tls == DB_TLS_NONE) {
    return fail("the option file asks for TLS, and the session is plain");
  }
  if (tls != DB_TLS_NONE && !plan.name_check_off &&
      !flag_of(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT)) {
    return fail(
        "encrypted, but the server's name was not checked; give ssl-ca in "
        "the option file, or turn the check off with "
        "ssl-verify-server-cert=0");
  }
  int retval = 0;
  // The fold judged the session before the option file's init commands,
  // which may change it again (a SUPER user's wsrep_on=OFF).
  if ((!folded || init_commands(m) > 1) && (plan.list || changes.causal())) {
    DB_READINESS ready;
    DB_VERDICT verdict = probe_readiness(m, changes.causal(), false, ready);
    if (verdict == DB_NOT_READY) return fail(ready.reason);
    if (verdict == DB_LAST_RESORT) {
      why = ready.reason;
      retval = SESSION_LAST_RESORT;
    }
  }
  *out = m;
  return retval;
}

}  // namespace

int open_session(const SESSION_PLAN& plan, const DB_SERVER& server,
                 SESSION_CHANGES& changes, MYSQL** out, std::string& why,
                 bool* answered) {
  std::string setup;
  changes.setup_statement(setup);
  // A probed session's probe rides in its set-up statement. A node that
  // refuses it is opened again, set up plainly, for probe_readiness to say
  // why (or to take a desynced node as a last resort), within the same
  // bound. The fold reads wsrep_on before the set-up's own changes apply,
  // so a carried wsrep_on is left to the probe.
  DEADLINE deadline(plan.connect_bound);
  if ((plan.list || changes.causal()) && !changes.carries("wsrep_on")) {
    std::string folded = readiness_setup(setup, changes.causal());
    int retval = folded.empty() ? FOLDED_SETUP_REFUSED
                                : open_try(plan, server, changes, folded, true,
                                           deadline, out, why, answered);
    if (retval != FOLDED_SETUP_REFUSED) return retval;
  }
  return open_try(plan, server, changes, setup, false, deadline, out, why,
                  answered);
}

bool session_alive(MYSQL* m) {
  int fd = static_cast<int>(mysql_get_socket(m));
  if (fd < 0) return false;
  struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) < 0) return errno == EINTR;
  return !(p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

void session_cut(MYSQL* m) {
  int fd = static_cast<int>(mysql_get_socket(m));
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

unsigned session_status(MYSQL* m) {
  unsigned status = 0;
  mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_STATUS, &status);
  return status;
}

DB_TLS session_tls(MYSQL* m) {
  if (!m || !mysql_get_ssl_cipher(m)) return DB_TLS_NONE;
  return flag_of(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT) ? DB_TLS_VERIFIED
                                                      : DB_TLS_NAME_UNCHECKED;
}
