# Shell functions shared by the scripts that start private MariaDB servers
# for the tests (test-db-server.sh, test-cluster.sh). Sourced, never run.
#
# A server is known by its data directory: every process whose command line
# holds exactly --datadir=DIR is one of ours, whatever its pid file says or
# when it says it, and a process that only reused a recorded pid never is.

# Options every private server gets. --no-defaults keeps the system's
# configuration out; mariadbd refuses to run as root without --user=root.
dbs_user_opt=()
[[ $(id -u) -eq 0 ]] && dbs_user_opt=(--user=root)
dbs_base_opts=(
  --skip-name-resolve --innodb-log-file-size=8M
  --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci
)

dbs_log() { echo "${dbs_name:-db-server}: $*" >&2; }

# dbs_need PROGRAM...: when one is missing, exit 77 (a skip for ctest), or
# 1 under CI=true, where a missing server is a failure.
dbs_need() {
  local p
  for p in "$@"; do
    command -v "$p" >/dev/null 2>&1 && continue
    if [[ "${CI:-}" == true ]]; then
      dbs_log "$p not found (scripts/install-deps.sh installs it)"
      exit 1
    fi
    dbs_log "$p not found; the tests that need it are skipped"
    exit 77
  done
}

# dbs_pids DATADIR: the live processes running on DATADIR, one per line.
dbs_pids() {
  local re
  re=$(printf '%s' "--datadir=$1" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  pgrep -f -- "(^| )$re( |\$)" || true
}
dbs_pid() { dbs_pids "$1" | head -n 1; }

# dbs_wait_gone DATADIR SECONDS: true once nothing runs on DATADIR.
dbs_wait_gone() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [[ -z "$(dbs_pids "$1")" ]] && return 0
    sleep 0.1
  done
  [[ -z "$(dbs_pids "$1")" ]]
}

# dbs_signal DATADIR SIGNAL: sends SIGNAL (STOP, CONT, ...) to every process
# on DATADIR; false when none runs there.
dbs_signal() {
  local pids
  pids=$(dbs_pids "$1")
  [[ -n "$pids" ]] || return 1
  # shellcheck disable=SC2086
  kill -"$2" $pids
}

# dbs_stop DATADIR [SIGNAL]: ends every process on DATADIR (SIGTERM, then
# SIGKILL after 30 s; SIGKILL at once when asked) and waits until they are
# gone. A stopped (frozen) server is woken, so that it sees the signal.
dbs_stop() {
  local datadir=$1 sig=${2:-TERM} pids
  pids=$(dbs_pids "$datadir")
  [[ -z "$pids" ]] && return 0
  # shellcheck disable=SC2086
  kill -"$sig" $pids 2>/dev/null || true
  # shellcheck disable=SC2086
  kill -CONT $pids 2>/dev/null || true
  dbs_wait_gone "$datadir" 30 && return 0
  pids=$(dbs_pids "$datadir")
  dbs_log "server $pids ignored SIGTERM for 30 s; killing it"
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  dbs_wait_gone "$datadir" 5
}

# dbs_free_port [TAKEN...]: a random loopback port that no socket uses now
# and that is not among TAKEN. It lies below the range the kernel takes
# client ports from, so that no connection made meanwhile (a client of
# another test server, a cluster node's own links) can hold it when the
# server binds it; a server may still lose a race for it to another server.
dbs_free_port() {
  local port busy low=32768 high=60999 base=20000 span range
  if range=$(cat /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null); then
    read -r low high <<<"$range"
  fi
  span=$((low - base))
  # A kernel whose client ports start low: above them if there is room.
  ((span >= 2000)) || { base=$((high + 1)); span=$((65535 - high)); }
  ((span >= 2000)) || { base=20000; span=40000; }
  busy=$(ss -Htan 2>/dev/null | awk '{print $4}' | sed 's/.*://' || true)
  busy+=$'\n'"$*"
  busy=$(tr ' ' '\n' <<<"$busy")
  while :; do
    port=$((base + (RANDOM * 32768 + RANDOM) % span))
    grep -qx "$port" <<<"$busy" || break
  done
  echo "$port"
}

# dbs_install DATADIR LOG TMPDIR: a new data directory with a root user that
# has no password and logs in over the socket only. TMPDIR is the server's
# own: temporary tables of servers installed side by side never meet in /tmp.
dbs_install() {
  mkdir -p -- "$3"
  if ! mariadb-install-db --no-defaults "${dbs_user_opt[@]}" --datadir="$1" \
      --tmpdir="$3" --auth-root-authentication-method=normal --skip-test-db \
      --skip-name-resolve --innodb-log-file-size=8M >"$2" 2>&1; then
    dbs_log "mariadb-install-db failed:"
    cat "$2" >&2
    return 1
  fi
}

# dbs_ping SOCKET: true when the server on SOCKET answers.
dbs_ping() {
  mariadb-admin --no-defaults --socket="$1" -uroot --connect-timeout=2 \
    ping >/dev/null 2>&1
}

# dbs_wait_ready DATADIR SOCKET LAUNCHED SECONDS [ON_PID]: waits until the
# server on DATADIR answers on SOCKET. The pid, the first answer and the end
# of a failed start may come in any order: the pid is read from the process
# table each round (and given to the command ON_PID when first seen), so the
# wait ends knowing it. Prints the pid. Status 0 when ready, 1 when a server
# runs but did not answer in time, 2 when nothing runs on DATADIR any more.
dbs_wait_ready() {
  local datadir=$1 sock=$2 launched=$3 seconds=$4 on_pid=${5:-} pid seen="" i
  for ((i = 0; i < seconds * 10; i++)); do
    pid=$(dbs_pid "$datadir")
    if [[ -n "$pid" && "$pid" != "$seen" ]]; then
      seen=$pid
      [[ -n "$on_pid" ]] && "$on_pid" "$pid"
    fi
    if [[ -n "$pid" ]] && dbs_ping "$sock"; then
      echo "$pid"
      return 0
    fi
    # Launched and gone, and nothing on our data: it died. One more look
    # at the process table, since it may have been between fork and exec.
    if [[ -z "$pid" ]] && ! kill -0 "$launched" 2>/dev/null &&
        [[ -z "$(dbs_pid "$datadir")" ]]; then
      return 2
    fi
    sleep 0.1
  done
  [[ -n "$(dbs_pid "$datadir")" ]] && return 1
  return 2
}
