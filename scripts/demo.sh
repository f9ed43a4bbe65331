#!/usr/bin/env bash
# The one-command demo: builds the library and its programs, makes a sample
# project in a temporary directory with a private MariaDB server holding a
# few hundred rows, and walks through what an operator does with it. It
# stops everything it started, also when a step fails.
#
#   demo.sh             one server
#   demo.sh --keep DIR  the same, in DIR (new or empty), which it leaves
#                       behind with its database server running, to try the
#                       tool on; it prints the command that stops the server
#   demo.sh --cluster   the sample daemon on a three-node Galera cluster
#                       while one node is killed and rejoins, and a read on
#                       a GTID replica that waits for its write
set -euo pipefail
usage() { echo "usage: $0 [--keep DIR | --cluster]" >&2; exit 2; }
mode="" keep=""
case ${1:-} in
  "") ;;
  --cluster) mode=--cluster; [[ $# -eq 1 ]] || usage ;;
  --keep) [[ $# -eq 2 && -n $2 ]] || usage; keep=$2 ;;
  *) usage ;;
esac
if [[ -n $keep ]]; then
  mkdir -p "$keep"
  [[ -z "$(ls -A "$keep")" ]] || { echo "demo.sh: $keep is not empty" >&2; exit 2; }
  keep=$(cd "$keep" && pwd)
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [[ -t 1 ]]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "1. Installing what is missing and building (a minute on a fresh machine)"
"$root/scripts/install-deps.sh"
build="$root/build/demo"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEX_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target orvex-admin sample-daemon replica-read >/dev/null
admin="$build/tools/orvex-admin"
daemon="$build/examples/sample-daemon"

work=${keep:-$(mktemp -d /tmp/orvex-demo.XXXXXX)}
daemon_pid=""
kept=""  # set once the demo has reached its end with --keep
cleanup() {
  [[ -n "$daemon_pid" ]] && kill "$daemon_pid" 2>/dev/null || true
  [[ -n $kept ]] && return 0
  bash "$root/scripts/test-db-server.sh" stop "$work/db" 2>/dev/null || true
  bash "$root/scripts/test-cluster.sh" stop "$work/cluster" 2>/dev/null || true
  if [[ -n $keep ]]; then rm -rf "${work:?}"/*; else rm -rf "$work"; fi
}
trap cleanup EXIT

if [[ $mode == --cluster ]]; then
  say "2. A primary with a GTID replica and a three-node Galera cluster (about a minute)"
  bash "$root/scripts/test-cluster.sh" start "$work/cluster"
  # shellcheck disable=SC1091
  source "$work/cluster/cluster.env"
  root_sql() { mariadb --no-defaults -uroot --socket="$1" "$DB_NAME"; }
  for s in "$GALERA1_SOCKET" "$PRIMARY_SOCKET"; do root_sql "$s" <"$root/db/schema.sql"; done
  echo "insert into result (name, workunitid, appid, server_state) values
    ('r1', 1, 1, 2), ('r2', 1, 2, 2), ('r3', 2, 1, 5);" | root_sql "$GALERA1_SOCKET"
  node() { echo "127.0.0.1:$1"; }
  list="$(node "$GALERA1_PORT"),$(node "$GALERA2_PORT"),$(node "$GALERA3_PORT")"
  settings() {  # DIR DB_HOST REPLICA_HOST
    mkdir -p "$1/cgi-bin"
    cat >"$1/config.xml" <<XML
<orvex><config>
  <master_url>https://demo.example.org/demo/</master_url>
  <db_name>$DB_NAME</db_name><db_user>$DB_USER</db_user><db_passwd>$DB_PASSWD</db_passwd>
  <db_host>$2</db_host><replica_db_host>$3</replica_db_host>
</config></orvex>
XML
  }
  project="$work/project"
  settings "$project" "$list" "$list"
  export ORVEX_PROJECT_DIR="$project"
  echo "db_host: $list"

  say "3. The sample daemon on the cluster; the node it reads from is killed, then rejoins"
  "$daemon" --sleep 1 &
  daemon_pid=$!
  log_of() { cat "$project"/log_*/sample_daemon.log 2>/dev/null || true; }
  for _ in $(seq 50); do grep -q "reading from" <<<"$(log_of)" && break; sleep 0.2; done
  port=$(log_of | sed -n 's/.*reading from 127.0.0.1:\([0-9]*\).*/\1/p' | tail -n 1)
  victim=""
  for n in 1 2 3; do
    p="GALERA${n}_PORT"
    [[ ${!p} == "$port" ]] && victim=galera$n
  done
  sleep 2
  run bash "$root/scripts/test-cluster.sh" kill "$victim" "$work/cluster"
  sleep 5
  run bash "$root/scripts/test-cluster.sh" restart "$victim" "$work/cluster"
  run "$admin" db ping
  run "$admin" stop daemons
  wait "$daemon_pid" || true
  daemon_pid=""
  echo "the daemon's log:"
  log_of | sed 's/^/    /'
  "$admin" start daemons >/dev/null

  say "4. A write on the primary, read back on the GTID replica once it has applied it"
  settings "$work/replica-project" "$(node "$PRIMARY_PORT")" "$(node "$REPLICA_PORT")"
  export ORVEX_PROJECT_DIR="$work/replica-project"
  run "$admin" db ping
  run "$build/examples/replica-read" demo_read_your_writes

  say "Done: everything the demo started has been stopped"
  exit 0
fi

say "2. A private MariaDB server with the project's schema and sample rows"
bash "$root/scripts/test-db-server.sh" start "$work/db"
# shellcheck disable=SC1091
source "$work/db/db.env"
sql() { mariadb --no-defaults --socket="$DB_SOCKET" -u"$DB_USER" -p"$DB_PASSWD" "$DB_NAME" "$@"; }
sql <"$root/db/schema.sql"
{
  echo "insert into host (domain_name, p_fpops) values"
  for i in $(seq 1 40); do
    printf "('host%d', %d)%s\n" "$i" $((1500000000 + i * 75000000)) "$([[ $i -lt 40 ]] && echo , || echo ';')"
  done
  echo "insert into workunit (name, appid) values"
  for i in $(seq 1 100); do
    printf "('wu_%d', %d)%s\n" "$i" $((i % 3 + 1)) "$([[ $i -lt 100 ]] && echo , || echo ';')"
  done
  echo "insert into result (name, workunitid, appid, server_state) values"
  for i in $(seq 1 300); do
    wu=$(((i - 1) / 3 + 1))
    state=$([[ $((i % 5)) -lt 2 ]] && echo 2 || echo 5)
    printf "('wu_%d_%d', %d, %d, %d)%s\n" "$wu" $((i % 3)) "$wu" $((wu % 3 + 1)) "$state" \
      "$([[ $i -lt 300 ]] && echo , || echo ';')"
  done
} | sql
echo "40 hosts, 100 workunits, 300 results loaded"

say "3. A project directory: settings, cgi-bin, download and upload trees"
project="$work/project"
mkdir -p "$project/cgi-bin" "$project/download" "$project/upload"
cat >"$project/config.xml" <<XML
<?xml version="1.0"?>
<orvex>
  <config>
    <master_url>https://demo.example.org/demo/</master_url>
    <long_name>Orvex demo project</long_name>
    <db_name>$DB_NAME</db_name>
    <db_host>$DB_HOST:$DB_PORT</db_host>
    <db_user>$DB_USER</db_user>
    <db_passwd>$DB_PASSWD</db_passwd>
    <download_url>https://demo.example.org/demo/download</download_url>
    <download_dir>$project/download</download_dir>
    <upload_url>https://demo.example.org/demo_cgi/file_upload_handler</upload_url>
    <upload_dir>$project/upload</upload_dir>
    <uldl_dir_fanout>1024</uldl_dir_fanout>
    <max_wus_to_send>20</max_wus_to_send>
    <ban_os>Windows 95</ban_os>
  </config>
</orvex>
XML
cat >"$project/config_aux.xml" <<XML
<config>
  <max_jobs_in_progress>
    <project><cpu_limit><jobs>8</jobs><per_proc/></cpu_limit></project>
    <app><app_name>alpha</app_name><gpu_limit><jobs>1</jobs></gpu_limit></app>
  </max_jobs_in_progress>
</config>
XML
export ORVEX_PROJECT_DIR="$project"
echo "ORVEX_PROJECT_DIR=$project"

say "4. The effective settings, and the settings linter"
printf '$ %s config\n' "$admin"
settings=$("$admin" config)
head -20 <<<"$settings"
echo "... (every key; --json and --verbose say more)"
run "$admin" config db_host uldl_dir_fanout
run "$admin" config --describe uldl_dir_fanout
run "$admin" check

say "5. Where a file lives in the hashed download tree, and its URL"
run "$admin" path download wu_1_input --create
run "$admin" url download wu_1_input

say "6. The database, as the settings describe it"
run "$admin" db ping
echo "(unsent results: results made for a workunit and waiting to be sent to a host)"
run "$admin" db counts
echo "(the speed of the hosts, p_fpops, in floating-point operations a second:"
echo " its mean, standard deviation, median (p50) and 95th percentile; the"
echo " defaults stand until the host table has 10 rows)"
run "$admin" db perf

say "7. The sample daemon: three passes, a refused second copy, a clean stop"
"$daemon" --sleep 1 &
daemon_pid=$!
sleep 2.5
echo "a second copy while the first runs:"
"$daemon" --once && echo "(unexpectedly started)" || echo "(refused, as it should be)"
run "$admin" status
echo "a few of its metrics for Prometheus:"
"$admin" metrics | grep -E '^orvex_(daemon_running|unsent_results|results|db_server_up)'
echo "(a trigger file: a file whose presence in the project directory asks the"
echo " daemons (stop_daemons) or the scheduler (stop_sched) to stop at their"
echo " next check; orvex-admin start removes it)"
run "$admin" stop daemons
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
log=$(ls "$project"/log_*/sample_daemon.log)
echo "the daemon's log ($log):"
sed 's/^/    /' "$log"
echo "the daemon ended with exit status $status"
[[ ! -e "$project/sample_daemon.pid" ]] && echo "(its pid file went with it)"
run "$admin" start daemons
[[ $status -eq 0 ]]

if [[ -n $keep ]]; then
  kept=yes
  say "Done: the project is kept in $project, and its database server runs"
  echo "Stop the server when you are done:"
  echo "  bash $root/scripts/test-db-server.sh stop $work/db"
  where=$project
else
  say "Done: everything the demo started has been stopped"
  where="DIR/project (after demo.sh --keep DIR)"
fi
cat <<EOF

Three things to try next, with ORVEX_PROJECT_DIR=$where
(orvex-admin is $admin):
  1. start $daemon --sleep 5 &, then orvex-admin status: the daemon, its pid,
     since when, its last log line; kill -9 it and ask again
  2. put <max_ncpus>-5</max_ncpus> or <long_name>x</long_nam> into its
     config.xml and run orvex-admin check: the line to mend, and why
  3. orvex-admin config --describe uldl_dir_fanout, and orvex-admin metrics,
     which Prometheus' textfile collector reads (README.md, "Monitoring")
EOF
