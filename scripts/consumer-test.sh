#!/usr/bin/env bash
# scripts/consumer-test.sh BUILD_DIR: installs the build tree into a
# temporary prefix and builds and runs a small program against it, once
# through find_package(orvex) and once through pkg-config.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sample="$root/tests/data/project"

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null

echo "--- find_package(orvex)"
cmake -S "$root/tests/consumer" -B "$tmp/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
"$tmp/cmake-build/consumer" "$sample"

echo "--- pkg-config orvex"
export PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
# shellcheck disable=SC2046
c++ -o "$tmp/consumer-pc" "$root/tests/consumer/main.cpp" \
  $(pkg-config --cflags orvex) $(pkg-config --libs orvex)
"$tmp/consumer-pc" "$sample"
echo "consumer built and ran both ways"
