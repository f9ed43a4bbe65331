#!/usr/bin/env bash
# tests/unit_file_test.sh UNIT DAEMON: the unit template, installed for a
# project in a temporary directory with DAEMON as its program, must verify
# without a single complaint (systemd-analyze only warns, with status 0,
# about unknown keys and bad values, so its output counts too).
set -euo pipefail
unit=$1 daemon=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed (apt-get install systemd)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
project=$tmp/project
mkdir -p "$project/bin" "$project/cgi-bin" "$tmp/units"
ln -s "$daemon" "$project/bin/sample-daemon"
sed "s|/srv/orvex/project|$project|g" "$unit" \
  >"$tmp/units/orvex-daemon@sample-daemon.service"

out=$(cd "$tmp/units" && systemd-analyze verify ./orvex-daemon@sample-daemon.service 2>&1) || {
  echo "$out"
  echo "FAIL: systemd-analyze verify"
  exit 1
}
if [ -n "$out" ]; then
  echo "$out"
  echo "FAIL: systemd-analyze complained"
  exit 1
fi
# What these daemons need of a unit: SIGHUP to stop (SIGTERM would kill
# one mid-pass), a wait for the exit, and no restart after a clean stop.
for line in KillSignal=SIGHUP KillMode=mixed Restart=on-failure; do
  grep -qx "$line" "$unit" || { echo "FAIL: $line is missing"; exit 1; }
done
echo "unit verified"
