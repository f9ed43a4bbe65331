#include "database/readiness.h"

#include <mysqld_error.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/str_util.h"
#include "database/db_conn.h"  // g_print_queries

namespace {

// The variables, wrapped in EXECUTE IMMEDIATE: a plain SELECT without a
// table is one of the few statements a Galera node that is not ready still
// runs, and this one is not, so the node's refusal (1047) is the readiness
// test and costs no table, no status and no second round trip.
const char* const kProbe =
    "EXECUTE IMMEDIATE 'SELECT @@wsrep_provider, @@global.wsrep_on, "
    "@@session.wsrep_on, @@global.wsrep_desync'";
// After a refusal only: which of the reasons it was.
const char* const kRejectQuery = "SELECT @@global.wsrep_reject_queries";
const char* const kStatusQuery =
    "SHOW STATUS WHERE Variable_name IN ('wsrep_cluster_size', "
    "'wsrep_local_state_comment', 'wsrep_cluster_status')";

MYSQL_RES* stored(MYSQL* m, const char* sql) {
  if (g_print_queries) fprintf(stderr, "query: %s\n", sql);
  if (mysql_query(m, sql)) return nullptr;
  return mysql_store_result(m);
}

bool is_on(const char* v) {
  return v && (strcmp(v, "1") == 0 || strcasecmp(v, "ON") == 0);
}

DB_VERDICT finish(DB_READINESS& r, DB_VERDICT verdict, const char* fmt,
                  const char* a = "", const char* b = "") {
  r.verdict = verdict;
  snprintf(r.reason, sizeof r.reason, fmt, a, b);
  return verdict;
}

// A statement failed for a reason of its own (a lost session, ...).
DB_VERDICT failed(MYSQL* m, DB_READINESS& r) {
  r.error = mysql_errno(m);
  return finish(r, DB_NOT_READY, "%s", mysql_error(m));
}

// The status facts into r; false when the statement failed.
bool read_status(MYSQL* m, DB_READINESS& r) {
  MYSQL_RES* res = stored(m, kStatusQuery);
  if (!res) return false;
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    if (!row[0] || !row[1]) continue;
    if (!strcasecmp(row[0], "wsrep_cluster_size")) {
      r.cluster_size = atoi(row[1]);
    } else if (!strcasecmp(row[0], "wsrep_local_state_comment")) {
      strlcpy(r.state, row[1], sizeof r.state);
    } else if (!strcasecmp(row[0], "wsrep_cluster_status")) {
      strlcpy(r.component, row[1], sizeof r.component);
    }
  }
  mysql_free_result(res);
  return true;
}

// The node refused the probe: say why in the operator's words.
DB_VERDICT refused(MYSQL* m, DB_READINESS& r) {
  char server_text[MYSQL_ERRMSG_SIZE];
  strlcpy(server_text, mysql_error(m), sizeof server_text);
  r.galera = r.wsrep_on = true;  // only a running provider refuses so
  MYSQL_RES* res = stored(m, kRejectQuery);
  if (!res) return failed(m, r);
  MYSQL_ROW row = mysql_fetch_row(res);
  char reject[32] = "";
  if (row && row[0]) strlcpy(reject, row[0], sizeof reject);
  mysql_free_result(res);
  if (strcasecmp(reject, "NONE") != 0) {
    read_status(m, r);  // for db ping's display; the reason is known
    return finish(r, DB_NOT_READY,
                  "Galera node rejecting queries (wsrep_reject_queries=%s)",
                  reject);
  }
  if (!read_status(m, r)) return failed(m, r);
  if (strcasecmp(r.component, "Primary") != 0) {
    return finish(r, DB_NOT_READY,
                  "Galera node outside the primary component "
                  "(wsrep_cluster_status=%s, state %s)",
                  r.component[0] ? r.component : "unknown",
                  r.state[0] ? r.state : "unknown");
  }
  return finish(r, DB_NOT_READY, "Galera node not ready (state %.60s): %.160s",
                r.state[0] ? r.state : "unknown", server_text);
}

}  // namespace

std::string readiness_setup(const std::string& setup, bool causal) {
  // probe_readiness's DB_READY, in SQL: no provider (unless causal), or one
  // with wsrep_on on in both scopes and no desync.
  const char* served =
      causal ? "COALESCE(@@wsrep_provider, '') NOT IN ('', 'none') AND "
               "@@global.wsrep_on AND @@session.wsrep_on AND NOT "
               "@@global.wsrep_desync"
             : "COALESCE(@@wsrep_provider, '') IN ('', 'none') OR "
               "(@@global.wsrep_on AND @@session.wsrep_on AND NOT "
               "@@global.wsrep_desync)";
  std::string inner = setup + ", SESSION session_track_state_change=IF(" +
                      served + ", 'ON', 'orvex: not ready')";
  // Quotes doubled: the same literal in every sql_mode and character set
  // as long as the text holds no backslash and no byte above 127.
  std::string out = "EXECUTE IMMEDIATE '";
  for (char c : inner) {
    if (c == '\\' || static_cast<unsigned char>(c) > 127) return "";
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

bool readiness_setup_refused(unsigned err) {
  return err == ER_UNKNOWN_COM_ERROR || err == ER_WRONG_VALUE_FOR_VAR ||
         err == ER_UNKNOWN_SYSTEM_VARIABLE || err == ER_PARSE_ERROR;
}

DB_VERDICT probe_readiness(MYSQL* m, bool causal, bool details,
                           DB_READINESS& r) {
  r = DB_READINESS();
  MYSQL_RES* res = stored(m, kProbe);
  if (!res) {
    unsigned err = mysql_errno(m);
    if (err == ER_UNKNOWN_COM_ERROR) return refused(m, r);
    if (err != ER_UNKNOWN_SYSTEM_VARIABLE) return failed(m, r);
    // A server built without wsrep support: a plain server.
  } else {
    MYSQL_ROW row = mysql_fetch_row(res);
    if (!row) {
      mysql_free_result(res);
      return finish(r, DB_NOT_READY, "no answer to the readiness query");
    }
    r.galera = row[0] && *row[0] && strcasecmp(row[0], "none") != 0;
    r.wsrep_on = is_on(row[1]) && is_on(row[2]);
    bool desync = is_on(row[3]);
    mysql_free_result(res);
    if (r.galera && details && !read_status(m, r)) {
      return failed(m, r);
    }
    // Its state is the node's own view: woken after the cluster evicted it,
    // a node calls itself Synced for seconds. Only a round through the
    // cluster tells; the layer asks the same of a node that stopped
    // answering a statement.
    if (r.galera && r.wsrep_on && details) {
      MYSQL_RES* causal_read = stored(m, DB_CAUSAL_PROBE);
      if (!causal_read) {
        r.error = mysql_errno(m);
        return finish(r, DB_NOT_READY,
                      "Galera node that cannot read in step with its "
                      "cluster (a causal read failed: %s)",
                      mysql_error(m));
      }
      mysql_free_result(causal_read);
    }
    if (r.galera && !r.wsrep_on) {
      return finish(r, DB_NOT_READY,
                    "Galera node with wsrep_on=OFF: its writes would not "
                    "reach the cluster");
    }
    if (r.galera && desync) {
      return finish(r, DB_LAST_RESORT,
                    "Galera node desynced (wsrep_desync=ON, as for a backup): "
                    "it may lag the cluster");
    }
    if (r.galera) return finish(r, DB_READY, "");
  }
  if (causal) {
    return finish(r, DB_NOT_READY,
                  "not a Galera node, and causal reads were asked for");
  }
  return finish(r, DB_READY, "");
}
