#!/usr/bin/env bash
# A fault soak of the project database: scheduler requests, daemons and a
# replica reader at once on the test cluster (scripts/test-cluster.sh) while
# a schedule drawn from a seed kills, freezes and cuts off Galera nodes and
# stops the replica's SQL thread; then the checker judges the programs'
# histories against the final database and prints the figures.
#
#   soak.sh [SECONDS] [--seed N] [--soak PROGRAM] [--no-deps] [--keep DIR]
#
# SECONDS (default 120) is the whole run of the programs: a sixth of it
# (at least 20 s) without faults, then the schedule, then 15 s without.
# PROGRAM is the built soak program (default: built here into build-soak/).
# --keep DIR copies the histories, the fault log and the final state there.
# Runs as root: everything, servers and programs, lives in a network
# namespace made here, whose loopback and packet filter are its own; it is
# removed at the end, also after a failure. Exit 0 when the checker finds
# the run clean, 1 when it does not or the cluster did not recover, 77 when
# this machine cannot run it (not root, no iptables) unless CI=true.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
log() { echo "soak: $*" >&2; }
skip() {
  log "$*"
  [[ "${CI:-}" == true ]] && exit 1
  exit 77
}
now_ms() { date +%s%3N; }

seconds=120 seed=1 soak="" deps=1 keep="" inside=""
while (($#)); do
  case $1 in
    --seed) seed=$2; shift 2 ;;
    --soak) soak=$2; shift 2 ;;
    --no-deps) deps=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    --inside) inside=$2; shift 2 ;;  # the work directory, in the namespace
    [0-9]*) seconds=$1; shift ;;
    *) echo "usage: $0 [SECONDS] [--seed N] [--soak PROGRAM] [--no-deps] [--keep DIR]" >&2; exit 2 ;;
  esac
done

# ---------------------------------------------------------------------------
# Inside the namespace: the cluster, the programs, the schedule, the check.
if [[ -n $inside ]]; then
  work=$inside
  cluster="$work/cluster"
  script="$root/scripts/test-cluster.sh"
  pids=()
  finish() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    for p in "$cluster"/nodes/*/error.log; do
      [[ -f $p ]] && cp "$p" "$work/logs/$(basename "$(dirname "$p")").err"
    done
    bash "$script" stop "$cluster" || true
  }
  trap finish EXIT
  trap 'exit 143' TERM INT
  bash "$script" start "$cluster"
  # shellcheck disable=SC1091
  source "$cluster/cluster.env"
  as_root() {  # as_root NODE SQL
    local s="${1^^}_SOCKET"
    mariadb --no-defaults -uroot --socket="${!s}" "$DB_NAME" -e "$2"
  }
  as_root galera1 "$(cat "$root/db/schema.sql")
    create table soak_mark (token varbinary(64) not null primary key,
      counter varbinary(16) not null) engine=InnoDB;
    create table soak_counter (name varbinary(16) not null primary key,
      n bigint not null) engine=InnoDB;
    insert into host (id, domain_name) select seq, concat('h', seq) from seq_1_to_50;
    insert into result (name, server_state, random)
      select concat('seed-', seq), 2, floor(rand() * 1000000) from seq_1_to_3000;
    insert into soak_counter values ('d1', 0), ('d2', 0);"
  as_root primary "create table soak_note (token varbinary(64) not null
    primary key, v bigint not null) engine=InnoDB;"

  # One project directory per place in the list's order, as hosts that
  # each keep their own settings would; the reader's names the primary the
  # replica follows.
  g=("127.0.0.1:$GALERA1_PORT" "127.0.0.1:$GALERA2_PORT" "127.0.0.1:$GALERA3_PORT")
  project() {  # project DIR DB_HOST REPLICA_HOST
    mkdir -p "$1"
    printf '<orvex><config><db_name>%s</db_name><db_host>%s</db_host><db_user>%s</db_user><db_passwd>%s</db_passwd><replica_db_host>%s</replica_db_host></config></orvex>\n' \
      "$DB_NAME" "$2" "$DB_USER" "$DB_PASSWD" "$3" >"$1/config.xml"
  }
  for k in 0 1 2; do
    project "$work/p$k" "${g[k]},${g[(k + 1) % 3]},${g[(k + 2) % 3]}" ""
  done
  project "$work/pr" "127.0.0.1:$PRIMARY_PORT" "127.0.0.1:$REPLICA_PORT"
  export ORVEX_DB_HEALTH_FILE="$work/health"
  mkdir -p "$work/hist" "$work/logs"

  run_start=$(now_ms)
  until=$((run_start + seconds * 1000))
  clean=$((seconds / 6 < 20 ? 20 : seconds / 6))
  faults_start=$((run_start + clean * 1000))
  faults_stop=$((until - 15000))
  "$soak" daemon --project "$work/p1" --prog d1 --hist "$work/hist/d1.hist" --until "$until" 2>"$work/logs/d1" &
  pids+=($!)
  "$soak" daemon --project "$work/p2" --prog d2 --hist "$work/hist/d2.hist" --until "$until" 2>"$work/logs/d2" &
  pids+=($!)
  "$soak" reader --project "$work/pr" --prog r1 --hist "$work/hist/r1.hist" --until "$until" 2>"$work/logs/r1" &
  pids+=($!)
  for k in 1 2; do
    (
      while (($(now_ms) < until)); do
        "$soak" scheduler --project "$work/p$((k - 1))" --prog "sched$k" \
          --hist "$work/hist/sched$k.hist" >/dev/null 2>>"$work/logs/sched$k" || true
      done
    ) &
    pids+=($!)
  done

  # The schedule: the five kinds first, in an order drawn from the seed,
  # then kinds drawn at random; each with a hold (how long the fault lasts)
  # and a pause after it. Printed whole, then run while time is left.
  RANDOM=$seed
  kinds=(kill freeze cut sqlstop kill2)
  for ((i = ${#kinds[@]} - 1; i > 0; i--)); do
    j=$((RANDOM % (i + 1)))
    t=${kinds[i]} kinds[i]=${kinds[j]} kinds[j]=$t
  done
  schedule=()
  for ((i = 0; i < seconds / 4; i++)); do  # more than time allows
    if ((i < 5)); then kind=${kinds[i]}; else kind=${kinds[RANDOM % 5]}; fi
    a=$((1 + RANDOM % 3)) b=$((1 + (a + RANDOM % 2) % 3))
    case $kind in
      sqlstop) nodes=replica ;;
      kill2) nodes="galera$a,galera$b" ;;
      *) nodes="galera$a" ;;
    esac
    # Freezes up to 12 s: past the wait bound (10 s) answers are lost.
    hold=$((2 + RANDOM % 4))
    [[ $kind == freeze ]] && hold=$((hold + RANDOM % 8))
    schedule+=("$kind $nodes $hold $((1 + RANDOM % 3))")
  done
  log "seed $seed; schedule (kind nodes hold-s pause-s): $(printf '%s; ' "${schedule[@]:0:12}")..."
  servers_of() {  # the client addresses of NODES
    local n out="" p
    IFS=, read -r -a ns <<<"$1"
    for n in "${ns[@]}"; do
      p="${n^^}_PORT"
      out+="${out:+,}127.0.0.1:${!p}"
    done
    echo "$out"
  }
  : >"$work/faults.log"
  sleep $(((faults_start - $(now_ms)) / 1000)) || true
  recovered=1
  for f in "${schedule[@]}"; do
    read -r kind nodes hold pause <<<"$f"
    # Room for the fault, the node's return (about 10 s) and the pause.
    (($(now_ms) + (hold + pause + 10) * 1000 < faults_stop)) || break
    case $kind in
      kill | kill2) bash "$script" kill "$nodes" "$cluster" ;;
      freeze) bash "$script" freeze "$nodes" "$cluster" ;;
      cut) bash "$script" cut "$nodes" "$cluster" ;;
      sqlstop) as_root replica "stop slave sql_thread" ;;
    esac
    t0=$(now_ms)  # the fault stands: killed, frozen, cut, stopped
    sleep "$hold"
    rc=0
    case $kind in
      kill | kill2) bash "$script" restart "$nodes" "$cluster" || rc=$? ;;
      freeze) bash "$script" thaw "$nodes" "$cluster" || rc=$? ;;
      cut) bash "$script" heal "$nodes" "$cluster" || rc=$? ;;
      sqlstop) as_root replica "start slave sql_thread" || rc=$? ;;
    esac
    t1=$(now_ms)
    servers=-
    [[ $kind == sqlstop ]] || servers=$(servers_of "$nodes")
    echo "$t0 $t1 $kind $nodes $servers" >>"$work/faults.log"
    log "fault $kind $nodes: held ${hold} s, back after $(((t1 - t0) / 1000)) s"
    if ((rc != 0)); then
      log "the cluster did not recover from $kind $nodes"
      recovered=0
      break
    fi
    sleep "$pause"
  done
  for p in "${pids[@]}"; do wait "$p" || true; done
  pids=()
  ((recovered)) || exit 1
  run_end=$until  # the programs were told to stop then
  rc=0
  "$soak" check --project "$work/p0" --reader-project "$work/pr" \
    --hist-dir "$work/hist" --faults "$work/faults.log" \
    --run-start "$run_start" --faults-start "$faults_start" \
    --run-end "$run_end" --bound-s 30 --state-out "$work/state" || rc=$?
  exit "$rc"
fi

# ---------------------------------------------------------------------------
# Outside: packages, the program, the namespace, and the clean-up.
[[ $(id -u) -eq 0 ]] || skip "needs root, for its network namespace"
if ((deps)); then bash "$here/install-deps.sh"; fi
command -v ip >/dev/null && command -v iptables >/dev/null ||
  skip "needs ip and iptables (scripts/install-deps.sh installs them)"
if [[ -z $soak ]]; then
  cmake -S "$root" -B "$root/build-soak" -G Ninja -DORVEX_BUILD_TESTS=ON \
    -DORVEX_BUILD_BENCHMARKS=OFF >/dev/null
  ninja -C "$root/build-soak" -j2 soak >/dev/null
  soak="$root/build-soak/tools/soak"
fi
soak=$(cd "$(dirname "$soak")" && pwd)/$(basename "$soak")
work=$(mktemp -d /tmp/orvex-soak.XXXXXX)
ns="orvex-soak-$$"
cleanup() {
  local rc=$? p
  if ip netns list | grep -qw "$ns"; then
    ip netns exec "$ns" bash "$root/scripts/test-cluster.sh" stop "$work/cluster" || true
    # Whatever of ours is left in the namespace, by its id.
    for p in $(ip netns pids "$ns"); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$ns"
  fi
  if [[ -n $keep ]]; then
    mkdir -p "$keep"
    cp -r "$work/hist" "$work/logs" "$work/faults.log" "$work/state" "$keep"/ 2>/dev/null || true
  fi
  rm -rf -- "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
ip netns add "$ns" || skip "cannot make a network namespace here"
ip netns exec "$ns" ip link set lo up
log "seed $seed, $seconds s, namespace $ns, work $work"
ip netns exec "$ns" bash "$here/soak.sh" "$seconds" --seed "$seed" --soak "$soak" --inside "$work"
