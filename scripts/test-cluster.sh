#!/usr/bin/env bash
# Starts or stops the private multi-server topology of the cluster tests:
# a primary with a GTID replica, and a three-node Galera cluster, all on
# loopback, all with TLS from a private CA made here.
#
#   test-cluster.sh start STATE_DIR        everything; writes STATE_DIR/cluster.env
#   test-cluster.sh stop STATE_DIR         stops every server and removes the data
#   test-cluster.sh kill NODES STATE_DIR    kill -9 of servers, all at once
#   test-cluster.sh restart NODES STATE_DIR starts stopped or killed servers
#                                           again on their data, side by side
#                                           (a Galera node rejoins from its
#                                           recovered position)
#   test-cluster.sh freeze NODES STATE_DIR  kill -STOP of servers: they keep
#                                           their sockets and answer nothing
#   test-cluster.sh thaw NODES STATE_DIR    kill -CONT, then waits until each
#                                           answers (a Galera node: until it
#                                           is Synced in a cluster of 3 again)
#   test-cluster.sh cut NODES STATE_DIR     drops every packet between Galera
#                                           nodes and the others (their
#                                           clients still reach them); only
#                                           inside a named network namespace,
#                                           whose packet filter is its own
#   test-cluster.sh heal NODES STATE_DIR    lifts the cut, then waits until
#                                           all three are Synced again
#
# NODES is a comma-separated list of primary, replica, galera1, galera2 and
# galera3. cluster.env holds
# KEY=VALUE lines: DB_NAME, DB_USER, DB_PASSWD (the same user on every
# server; it has no SUPER, so the replica's read_only applies to it),
# TLS_CA (the CA that signed every server's certificate), TLS_OTHER_CA (a CA
# that signed nothing), and for each node <NODE>_PORT and <NODE>_SOCKET.
# Root logs in over the socket with no password.
#
# Servers never read the system's configuration and are stopped by their
# data directories, also after a failed start. Missing programs: start exits
# 77 (a skip for ctest) unless CI=true.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=db-server-lib.sh
source "$here/db-server-lib.sh"
dbs_name=test-cluster
log() { dbs_log "$@"; }

usage() {
  echo "usage: $0 start|stop STATE_DIR | $0 kill|restart|freeze|thaw|cut|heal NODE[,NODE] STATE_DIR" >&2
  exit 2
}
nodes=(primary replica galera1 galera2 galera3)
galera_provider=/usr/lib/galera/libgalera_smm.so

# Small servers: five of them share a 2-core test machine.
small_opts=(
  --innodb-buffer-pool-size=16M --key-buffer-size=1M
  --aria-pagecache-buffer-size=1M --innodb-log-buffer-size=2M
)

node_dir() { echo "$state/nodes/$1"; }

# The argument list of a node is kept in its directory, one per line, so
# that restart runs the same server again.
save_args() {
  local n=$1
  shift
  printf '%s\n' "$@" >"$(node_dir "$n")/args"
}
load_args() { mapfile -t args <"$(node_dir "$1")/args"; }

# As root, the rsync state transfer runs as nobody, which must be able to
# write every file of a Galera node's data: before every start.
own_for_sst() {
  [[ $(id -u) -eq 0 && $1 == galera* ]] || return 0
  chown -R nobody:nogroup "$(node_dir "$1")/data"
}

launch() {
  local n=$1
  shift
  local d
  d=$(node_dir "$n")
  own_for_sst "$n"
  setsid mariadbd "$@" </dev/null >>"$d/out" 2>&1 &
  launched=$!
}

# wait_node NODE SECONDS: until it answers; its pid in STATE/nodes/NODE/pid.
wait_node() {
  local n=$1 d pid rc=0
  d=$(node_dir "$n")
  pid=$(dbs_wait_ready "$d/data" "$(sock_of "$n")" "$launched" "$2") || rc=$?
  if ((rc != 0)); then
    # Its errors, not the stack trace that follows an abort.
    log "$n did not start:"
    grep -F '[ERROR]' "$d/error.log" | tail -n 8 >&2 || true
    return 1
  fi
  echo "$pid" >"$d/pid"
}

sock_of() { echo "$(cat "$state/sockdir")/$1.sock"; }
port_of() { sed -n "s/^${1^^}_PORT=//p" "$state/ports"; }
as_root() {
  local n=$1
  shift
  mariadb --no-defaults --socket="$(sock_of "$n")" -uroot "$@"
}
status_of() {
  as_root "$1" -N -e "select variable_value from information_schema.global_status where variable_name='$2'" 2>/dev/null
}

# wait_synced NODE SIZE SECONDS
wait_synced() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    [[ "$(status_of "$1" wsrep_cluster_size)/$(status_of "$1" wsrep_local_state_comment)" == "$2/Synced" ]] && return 0
    sleep 0.1
  done
  log "$1 not Synced in a cluster of $2 after $3 s"
  tail -n 20 "$(node_dir "$1")/error.log" >&2 || true
  return 1
}

make_tls() {
  local t="$state/tls"
  mkdir -p "$t"
  (
    cd "$t"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem \
      -days 2 -subj "/CN=orvex-test-ca"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key \
      -out other-ca.pem -days 2 -subj "/CN=orvex-other-ca"
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
      -subj "/CN=127.0.0.1"
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >ext.cnf
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key \
      -CAcreateserial -out server.pem -days 2 -extfile ext.cnf
    # The replica's names another host: a client that checks names refuses
    # it in the place of 127.0.0.1, one that checks only the CA takes it.
    openssl req -newkey rsa:2048 -nodes -keyout other-name.key \
      -out other-name.csr -subj "/CN=orvex-replica.invalid"
    printf 'subjectAltName=DNS:orvex-replica.invalid\n' >other-name.cnf
    openssl x509 -req -in other-name.csr -CA ca.pem -CAkey ca.key \
      -CAcreateserial -out other-name.pem -days 2 -extfile other-name.cnf
    chmod 644 ./*.pem server.key
  ) >"$t/openssl.log" 2>&1 || {
    log "openssl failed:"
    cat "$t/openssl.log" >&2
    return 1
  }
}

# Each Galera node talks to the others from a loopback address of its own
# (all of 127/8 is local), so that a packet filter can cut one node off
# from the others while its clients still reach it on 127.0.0.1.
gcomm_host() { echo "127.0.1.$1"; }

# The options of node n, without those of its first start only.
node_args() {
  local n=$1 d t="$state/tls"
  d=$(node_dir "$n")
  args=(
    --no-defaults "${dbs_user_opt[@]}" --datadir="$d/data"
    --socket="$(sock_of "$n")" --port="$(port_of "$n")"
    --bind-address=127.0.0.1 --pid-file="$d/mysqld.pid"
    --log-error="$d/error.log" --tmpdir="$d/tmp" "${dbs_base_opts[@]}"
    "${small_opts[@]}"
    --ssl-ca="$t/ca.pem"
  )
  if [[ $n == replica ]]; then
    args+=(--ssl-cert="$t/other-name.pem" --ssl-key="$t/other-name.key")
  else
    args+=(--ssl-cert="$t/server.pem" --ssl-key="$t/server.key")
  fi
  case $n in
    primary)
      args+=(--server-id=1 --log-bin=mysql-bin --binlog-format=ROW
        --gtid-strict-mode=1) ;;
    replica)
      args+=(--server-id=2 --log-bin=mysql-bin --binlog-format=ROW
        --gtid-strict-mode=1 --relay-log=relay-bin --log-slave-updates=1
        --read-only=1) ;;
    galera*)
      local k=${n#galera} addr="" i
      for i in 1 2 3; do
        addr+="${addr:+,}$(gcomm_host "$i"):$(port_of "gcomm$i")"
      done
      args+=(--binlog-format=ROW --default-storage-engine=InnoDB
        --innodb-autoinc-lock-mode=2 --wsrep-on=ON
        --wsrep-provider="$galera_provider" --wsrep-cluster-name=orvex_test
        --wsrep-cluster-address="gcomm://$addr" --wsrep-node-name="$n"
        --wsrep-node-address="$(gcomm_host "$k"):$(port_of "gcomm$k")"
        --wsrep-node-incoming-address="127.0.0.1:$(port_of "$n")"
        "--wsrep-provider-options=gmcast.listen_addr=tcp://$(gcomm_host "$k"):$(port_of "gcomm$k"); ist.recv_addr=127.0.0.1:$(port_of "ist$k"); gcache.size=8M; evs.keepalive_period=PT0.5S; evs.suspect_timeout=PT2S"
        --wsrep-sst-method=rsync
        --wsrep-sst-receive-address="127.0.0.1:$(port_of "sst$k")") ;;
  esac
}

# After a failed start: the end of every node's log, for the test's output.
show_logs() {
  local n f
  for n in "${nodes[@]}"; do
    for f in "$(node_dir "$n")"/{error,recover}.log; do
      [[ -s "$f" ]] || continue
      echo "--- $n: $f" >&2
      grep -v '\[Note\]' "$f" | tail -n 15 >&2
    done
  done
}

stop_all() {
  [[ -d "$state/nodes" ]] || return 0
  local n left=0
  # Galera nodes one at a time, so that the last keeps its quorum to the end.
  for n in galera3 galera2 galera1 replica primary; do
    [[ -d "$(node_dir "$n")/data" ]] || continue
    dbs_stop "$(node_dir "$n")/data" || left=1
  done
  if [[ -f "$state/sockdir" ]]; then rm -rf -- "$(cat "$state/sockdir")"; fi
  rm -rf -- "$state/nodes" "$state/tls" "$state/ports" "$state/sockdir" \
    "$state/cluster.env"
  ((left == 0)) || { log "a server outlived SIGKILL"; return 1; }
}

start_all() {
  dbs_need mariadb-install-db mariadbd mariadb-admin mariadb openssl rsync
  if [[ ! -r $galera_provider ]]; then
    dbs_log "$galera_provider not found (scripts/install-deps.sh installs galera-4)"
    [[ "${CI:-}" == true ]] && exit 1
    exit 77
  fi
  stop_all
  mkdir -p "$state/nodes"
  state=$(cd -- "$state" && pwd)
  mktemp -d /tmp/orvex-cl.XXXXXX >"$state/sockdir"  # short socket paths

  local taken="" key p n
  : >"$state/ports"
  for key in primary replica galera1 galera2 galera3 gcomm1 gcomm2 gcomm3 \
      ist1 ist2 ist3 sst1 sst2 sst3; do
    p=$(dbs_free_port $taken)
    taken+=" $p"
    echo "${key^^}_PORT=$p" >>"$state/ports"
  done
  make_tls
  for n in "${nodes[@]}"; do mkdir -p "$(node_dir "$n")"; done
  # Joiners start empty; the state transfer fills them.
  local installs=()
  for n in primary replica galera1; do
    dbs_install "$(node_dir "$n")/data" "$(node_dir "$n")/install.log" \
      "$(node_dir "$n")/tmp" &
    installs+=($!)
  done
  for p in "${installs[@]}"; do wait "$p" || return 1; done
  mkdir -p "$(node_dir galera2)"/{data,tmp} "$(node_dir galera3)"/{data,tmp}

  local db=orvex_test user=orvex_test passwd
  passwd=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  local setup="CREATE DATABASE $db;
CREATE USER '$user'@'localhost' IDENTIFIED BY '$passwd';
CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$passwd';
GRANT ALL PRIVILEGES ON $db.* TO '$user'@'localhost';
GRANT ALL PRIVILEGES ON $db.* TO '$user'@'127.0.0.1';"

  # The primary and the cluster's first node, side by side.
  for n in primary replica galera1; do
    node_args "$n"
    save_args "$n" "${args[@]}"
    [[ $n == galera1 ]] && args+=(--wsrep-new-cluster)
    launch "$n" "${args[@]}"
    eval "launched_$n=$launched"
  done
  for n in primary replica galera1; do
    launched=$(eval "echo \$launched_$n")
    wait_node "$n" 60
  done
  wait_synced galera1 1 30
  for n in galera2 galera3; do
    node_args "$n"
    save_args "$n" "${args[@]}"
    launch "$n" "${args[@]}"
    eval "launched_$n=$launched"
  done

  # Meanwhile: users on the primary, replicated to the replica from the
  # start of the primary's binary log.
  # SLAVE MONITOR lets the user read where the replica stands.
  as_root primary -e "$setup
GRANT SLAVE MONITOR ON *.* TO '$user'@'localhost';
GRANT SLAVE MONITOR ON *.* TO '$user'@'127.0.0.1';
CREATE USER 'repl'@'127.0.0.1' IDENTIFIED BY '$passwd';
GRANT REPLICATION SLAVE ON *.* TO 'repl'@'127.0.0.1';"
  as_root replica -e "CHANGE MASTER TO MASTER_HOST='127.0.0.1',
    MASTER_PORT=$(port_of primary), MASTER_USER='repl',
    MASTER_PASSWORD='$passwd', MASTER_USE_GTID=slave_pos; START SLAVE;"
  local gtid
  gtid=$(as_root primary -N -e "select @@gtid_binlog_pos")
  if [[ "$(as_root replica -N -e "select master_gtid_wait('$gtid', 30)")" != 0 ]]; then
    log "the replica did not reach $gtid in 30 s"
    as_root replica -e "show slave status\G" >&2 || true
    return 1
  fi

  for n in galera2 galera3; do
    launched=$(eval "echo \$launched_$n")
    wait_node "$n" 90
  done
  for n in galera1 galera2 galera3; do wait_synced "$n" 3 60; done
  as_root galera1 -e "$setup"

  {
    echo "DB_NAME=$db"
    echo "DB_USER=$user"
    echo "DB_PASSWD=$passwd"
    echo "TLS_CA=$state/tls/ca.pem"
    echo "TLS_OTHER_CA=$state/tls/other-ca.pem"
    for n in "${nodes[@]}"; do
      echo "${n^^}_PORT=$(port_of "$n")"
      echo "${n^^}_SOCKET=$(sock_of "$n")"
    done
  } >"$state/cluster.env.tmp"
  mv -- "$state/cluster.env.tmp" "$state/cluster.env"
  log "ready: primary $(port_of primary), replica $(port_of replica)," \
    "galera $(port_of galera1) $(port_of galera2) $(port_of galera3)"
}

# recover_position NODE: the position a stopped Galera node's data holds
# (after kill -9 the saved one is lost), uuid:seqno or nothing; also kept
# in the node's directory for start_node.
recover_position() {
  local d args
  d=$(node_dir "$1")
  load_args "$1"
  own_for_sst "$1"
  mariadbd "${args[@]}" --wsrep-recover --log-error="$d/recover.log" \
    >/dev/null 2>&1 || true
  sed -n 's/.*WSREP: Recovered position: *//p' "$d/recover.log" | tail -n 1 |
    tee "$d/position"
}

# start_node NODE [OPTION...]: launched on its data, a Galera node from its
# recovered position (it then rejoins by incremental transfer).
start_node() {
  local n=$1 pos args
  shift
  load_args "$n"
  if [[ $n == galera* ]]; then
    pos=$(cat "$(node_dir "$n")/position")
    [[ -z "$pos" ]] || args+=(--wsrep-start-position="$pos")
  fi
  launch "$n" "${args[@]}" "$@"
}

# settled_seqno NODE: the last seqno a survivor of a lost quorum committed,
# once it knows it is alone and has applied all it received (at most 10 s).
settled_seqno() {
  local i last="" now
  for ((i = 0; i < 100; i++)); do
    now=$(status_of "$1" wsrep_last_committed)
    [[ "$(status_of "$1" wsrep_cluster_status)/$(status_of "$1" wsrep_local_recv_queue)/$now" == "non-Primary/0/$last" ]] && break
    last=$now
    sleep 0.1
  done
  echo "$now"
}

# restart_nodes NODE...: all launched before any is waited for, since Galera
# nodes that lost their quorum together find it again together.
#
# When two Galera nodes come back to one survivor, the three re-form the
# cluster on the survivor's state, and a returning node that holds more
# (the survivor fell behind while frozen or cut off, or missed what was in
# flight when the others died) aborts: "Reversing history ... Data loss is
# possible". As an operator would, the most advanced returning node then
# starts the cluster anew and the others join it, the survivor stopped
# first: left running, it re-formed the old cluster on its own saved view
# once it met the new one, and the nodes that held more aborted again,
# after programs had written on them.
restart_nodes() {
  local n pos seq best="" best_seq=-1 survivors=() behind anew=""
  for n in "$@"; do
    [[ -z "$(dbs_pid "$(node_dir "$n")/data")" ]] || { log "$n is running"; return 1; }
  done
  for n in galera1 galera2 galera3; do
    [[ " $* " == *" $n "* || -z "$(dbs_pid "$(node_dir "$n")/data")" ]] ||
      survivors+=("$n")
  done
  local starts=("$@")
  for n in "$@"; do
    [[ $n == galera* ]] || continue
    pos=$(recover_position "$n")
    seq=${pos##*:}
    [[ -z "$pos" ]] || ((seq <= best_seq)) || { best=$n best_seq=$seq; }
  done
  if ((${#survivors[@]} == 1)) && [[ -n "$best" ]]; then
    n=${survivors[0]}
    behind=$(settled_seqno "$n")
    if ((best_seq > ${behind:-0})); then
      log "$n is behind $best ($behind < $best_seq): $best starts the cluster anew"
      dbs_stop "$(node_dir "$n")/data"
      recover_position "$n" >/dev/null
      starts+=("$n")
      anew=$best
    fi
  fi
  if [[ -n "$anew" ]]; then
    sed -i 's/^safe_to_bootstrap: 0/safe_to_bootstrap: 1/' \
      "$(node_dir "$anew")/data/grastate.dat"
    start_node "$anew" --wsrep-new-cluster
    wait_node "$anew" 90
  fi
  for n in "${starts[@]}"; do
    [[ $n == "$anew" ]] && continue
    # A joiner's saved view would re-form the old cluster without the
    # node that starts it anew.
    [[ -z "$anew" ]] || rm -f -- "$(node_dir "$n")/data/gvwstate.dat"
    start_node "$n"
    eval "launched_$n=$launched"
  done
  for n in "${starts[@]}"; do
    [[ $n == "$anew" ]] && continue
    launched=$(eval "echo \$launched_$n")
    wait_node "$n" 90
  done
  for n in "${starts[@]}"; do
    if [[ $n == galera* ]]; then wait_synced "$n" 3 60; fi
  done
}

# thaw_nodes NODE...: woken together, then waited for.
thaw_nodes() {
  local n
  for n in "$@"; do dbs_signal "$(node_dir "$n")/data" CONT; done
  local i
  for n in "$@"; do
    for ((i = 0; i < 300; i++)); do
      dbs_ping "$(sock_of "$n")" && break
      sleep 0.1
    done
    dbs_ping "$(sock_of "$n")" || { log "$n does not answer after thaw"; return 1; }
  done
  # A woken node shows its old view (Synced, 3 nodes) until it notices
  # it was left, which takes the suspect timeout (2 s) and a view change;
  # the others show the merged one only once it has rejoined.
  if [[ " $* " == *" galera"* ]]; then
    sleep 4
    for n in galera1 galera2 galera3; do wait_synced "$n" 3 60; done
  fi
}

# cut_rules -A|-D NODE...: the filter rules that isolate each node's
# cluster address.
cut_rules() {
  local op=$1 n
  shift
  if [[ -z "$(ip netns identify $$ 2>/dev/null)" ]]; then
    log "cut and heal work only inside a named network namespace"
    return 2
  fi
  for n in "$@"; do
    [[ $n == galera* ]] || { log "only Galera nodes can be cut off"; return 2; }
    iptables -w "$op" INPUT -s "$(gcomm_host "${n#galera}")" -j DROP
    iptables -w "$op" INPUT -d "$(gcomm_host "${n#galera}")" -j DROP
  done
}

case "${1:-}" in
  start | stop)
    [[ $# -eq 2 && -n "$2" ]] || usage
    state=$2
    # Servers are found by their absolute data directories.
    [[ ! -d "$state" ]] || state=$(cd -- "$state" && pwd)
    if [[ $1 == start ]]; then
      trap 'rc=$?; if ((rc != 0 && rc != 77)); then show_logs; stop_all; fi' EXIT
      start_all
    else
      stop_all
    fi
    ;;
  kill | restart | freeze | thaw | cut | heal)
    [[ $# -eq 3 ]] || usage
    IFS=, read -r -a which <<<"$2"
    for n in "${which[@]}"; do
      [[ " ${nodes[*]} " == *" $n "* ]] || usage
    done
    state=$(cd -- "$3" && pwd)
    if [[ $1 == kill ]]; then
      pids=()
      for n in "${which[@]}"; do
        pids+=($(dbs_pids "$(node_dir "$n")/data"))
      done
      ((${#pids[@]} == 0)) || kill -KILL "${pids[@]}" 2>/dev/null || true
      for n in "${which[@]}"; do dbs_wait_gone "$(node_dir "$n")/data" 10; done
    elif [[ $1 == freeze ]]; then
      for n in "${which[@]}"; do dbs_signal "$(node_dir "$n")/data" STOP; done
    elif [[ $1 == thaw ]]; then
      thaw_nodes "${which[@]}"
    elif [[ $1 == cut ]]; then
      cut_rules -A "${which[@]}"
      for n in "${which[@]}"; do date +%s%3N >"$(node_dir "$n")/cut_at"; done
    elif [[ $1 == heal ]]; then
      cut_rules -D "${which[@]}"
      # A cut shorter than the eviction (the suspect timeout, 2 s, and a
      # view change) is healed while the others still count the node in,
      # and they may evict it after: the cluster is whole only once that
      # has played out, 4 s from the cut.
      for n in "${which[@]}"; do
        f="$(node_dir "$n")/cut_at"
        [[ -f $f ]] || continue
        left=$(($(cat "$f") + 4000 - $(date +%s%3N)))
        ((left <= 0)) || sleep "$((left / 1000)).$(printf %03d $((left % 1000)))"
        rm -f "$f"
      done
      for n in galera1 galera2 galera3; do wait_synced "$n" 3 60; done
    else
      restart_nodes "${which[@]}"
    fi
    ;;
  *) usage ;;
esac
