#!/usr/bin/env bash
# Proves the cluster tests' topology (scripts/test-cluster.sh) is what they
# rely on: a replica that applies the primary's writes and refuses its own,
# a Galera cluster whose killed node rejoins, TLS that verifies, and a stop
# that leaves nothing behind.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
script="$root/scripts/test-cluster.sh"
work=$(mktemp -d /tmp/orvex_cluster.XXXXXX)
state="$work/state"
trap 'bash "$script" stop "$state" 2>/dev/null; rm -rf "$work"' EXIT

bash "$script" start "$state"
rc=$?
((rc == 77)) && { echo "no cluster programs; skipped"; exit 77; }
((rc == 0)) || { echo "start failed ($rc)"; exit 1; }
# shellcheck disable=SC1091
source "$state/cluster.env"

sql() {  # sql PORT [client options...] -e "..."
  local port=$1
  shift
  mariadb --no-defaults -h127.0.0.1 -P"$port" -u"$DB_USER" -p"$DB_PASSWD" \
    -N "$DB_NAME" "$@" 2>&1
}

failed=0 passed=0
check() {  # check NAME EXPECTED ACTUAL
  if [[ "$3" == *"$2"* ]]; then
    passed=$((passed + 1))
  else
    echo "FAIL $1: expected '$2' in: $3"
    failed=$((failed + 1))
  fi
}

sql "$PRIMARY_PORT" -e "create table t (id int primary key, v int)" >/dev/null
gtid=$(sql "$PRIMARY_PORT" -e "insert into t values (1, 1); select @@last_gtid")
check "replica applies the write" "0" \
  "$(sql "$REPLICA_PORT" -e "select master_gtid_wait('$gtid', 10)")"
check "replica refuses the user's write" "ERROR 1290" \
  "$(sql "$REPLICA_PORT" -e "insert into t values (2, 2)")"
check "TLS with the signing CA" "TLS" \
  "$(sql "$PRIMARY_PORT" --ssl-ca="$TLS_CA" --ssl-verify-server-cert \
    -e "show status like 'Ssl_version'")"
check "TLS with another CA" "ERROR 2026" \
  "$(sql "$PRIMARY_PORT" --ssl-ca="$TLS_OTHER_CA" --ssl-verify-server-cert \
    -e "select 1")"

sql "$GALERA1_PORT" -e "create table g (id int primary key, v int)" >/dev/null
bash "$script" kill galera3 "$state"
sql "$GALERA1_PORT" -e "insert into g values (1, 1)" >/dev/null
check "a killed node is down" "ERROR" "$(sql "$GALERA3_PORT" -e "select 1")"
bash "$script" restart galera3 "$state"
check "it rejoins with the write it missed" "1" \
  "$(sql "$GALERA3_PORT" -e "select count(*) from g")"

bash "$script" stop "$state"
left=$(pgrep -f -- "--datadir=$state/" || true)
check "stop leaves no server" "none" "${left:-none}"
check "stop leaves no data" "gone" "$([[ -e "$state/nodes" ]] || echo gone)"
echo "$passed passed, $failed failed"
((failed == 0))
