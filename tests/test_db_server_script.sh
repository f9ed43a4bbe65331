#!/usr/bin/env bash
# Attacks scripts/test-db-server.sh with servers that misbehave at start:
# each case puts a wrapper in the server's place and states what start must
# answer. Whatever the case, start must name the server it started, and
# after stop (or after a failed start) nothing may run on its data.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
script="$root/scripts/test-db-server.sh"
command -v mariadbd >/dev/null || {
  [[ "${CI:-}" == true ]] && { echo "mariadbd missing"; exit 1; }
  echo "mariadbd missing; skipped"; exit 77
}
work=$(mktemp -d /tmp/orvex_dbscript.XXXXXX)
trap 'for s in "$work"/*/state; do bash "$script" stop "$s" 2>/dev/null; done; rm -rf "$work"' EXIT

mkdir "$work/bin"
# Wrappers. Each runs the real server (exec, so it keeps the launched pid)
# after changing what the start loop sees.
cat >"$work/bin/late-pid-file" <<'EOF'
#!/usr/bin/env bash
# The pid file appears 3 s after the server first answers.
args=()
for a in "$@"; do
  case $a in
    --pid-file=*) pidfile=${a#--pid-file=}; a="--pid-file=$pidfile.real" ;;
    --socket=*) sock=${a#--socket=} ;;
  esac
  args+=("$a")
done
setsid bash -c 'for ((i = 0; i < 600; i++)); do
    mariadb-admin --no-defaults --socket="$1" -uroot ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 3; cp "$2.real" "$2"' late "$sock" "$pidfile" </dev/null >/dev/null 2>&1 &
exec mariadbd "${args[@]}"
EOF
cat >"$work/bin/no-pid-file" <<'EOF'
#!/usr/bin/env bash
# The pid file is written where nobody looks.
args=()
for a in "$@"; do
  [[ $a == --pid-file=* ]] && a="${a}.elsewhere"
  args+=("$a")
done
exec mariadbd "${args[@]}"
EOF
cat >"$work/bin/setup-fails" <<'EOF'
#!/usr/bin/env bash
# The server answers, but refuses the users that start creates.
exec mariadbd "$@" --skip-grant-tables
EOF
cat >"$work/bin/dies-at-once" <<'EOF'
#!/usr/bin/env bash
exit 1
EOF
chmod +x "$work"/bin/*

# wrapper       expected start status
cases=(
  "late-pid-file 0"
  "no-pid-file   0"
  "setup-fails   1"
  "dies-at-once  1"
)

failed=0 passed=0 bad=0
fail() { echo "FAIL $1: $2"; bad=1; }
for row in "${cases[@]}"; do
  bad=0
  read -r name want <<<"$row"
  state="$work/$name/state"
  mkdir -p "$work/$name"
  ORVEX_TEST_DB_SERVER_PROGRAM="$work/bin/$name" bash "$script" start "$state" \
    >"$work/$name/start.log" 2>&1
  rc=$?
  # The data directory start made.
  datadir=$(ls -d "$state"/server.*/data 2>/dev/null | head -n 1)
  if ((rc != want)); then
    fail "$name" "start exited $rc, expected $want"
    sed 's/^/  | /' "$work/$name/start.log" | tail -n 15
  fi
  if ((rc == 0)); then
    pid=$(sed -n 's/^pid=//p' "$state/server.info")
    if ! tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null |
        grep -qx -- "--datadir=$datadir"; then
      fail "$name" "server.info names pid '$pid', not the running server"
    fi
    [[ -s "$state/db.env" ]] || fail "$name" "no db.env after a good start"
    bash "$script" stop "$state" >>"$work/$name/start.log" 2>&1 ||
      fail "$name" "stop failed"
  fi
  # Nothing may be left on the data the start used.
  left=$(pgrep -f -- "--datadir=$work/$name/" || true)
  [[ -z "$left" ]] || fail "$name" "processes left running: $left"
  [[ ! -e "$state/server.info" ]] || fail "$name" "server.info left behind"
  if ((bad)); then failed=$((failed + 1)); else passed=$((passed + 1)); fi
done
echo "$passed passed, $failed failed"
((failed == 0))
