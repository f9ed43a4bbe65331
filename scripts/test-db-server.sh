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

log() { echo "test-db-server: $*" >&2; }

# The servers running on a data directory: every live process whose command
# line holds exactly --datadir=DIR. This finds ours whatever the pid file
# says or when it says it, and never a process that only reused a pid.
server_pids() {
  local re
  re=$(printf '%s' "--datadir=$1" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  pgrep -f -- "(^| )$re( |\$)" || true
}
server_pid() { server_pids "$1" | head -n 1; }

# What stop needs, written at once so that stop cleans up even if start
# fails half-way.
record_info() {
  printf 'pid=%q\ndatadir=%q\nsockdir=%q\n' "$1" "$datadir" "$sockdir" \
    >"$info_file"
}

stop_server() {
  [[ -f "$info_file" ]] || return 0
  local pid="" datadir="" sockdir="" pids i
  # shellcheck disable=SC1090
  source "$info_file"
  if [[ -n "$datadir" ]]; then
    pids=$(server_pids "$datadir")
    if [[ -n "$pids" ]]; then
      # shellcheck disable=SC2086
      kill -TERM $pids 2>/dev/null || true
      for ((i = 0; i < 300; i++)); do
        [[ -z "$(server_pids "$datadir")" ]] && break
        sleep 0.1
      done
      pids=$(server_pids "$datadir")
      if [[ -n "$pids" ]]; then
        log "server $pids ignored SIGTERM for 30 s; killing it"
        # shellcheck disable=SC2086
        kill -KILL $pids 2>/dev/null || true
        for ((i = 0; i < 50; i++)); do
          [[ -z "$(server_pids "$datadir")" ]] && break
          sleep 0.1
        done
      fi
    fi
    rm -rf -- "$(dirname -- "$datadir")"
  fi
  # A socket dir outside the state dir (see start) goes too.
  if [[ -n "$sockdir" && "$sockdir" != "$state"/* ]]; then
    rm -rf -- "$sockdir"
  fi
  rm -f -- "$info_file" "$env_file"
  return 0
}

need() {
  local p
  for p in "$@"; do
    command -v "$p" >/dev/null 2>&1 && continue
    if [[ "${CI:-}" == true ]]; then
      log "$p not found (install mariadb-server and mariadb-client)"
      exit 1
    fi
    log "$p not found; database tests will be skipped"
    exit 77
  done
}

# A random loopback port that nothing listens on now. mariadbd may still lose
# a race for it; start then retries with another.
pick_port() {
  local port busy
  busy=$(ss -Htln 2>/dev/null | awk '{print $4}' | sed 's/.*://' || true)
  while :; do
    port=$((20000 + RANDOM % 40000))
    grep -qx "$port" <<<"$busy" || break
  done
  echo "$port"
}

start_server() {
  need mariadb-install-db mariadbd mariadb-admin mariadb
  # Tests of this script put a wrapper in the server's place.
  local server_program=${ORVEX_TEST_DB_SERVER_PROGRAM:-mariadbd} launched
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
  local user_opt=()
  [[ $(id -u) -eq 0 ]] && user_opt=(--user=root)  # mariadbd refuses root otherwise

  record_info ""

  if ! mariadb-install-db --no-defaults "${user_opt[@]}" --datadir="$datadir" \
      --auth-root-authentication-method=normal --skip-test-db \
      --skip-name-resolve --innodb-log-file-size=8M >"$run/install.log" 2>&1; then
    log "mariadb-install-db failed:"
    cat "$run/install.log" >&2
    return 1
  fi

  local attempt port pid="" recorded="" i ready
  for ((attempt = 0; attempt < 5; attempt++)); do
    port=$(pick_port)
    rm -f -- "$run/mysqld.pid"
    # A session of its own and no inherited descriptors: ctest waits for the
    # setup test's output pipes to close, and a signal to the test's process
    # group must not reach the server.
    setsid "$server_program" --no-defaults "${user_opt[@]}" --datadir="$datadir" \
      --socket="$sock" --port="$port" --bind-address=127.0.0.1 \
      --pid-file="$run/mysqld.pid" --log-error="$run/error.log" \
      --skip-name-resolve --innodb-buffer-pool-size=64M \
      --innodb-log-file-size=8M --character-set-server=utf8mb4 \
      --collation-server=utf8mb4_general_ci \
      </dev/null >>"$run/mariadbd.out" 2>&1 &
    launched=$!
    # The pid file, the first answer and the end of a failed start may come
    # in any order; the pid is read from the process table each round, so
    # whichever comes first, the loop ends knowing the server's pid.
    ready=no
    for ((i = 0; i < 600; i++)); do
      pid=$(server_pid "$datadir")
      [[ -n "$pid" && "$pid" != "$recorded" ]] && record_info "$pid" && recorded=$pid
      if [[ -n "$pid" ]] && mariadb-admin --no-defaults --socket="$sock" \
          -uroot --connect-timeout=2 ping >/dev/null 2>&1; then
        ready=yes
        break
      fi
      # Nothing runs on our data any more: the server died (most likely the
      # port was taken). One more look, since it may have been between exec
      # and the process table.
      if [[ -z "$pid" ]] && ! kill -0 "$launched" 2>/dev/null &&
          [[ -z "$(server_pid "$datadir")" ]]; then
        break
      fi
      sleep 0.1
    done
    [[ $ready == yes ]] && break
    if [[ -n "$(server_pid "$datadir")" ]]; then
      log "server did not become ready in 60 s"
      tail -n 20 "$run/error.log" >&2 || true
      return 1  # the EXIT trap stops it
    fi
    log "server did not start on port $port; retrying"
    tail -n 3 "$run/error.log" >&2 || true
  done
  if [[ $ready != yes ]]; then
    log "server failed to start:"
    tail -n 20 "$run/error.log" >&2 || true
    return 1
  fi

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
