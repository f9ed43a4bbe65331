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

# The recorded pid is ours only while its command line names our data dir;
# a pid reused by another process is left alone.
pid_is_ours() {
  local pid=$1 datadir=$2
  [[ -n "$pid" && -r /proc/$pid/cmdline ]] || return 1
  tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qxF -- "--datadir=$datadir"
}

stop_server() {
  [[ -f "$info_file" ]] || return 0
  local pid="" datadir="" sockdir=""
  # shellcheck disable=SC1090
  source "$info_file"
  if pid_is_ours "$pid" "$datadir"; then
    kill -TERM "$pid" 2>/dev/null || true
    local i
    for ((i = 0; i < 300; i++)); do
      pid_is_ours "$pid" "$datadir" || break
      sleep 0.1
    done
    if pid_is_ours "$pid" "$datadir"; then
      log "server $pid ignored SIGTERM for 30 s; killing it"
      kill -KILL "$pid" 2>/dev/null || true
      sleep 0.5
    fi
  fi
  if [[ -n "$datadir" ]]; then
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

  # Record at once, so that stop cleans up even if start fails half-way.
  printf 'pid=\ndatadir=%q\nsockdir=%q\n' "$datadir" "$sockdir" >"$info_file"

  if ! mariadb-install-db --no-defaults "${user_opt[@]}" --datadir="$datadir" \
      --auth-root-authentication-method=normal --skip-test-db \
      --skip-name-resolve --innodb-log-file-size=8M >"$run/install.log" 2>&1; then
    log "mariadb-install-db failed:"
    cat "$run/install.log" >&2
    return 1
  fi

  local attempt port pid="" i
  for ((attempt = 0; attempt < 5; attempt++)); do
    port=$(pick_port)
    rm -f -- "$run/mysqld.pid"
    # A session of its own and no inherited descriptors: ctest waits for the
    # setup test's output pipes to close, and a signal to the test's process
    # group must not reach the server.
    setsid mariadbd --no-defaults "${user_opt[@]}" --datadir="$datadir" \
      --socket="$sock" --port="$port" --bind-address=127.0.0.1 \
      --pid-file="$run/mysqld.pid" --log-error="$run/error.log" \
      --skip-name-resolve --innodb-buffer-pool-size=64M \
      --innodb-log-file-size=8M --character-set-server=utf8mb4 \
      --collation-server=utf8mb4_general_ci \
      </dev/null >>"$run/mariadbd.out" 2>&1 &
    local launched=$!
    pid=""
    for ((i = 0; i < 300; i++)); do
      if [[ -z "$pid" && -s "$run/mysqld.pid" ]]; then
        pid=$(cat "$run/mysqld.pid")
        printf 'pid=%q\ndatadir=%q\nsockdir=%q\n' "$pid" "$datadir" \
          "$sockdir" >"$info_file"
      fi
      if mariadb-admin --no-defaults --socket="$sock" -uroot \
          --connect-timeout=2 ping >/dev/null 2>&1; then
        break
      fi
      if ! kill -0 "$launched" 2>/dev/null && ! pid_is_ours "$pid" "$datadir"; then
        break  # the server died (most likely the port was taken)
      fi
      sleep 0.1
    done
    if mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1; then
      # It may answer before its pid file is read above.
      for ((i = 0; i < 100; i++)); do
        [[ -z "$pid" ]] || break
        if [[ -s "$run/mysqld.pid" ]]; then
          pid=$(cat "$run/mysqld.pid")
          printf 'pid=%q\ndatadir=%q\nsockdir=%q\n' "$pid" "$datadir" \
            "$sockdir" >"$info_file"
        else
          sleep 0.1
        fi
      done
      break
    fi
    if pid_is_ours "$pid" "$datadir"; then
      log "server did not become ready in 30 s"
      tail -n 20 "$run/error.log" >&2 || true
      return 1
    fi
    log "server did not start on port $port; retrying"
    pid=""
  done
  if [[ -z "$pid" ]]; then
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
