#!/usr/bin/env bash
# scripts/consumer-test.sh: the README's install steps as a user runs them.
# On a fresh copy of the sources (the files git knows, as a clone has them)
# and with HOME in a scratch directory, it runs the commands of the sh blocks
# between the install:begin and install:end marks of README.md, as they
# stand: configure, build, install to "$HOME/orvex", build the sample daemon
# with CMake and with pkg-config. Then tests/consumer against that prefix,
# linked to the shared library and to the static ones, each through
# find_package and through pkg-config.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# shellcheck disable=SC2016  # the marks are literal
steps=$(sed -n '/<!-- install:begin -->/,/<!-- install:end -->/p' "$root/README.md" |
  sed -n '/^```sh$/,/^```$/p' | grep -v '^```')
[[ -n "$steps" ]] || { echo "no install steps in README.md" >&2; exit 1; }

mkdir "$tmp/src" "$tmp/home"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done |
  xargs -0 cp --parents -t "$tmp/src")
echo "--- the README's install steps"
printf '%s\n' "$steps"
(cd "$tmp/src" && HOME="$tmp/home" bash -euo pipefail -c "$steps") >"$tmp/steps.log" 2>&1 ||
  { tail -40 "$tmp/steps.log"; echo "the README's steps failed" >&2; exit 1; }
prefix="$tmp/home/orvex"

# Both sample daemons run, and resolve liborvex from the prefix.
for daemon in "$tmp/src/build/sample/sample-daemon" "$tmp/src/build/sample-daemon"; do
  lib=$(ldd "$daemon" | awk '/liborvex\.so/ {print $3}')
  [[ "$lib" == "$prefix/lib/"* ]] || { echo "$daemon: liborvex from '$lib'" >&2; exit 1; }
  out=$("$daemon" --no-such-option 2>&1 || true)
  [[ "$out" == *"usage: sample-daemon"* ]] || { echo "$daemon: $out" >&2; exit 1; }
done
"$prefix/bin/orvex-admin" --version

sample="$root/tests/data/project"
echo "--- find_package(orvex): shared and static"
cmake -S "$root/tests/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake-build" -j 2 >/dev/null
"$tmp/cmake-build/consumer" "$sample"
"$tmp/cmake-build/consumer-static" "$sample"

echo "--- pkg-config orvex and orvex-static"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
for pc in orvex orvex-static; do
  # shellcheck disable=SC2046
  c++ -o "$tmp/consumer-$pc" "$root/tests/consumer/main.cpp" \
    $(pkg-config --cflags orvex) $(pkg-config --libs "$pc") -Wl,-rpath,"$prefix/lib"
  "$tmp/consumer-$pc" "$sample"
done
if ldd "$tmp/consumer-orvex-static" "$tmp/cmake-build/consumer-static" | grep -q liborvex; then
  echo "a static consumer needs liborvex.so" >&2
  exit 1
fi
echo "consumer built and ran both ways"
