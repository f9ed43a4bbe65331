// Whether a server serves the project's writes: one probe of a connected
// session, shared by DB_CONN::open on a server list and by orvex-admin's
// db ping, so that both say the same of every server.
//
// A plain server (no Galera provider, or a server without wsrep support) is
// ready. A Galera node is ready when writes on it reach the cluster and the
// node runs a program's statements: a provider with wsrep_on ON, and a node
// that does not refuse them (the server refuses with 1047 while it is
// outside the primary component, not yet synced after joining, or while
// wsrep_reject_queries is not NONE). A node desynced by its operator
// (wsrep_desync=ON, as for a backup) still serves, but outside flow control
// it may lag the cluster without limit: it is DB_LAST_RESORT, to be taken
// only when no other server of the list is ready. A donor of a state
// transfer that the server itself still calls ready is taken: telling it
// apart costs a status query on every open (see below), and an operator
// who wants donors left alone sets wsrep_sst_donor_rejects_queries, which
// makes them refuse.
//
// Cost: on a ready server, one statement of one round trip that reads
// session and global variables only (no table, no information_schema):
// about one round trip, against the three that information_schema's status
// tables cost a new session. Only a node that refuses, and db ping's
// details, pay for SHOW STATUS (about two round trips more). open_session
// folds the test into the set-up statement (readiness_setup), so that on a
// ready node it costs no round trip of its own.
#ifndef ORVEX_DATABASE_READINESS_H
#define ORVEX_DATABASE_READINESS_H

#include <mysql.h>

#include <string>

enum DB_VERDICT {
  DB_READY,        // serves; take it
  DB_LAST_RESORT,  // serves but may lag (desynced): take it if none is ready
  DB_NOT_READY     // does not serve (or the probe failed): pass it over
};

struct DB_READINESS {
  DB_VERDICT verdict = DB_NOT_READY;
  bool galera = false;  // a Galera provider is loaded
  bool wsrep_on = false;
  // Status facts, read when asked for (details) or when a node refuses;
  // 0 and "" when not read or not shown (a node with wsrep_on OFF shows no
  // state).
  int cluster_size = 0;
  char state[64] = {};      // wsrep_local_state_comment: "Synced", ...
  char component[64] = {};  // wsrep_cluster_status: "Primary", ...
  // Why the server is not DB_READY, in the operator's words ("Galera node
  // with wsrep_on=OFF: ..."); "" when it is. Cut at 255 bytes.
  char reason[256] = {};
  // The client library's error when a probe statement failed for another
  // reason than the node's refusal (the session was lost: 2013, ...); 0
  // otherwise.
  unsigned error = 0;
};

// A causal read: a Galera node answers it only after a round through its
// cluster, which a node that is frozen or cut off, or awake again while it
// still believes it belongs, cannot make (until it learns otherwise it
// answers everything else, its state and readiness variables included).
// Without a provider it is a plain SELECT; a server without wsrep support
// refuses it (ER_UNKNOWN_SYSTEM_VARIABLE).
constexpr const char* DB_CAUSAL_PROBE =
    "SET STATEMENT wsrep_sync_wait=1 FOR SELECT 1";

// Probes the session m (connected; its current result, if any, already
// read). causal: the program wants causal reads, which only a Galera node
// gives, so a plain server is then DB_NOT_READY. details: also read the
// status facts of a ready Galera node and make it read causally (db ping;
// costs SHOW STATUS and the causal read, bounded by the session's wait
// bound). Fills r and returns r.verdict. Statements are echoed to standard
// error under g_print_queries. Needs MariaDB 10.2 or later (EXECUTE IMMEDIATE);
// an older server is DB_NOT_READY with its parse error as the reason.
DB_VERDICT probe_readiness(MYSQL* m, bool causal, bool details,
                           DB_READINESS& r);

// The set-up statement of a session to be probed, with the probe folded in:
// one statement and one round trip instead of two. setup (the layer's own
// SET: ASCII, its values hex literals) goes inside EXECUTE IMMEDIATE, which
// a Galera node that does not serve refuses (1047), with one assignment
// more that fails (ER_WRONG_VALUE_FOR_VAR, "orvex: not ready") wherever
// probe_readiness would not say DB_READY: a provider with wsrep_on off, a
// desynced node, and with causal, a server without a provider. Its success
// therefore means DB_READY. An error for which readiness_setup_refused is
// true says only that probe_readiness must judge, on a session set up with
// setup alone (a server without wsrep support or EXECUTE IMMEDIATE fails it
// too). "" when setup holds a byte that cannot be quoted so.
std::string readiness_setup(const std::string& setup, bool causal);
bool readiness_setup_refused(unsigned err);

#endif
