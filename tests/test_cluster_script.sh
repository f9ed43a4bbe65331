#!/usr/bin/env bash
# Proves the cluster tests' topology (scripts/test-cluster.sh) is what they
# rely on: a replica that applies the primary's writes and refuses its own,
# a Galera cluster whose killed nodes rejoin, and TLS that verifies. (The
# fixture's stop fails when a server is left.)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
script="$root/scripts/test-cluster.sh"
state=${1:?"usage: $0 STATE_DIR, the ctest fixture state"}
if [[ ! -s "$state/cluster.env" ]]; then
  [[ "${CI:-}" == true ]] && { echo "no cluster in $state"; exit 1; }
  echo "no cluster in $state; skipped"
  exit 77
fi
# shellcheck disable=SC1091
source "$state/cluster.env"

sql() {  # sql PORT [client options...] -e "..."
  local port=$1
  shift
  mariadb --no-defaults -h127.0.0.1 -P"$port" -u"$DB_USER" -p"$DB_PASSWD" \
    -N "$DB_NAME" "$@" 2>&1
}

failed=0 passed=0
check() {  # check NAME PATTERN ACTUAL: ACTUAL must match the glob PATTERN
  # shellcheck disable=SC2053
  if [[ "$3" == $2 ]]; then
    passed=$((passed + 1))
  else
    echo "FAIL $1: expected '$2', got: $3"
    failed=$((failed + 1))
  fi
}

sql "$PRIMARY_PORT" -e "create table t (id int primary key, v int)" >/dev/null
gtid=$(sql "$PRIMARY_PORT" -e "insert into t values (1, 1); select @@last_gtid")
check "replica applies the write" "0" \
  "$(sql "$REPLICA_PORT" -e "select master_gtid_wait('$gtid', 10)")"
check "replica refuses the user's write" "*ERROR 1290*" \
  "$(sql "$REPLICA_PORT" -e "insert into t values (2, 2)")"
check "TLS with the signing CA" "Ssl_version*TLSv1.[23]" \
  "$(sql "$PRIMARY_PORT" --ssl-ca="$TLS_CA" --ssl-verify-server-cert \
    -e "show status like 'Ssl_version'")"
check "TLS with another CA" "*ERROR 2026*" \
  "$(sql "$PRIMARY_PORT" --ssl-ca="$TLS_OTHER_CA" --ssl-verify-server-cert \
    -e "select 1")"

sql "$GALERA1_PORT" -e "create table g (id int primary key, v int)" >/dev/null
bash "$script" kill galera3 "$state"
sql "$GALERA1_PORT" -e "insert into g values (1, 1)" >/dev/null
check "a killed node is down" "*ERROR 2002*" "$(sql "$GALERA3_PORT" -e "select 1")"
bash "$script" restart galera3 "$state"
check "it rejoins with the write it missed" "1" \
  "$(sql "$GALERA3_PORT" -e "select count(*) from g")"

# Two nodes killed while the survivor was behind them (frozen, left out):
# they return, not refused as a reversal of history, with their write.
until_status() {  # SOCKET VARIABLE VALUE, polled for at most 20 s
  for ((i = 0; i < 200; i++)); do
    [[ "$(mariadb --no-defaults --socket="$1" -uroot -N -e "show status like '$2'" | cut -f2)" == "$3" ]] && return
    sleep 0.1
  done
}
bash "$script" freeze galera3 "$state"
until_status "$GALERA1_SOCKET" wsrep_cluster_size 2
sql "$GALERA1_PORT" -e "insert into g values (2, 2)" >/dev/null
bash "$script" kill galera1,galera2 "$state"
kill -CONT "$(cat "$state/nodes/galera3/pid")"
until_status "$GALERA3_SOCKET" wsrep_cluster_status non-Primary
check "two nodes ahead of the survivor return" "2" "$(bash "$script" restart \
  galera1,galera2 "$state" >/dev/null 2>&1 && sql "$GALERA3_PORT" -e "select count(*) from g")"

echo "$passed passed, $failed failed"
((failed == 0))
