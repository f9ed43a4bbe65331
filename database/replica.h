// Reading from a replica of the project database: where it stands, and
// waiting until it has applied a write made on the primary (read-your-
// writes). The replica is a server replicating with global transaction ids
// (GTIDs) from the primary; both are reached through ordinary connections.
//
// Nothing here writes on either server or retries a statement elsewhere: a
// write sent to a read-only replica is refused by the server, and do_query
// reports it as any refused statement.
#ifndef ORVEX_DATABASE_REPLICA_H
#define ORVEX_DATABASE_REPLICA_H

#include "database/db_conn.h"

// Room for a GTID position: "domain-server-sequence" for each replication
// domain, comma-separated. Longer positions are refused, never cut.
constexpr int GTID_POS_LEN = 256;

// Reads the GTID of the last transaction written by primary's own session
// into gtid (GTID_POS_LEN bytes, the caller's). Call it right after the
// write, on the connection that made it: the value belongs to that session,
// and a session the library reconnected on the way has none.
// Returns 0; ERR_DB_NO_ROW when the session has written nothing (so there
// is nothing to wait for, and waiting would prove nothing) or when the
// position does not fit; or do_query's failure. gtid is empty on failure.
int last_write_gtid(DB_CONN& primary, char* gtid);

// Waits up to timeout seconds (0 to 31536000; fractions allowed) until
// replica has applied the transactions up to gtid.
// Returns 0 once applied; ERR_DB_REPLICA_TIMEOUT when the time ran out (or
// the replica can never reach gtid, as for a domain it does not know);
// ERR_DB_NO_ROW for an empty or over-long gtid, or one that is not a GTID
// position (digits, '-' and ','); -1 for a timeout out of range; or
// do_query's failure (a replica that is down, say).
int wait_for_gtid(DB_CONN& replica, const char* gtid, double timeout);

// last_write_gtid on primary, then wait_for_gtid on replica: the usual way
// to read one's own write from the replica. The results of those two.
int wait_for_replica(DB_CONN& primary, DB_CONN& replica, double timeout);

// Where a replica stands.
struct REPLICA_STATE {
  bool io_running = false;   // fetching from the primary
  bool sql_running = false;  // applying what it fetched
  // Seconds behind the primary, or -1 when the server gives no number: the
  // replica is not applying (stopped, broken or not connected), which is
  // never reported as 0 behind.
  int seconds_behind = -1;
  int last_errno = 0;                    // the last I/O or SQL thread error
  char applied_gtid[GTID_POS_LEN] = {};  // @@gtid_slave_pos
  char fetched_gtid[GTID_POS_LEN] = {};  // what the I/O thread has read
};

// Reads replica's state. Returns 0; ERR_DB_NO_ROW when the server is not a
// replica at all or a position does not fit (that one is left empty); or
// do_query's failure. state is reset first in every case.
int get_replica_state(DB_CONN& replica, REPLICA_STATE& state);

#endif
