#!/usr/bin/env bash
# Starts or stops a private, throwaway MariaDB server for the tests.
#
#   test-db-server.sh start STATE_DIR   new data directory, socket and loopback
#                                       port; writes STATE_DIR/db.env
#   test-db-server.sh stop STATE_DIR    stops the server recorded in STATE_DIR
#                                       and removes its data
#
# The server never reads the system's configuration (--no-defaults), never
# uses the system's socket or port, and is stopped only by the pid it
# recorded itself. db.env holds KEY=VALUE lines: DB_SOCKET, DB_HOST, DB_PORT,
# DB_NAME, DB_USER, DB_PASSWD (a user for both 'localhost' and '127.0.0.1'),
# and DB_ROOT_USER, DB_ROOT_PASSWD (socket only, for tests that change global
# server settings).
#
# ORVEX_TEST_DB_BUFFER_POOL sets the InnoDB buffer pool (64M by default, enough
# for the tests; the benchmarks size it to their tables, as a production
# server is sized to its data).
#
# When the server programs are missing, start exits 77 (a skip for ctest)
# unless CI=true, where it fails.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
}
[[ $# -eq 2 ]] || usage
cmd=$1
state=$2
[[ -n "$state" ]] || usage
env_file="$state/db.env"
info_file="$state/server.info"  # what stop needs: pid, data and socket dirs

# shellcheck source=db-server-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/db-server-lib.sh"
dbs_name=test-db-server
log() { dbs_log "$@"; }

# What stop needs, written at once so that stop cleans up even if start
# fails half-way.
record_info() {
  printf 'pid=%q\ndatadir=%q\nsockdir=%q\n' "$1" "$datadir" "$sockdir" \
    >"$info_file"
}

stop_server() {
  [[ -f "$info_file" ]] || return 0
  local pid="" datadir="" sockdir=""
  # shellcheck disable=SC1090
  source "$info_file"
  if [[ -n "$datadir" ]]; then
    dbs_stop "$datadir"
    rm -rf -- "$(dirname -- "$datadir")"
  fi
  # A socket dir outside the state dir (see start) goes too.
  if [[ -n "$sockdir" && "$sockdir" != "$state"/* ]]; then
    rm -rf -- "$sockdir"
  fi
  rm -f -- "$info_file" "$env_file"
  return 0
}

start_server() {
  dbs_need mariadb-install-db mariadbd mariadb-admin mariadb
  # Tests of this script put a wrapper in the server's place.
  local server_program=${ORVEX_TEST_DB_SERVER_PROGRAM:-mariadbd}
  stop_server  # a server left by an interrupted run
  mkdir -p -- "$state"
  state=$(cd -- "$state" && pwd)
  env_file="$state/db.env"
  info_file="$state/server.info"

  local run datadir sockdir
  run=$(mktemp -d "$state/server.XXXXXX")
  datadir="$run/data"
  # Unix socket paths are limited to 107 bytes; a deep build tree gets its
  # socket in a short directory under /tmp instead.
  sockdir="$run"
  if ((${#run} > 80)); then
    sockdir=$(mktemp -d /tmp/orvex-db.XXXXXX)
  fi
  local sock="$sockdir/mysqld.sock"
  record_info ""
  dbs_install "$datadir" "$run/install.log" "$run/tmp"

  local attempt port pid="" launched rc
  for ((attempt = 0; attempt < 5; attempt++)); do
    port=$(dbs_free_port)
    # A session of its own and no inherited descriptors: ctest waits for the
    # setup test's output pipes to close, and a signal to the test's process
    # group must not reach the server.
    setsid "$server_program" --no-defaults "${dbs_user_opt[@]}" \
      --datadir="$datadir" --socket="$sock" --port="$port" \
      --bind-address=127.0.0.1 --pid-file="$run/mysqld.pid" \
      --log-error="$run/error.log" --tmpdir="$run/tmp" \
      --innodb-buffer-pool-size="${ORVEX_TEST_DB_BUFFER_POOL:-64M}" \
      "${dbs_base_opts[@]}" </dev/null >>"$run/mariadbd.out" 2>&1 &
    launched=$!
    rc=0
    pid=$(dbs_wait_ready "$datadir" "$sock" "$launched" 60 record_info) || rc=$?
    ((rc == 0)) && break
    if ((rc == 1)); then
      log "server did not become ready in 60 s"
      tail -n 20 "$run/error.log" >&2 || true
      return 1  # the EXIT trap stops it
    fi
    log "server did not start on port $port; retrying"
    tail -n 3 "$run/error.log" >&2 || true
  done
  if [[ -z "$pid" ]]; then
    log "server failed to start:"
    tail -n 20 "$run/error.log" >&2 || true
    return 1
  fi
  record_info "$pid"

  local db=orvex_test user=orvex_test passwd
  passwd=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  mariadb --no-defaults --socket="$sock" -uroot <<SQL
CREATE DATABASE $db;
CREATE USER '$user'@'localhost' IDENTIFIED BY '$passwd';
CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$passwd';
GRANT ALL PRIVILEGES ON $db.* TO '$user'@'localhost';
GRANT ALL PRIVILEGES ON $db.* TO '$user'@'127.0.0.1';
DELETE FROM mysql.global_priv WHERE User = 'root' AND Host <> 'localhost';
FLUSH PRIVILEGES;
SQL

  cat >"$env_file.tmp" <<ENV
DB_SOCKET=$sock
DB_HOST=127.0.0.1
DB_PORT=$port
DB_NAME=$db
DB_USER=$user
DB_PASSWD=$passwd
DB_ROOT_USER=root
DB_ROOT_PASSWD=
ENV
  mv -- "$env_file.tmp" "$env_file"
  log "server $pid ready: socket $sock, port $port"
}

case "$cmd" in
  start)
    # Whatever fails half-way, leave no server and no data behind.
    trap 'rc=$?; if ((rc != 0 && rc != 77)); then stop_server; fi' EXIT
    start_server
    ;;
  stop) stop_server ;;
  *) usage ;;
esac
