// Opening one session of the database layer, and the few questions the
// layer asks of a session's socket. DB_CONN (db_conn.h) makes every session
// through open_session, at open and whenever it replaces a lost one.
#ifndef ORVEX_DATABASE_SESSION_OPEN_H
#define ORVEX_DATABASE_SESSION_OPEN_H

#include <mysql.h>

#include <string>

#include "database/server_list.h"

class SESSION_CHANGES;

// Names the option file every session reads ([orvex] and [client] groups;
// TLS and the like). Unset, none is read, the system's neither.
constexpr const char* DB_OPTION_FILE_ENV = "ORVEX_DB_OPTION_FILE";

// The bounds' defaults, in seconds. Five seconds are far beyond a connect
// to a live server on a network of one site, and a scheduler run per
// request pays them once per server found down (the health record then
// sends later requests elsewhere). Ten seconds of silence in a statement
// are more than any live server leaves between packets, except while it
// computes, which the liveness question tells apart.
constexpr unsigned DB_CONNECT_BOUND = 5;
constexpr unsigned DB_WAIT_BOUND = 10;

// How a session is encrypted.
enum DB_TLS {
  DB_TLS_NONE,            // plain
  DB_TLS_VERIFIED,        // the certificate and the server's name checked
  DB_TLS_NAME_UNCHECKED,  // the option file turned the name check off
};

// What every session of one connection is opened with; fixed by open.
struct SESSION_PLAN {
  std::string name, user, passwd;  // null when the caller gave null
  bool null_name = true, null_user = true, null_passwd = true;
  std::string option_file;      // "" for none
  bool tls = false;             // the option file asks for TLS
  bool name_check_off = false;  // ... and says ssl-verify-server-cert=0
  bool list = false;            // a server list: each session is probed first
  // Bounds, in seconds (see DB_CONN::set_timeouts): a connect, its
  // greeting and its set-up together; a wait for a statement's answer
  // before the layer asks whether the server is gone or only busy.
  unsigned connect_bound = DB_CONNECT_BOUND;
  unsigned wait_bound = DB_WAIT_BOUND;
};

// Reads the option file DB_OPTION_FILE_ENV names into plan: TLS, and the
// bounds when the file sets connect-timeout or read-timeout (the client
// library's own names; they override the program's). The client library
// reads option files only while connecting and has no call that reads one,
// so a connect that cannot reach anything (port 1 of the loopback, a socket
// path that does not exist) reads it: about 50 us, once per open. 0;
// ERR_DB_CONNECT with why when the file is not a readable regular file (the
// library would skip it without a word, and TLS with it).
int read_option_file(SESSION_PLAN& plan, std::string& why);

// Opens one session on server within plan.connect_bound (a server that
// accepts and never speaks costs that, no more): the character set pinned,
// reconnection off, the library's non-blocking calls on, the set-up statement
// of changes (its guard and every carried change) as the first init command,
// the option file, and, when the option file asks for TLS, the server's
// certificate and name checked unless it says ssl-verify-server-cert=0 (a bare
// "ssl-verify-server-cert" counts as on). Then the session is judged: the
// escaping guard must hold after every init command, the option file's init
// commands by the session rules (their reports, and the server's answer when
// there are any), no transaction open, TLS as asked; on a list, and when causal
// reads are carried, the node must be ready (the set-up folded with the
// probe, readiness_setup; where the node refuses it, a second session set up
// plainly for probe_readiness, readiness.h, within the same bound). 0
// with *out; SESSION_LAST_RESORT with *out and why when the node serves but may
// lag (a desynced Galera node: the caller takes it only when no other server is
// ready); ERR_DB_INIT or ERR_DB_CONNECT with why in the operator's words,
// *out untouched and nothing left open. *answered: whether the server
// spoke at all (false: it could not be reached, or stayed silent past the
// bound).
constexpr int SESSION_LAST_RESORT = 1;
int open_session(const SESSION_PLAN& plan, const DB_SERVER& server,
                 SESSION_CHANGES& changes, MYSQL** out, std::string& why,
                 bool* answered);

// Waits for what a non-blocking call of the client library asked for
// (status), at most ms milliseconds (negative: no bound): the status to go
// on with, or MYSQL_WAIT_TIMEOUT when the bound passed.
int session_wait(MYSQL* m, int status, int ms);

// Whether server answers a new connection, and on it a causal read, within
// plan.connect_bound together: a session, or any refusal of the server's
// own (a wrong password, too many connections), counts; a Galera node that
// cannot make the causal read's round through its cluster (frozen or cut
// off, and awake again while it still believes it belongs) does not. Asked
// when a session's statement has waited past plan.wait_bound, to tell a
// busy server from one that is gone or does not serve. One connect and one
// statement; never longer than the bound.
bool server_answers(const SESSION_PLAN& plan, const DB_SERVER& server);

// Whether err, of a connect or a statement, means that the server did not
// answer at all.
bool silent_error(unsigned err);

// False when the server has closed the session's socket (or it failed):
// one poll, no wait. Pending rows of a streamed result do not count.
bool session_alive(MYSQL* m);

// Shuts the session's socket, so that freeing or closing what is left of
// the session never waits on a server that stopped answering.
void session_cut(MYSQL* m);

// The server's status flags after the last answer on m.
unsigned session_status(MYSQL* m);

DB_TLS session_tls(MYSQL* m);

#endif
