#include "database/replica.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_numbers.h"

namespace {

// Runs sql and stores its result; null after a failure (reported by
// do_query), with the failure in *retval.
MYSQL_RES* stored(DB_CONN& db, const char* sql, int* retval) {
  *retval = db.do_query(sql);
  if (*retval) return nullptr;
  MYSQL_RES* result = db.store_result();
  if (!result) {
    *retval = mysql_errno(db.handle) ? static_cast<int>(mysql_errno(db.handle))
                                     : ERR_DB_NO_ROW;
  }
  return result;
}

// Copies a text of the server into a GTID_POS_LEN buffer; false when it
// does not fit (the buffer is then empty).
bool copy_position(char* to, const char* from) {
  size_t n = from ? strlen(from) : 0;
  if (n >= static_cast<size_t>(GTID_POS_LEN)) {
    to[0] = 0;
    return false;
  }
  memcpy(to, from ? from : "", n + 1);
  return true;
}

// A GTID position as the server writes one: digits, '-' and ','. Checked
// before it is put inside quotes in a statement.
bool is_position(const char* gtid) {
  if (!gtid || !*gtid || strlen(gtid) >= static_cast<size_t>(GTID_POS_LEN)) {
    return false;
  }
  return strspn(gtid, "0123456789-,") == strlen(gtid);
}

}  // namespace

int last_write_gtid(DB_CONN& primary, char* gtid) {
  gtid[0] = 0;
  int retval;
  MYSQL_RES* result = stored(primary, "select @@last_gtid", &retval);
  if (!result) return retval;
  MYSQL_ROW row = mysql_fetch_row(result);
  retval = ERR_DB_NO_ROW;
  if (row && row[0] && row[0][0] && copy_position(gtid, row[0])) retval = 0;
  mysql_free_result(result);
  return retval;
}

int wait_for_gtid(DB_CONN& replica, const char* gtid, double timeout) {
  if (!is_position(gtid)) return ERR_DB_NO_ROW;
  if (!(timeout >= 0 && timeout <= 31536000)) return -1;  // NaN too
  char sql[GTID_POS_LEN + 64];
  snprintf(sql, sizeof sql, "select master_gtid_wait('%s', %.3f)", gtid,
           timeout);
  int retval;
  MYSQL_RES* result = stored(replica, sql, &retval);
  if (!result) return retval;
  MYSQL_ROW row = mysql_fetch_row(result);
  // 0 applied, -1 timed out; NULL (a position the replica cannot reach,
  // such as one of an unknown domain) is a time-out the caller must see.
  retval =
      row && row[0] && strcmp(row[0], "0") == 0 ? 0 : ERR_DB_REPLICA_TIMEOUT;
  mysql_free_result(result);
  return retval;
}

int wait_for_replica(DB_CONN& primary, DB_CONN& replica, double timeout) {
  char gtid[GTID_POS_LEN];
  int retval = last_write_gtid(primary, gtid);
  if (retval) return retval;
  return wait_for_gtid(replica, gtid, timeout);
}

int get_replica_state(DB_CONN& replica, REPLICA_STATE& state) {
  state = REPLICA_STATE();
  int retval;
  MYSQL_RES* result = stored(replica, "show slave status", &retval);
  if (!result) return retval;
  MYSQL_ROW row = mysql_fetch_row(result);
  if (!row) {
    mysql_free_result(result);
    return ERR_DB_NO_ROW;  // replicates from nothing
  }
  // Read by column name: the columns' order differs between server versions.
  unsigned n = mysql_num_fields(result);
  MYSQL_FIELD* fields = mysql_fetch_fields(result);
  bool fits = true;
  for (unsigned i = 0; i < n; i++) {
    const char* name = fields[i].name;
    const char* value = row[i];
    if (!strcmp(name, "Slave_IO_Running")) {
      state.io_running = value && !strcmp(value, "Yes");
    } else if (!strcmp(name, "Slave_SQL_Running")) {
      state.sql_running = value && !strcmp(value, "Yes");
    } else if (!strcmp(name, "Seconds_Behind_Master")) {
      state.seconds_behind = value ? atoi(value) : -1;
    } else if (!strcmp(name, "Last_IO_Errno") ||
               !strcmp(name, "Last_SQL_Errno")) {
      if (value && atoi(value)) state.last_errno = atoi(value);
    } else if (!strcmp(name, "Gtid_IO_Pos")) {
      fits &= copy_position(state.fetched_gtid, value);
    }
  }
  mysql_free_result(result);
  if (!state.sql_running) state.seconds_behind = -1;
  result = stored(replica, "select @@gtid_slave_pos", &retval);
  if (!result) return retval;
  row = mysql_fetch_row(result);
  fits &= copy_position(state.applied_gtid, row && row[0] ? row[0] : "");
  mysql_free_result(result);
  return fits ? 0 : ERR_DB_NO_ROW;
}
