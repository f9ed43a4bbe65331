#!/usr/bin/env bash
# scripts/package-test.sh: builds the Debian packages (scripts/package.sh),
# unpacks them into a scratch root with dpkg -x, and builds and runs
# tests/consumer against the files there alone: find_package and pkg-config,
# no run path, the loader pointed at the scratch root only. The machine's
# own package database is never touched.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

bash "$root/scripts/package.sh" "$tmp/debs"
for deb in "$tmp"/debs/*.deb; do
  dpkg -x "$deb" "$tmp/root"
done
usr="$tmp/root/usr"
libdir="$usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
lib=$(cd "$libdir" && ls liborvex.so.*.*)
readelf -d "$libdir/$lib" | grep SONAME
# The library package holds the library alone; the rest is -dev's and the
# tools'.
for f in "$tmp"/debs/liborvex[0-9]*.deb; do [[ "$f" == *-dbgsym_* ]] || libdeb=$f; done
contents=$(dpkg-deb -c "$libdeb")
grep -q "/$lib\$" <<<"$contents"
if grep -q 'include/\|\.a$\|bin/' <<<"$contents"; then
  echo "the library package holds development files or programs" >&2
  exit 1
fi

# Programs resolve liborvex from the scratch root, through LD_LIBRARY_PATH.
export LD_LIBRARY_PATH="$libdir"
resolves_here() {
  local from
  from=$(ldd "$1" | awk '/liborvex\.so/ {print $3}')
  [[ "$from" == "$libdir/"* ]] || { echo "$1: liborvex from '$from'" >&2; return 1; }
  echo "$(basename "$1"): liborvex from the scratch root"
}
resolves_here "$usr/bin/orvex-admin"
"$usr/bin/orvex-admin" --version
# The manual page as installed reads without a warning.
warnings=$(zcat "$usr/share/man/man1/orvex-admin.1.gz" | groff -man -Tutf8 -ww 2>&1 >/dev/null)
[[ -z "$warnings" ]] || { echo "$warnings" >&2; exit 1; }

sample="$root/tests/data/project"
cmake -S "$root/tests/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$usr" \
  -DCMAKE_SKIP_RPATH=ON >/dev/null
cmake --build "$tmp/cmake-build" -j 2 >/dev/null
resolves_here "$tmp/cmake-build/consumer"
"$tmp/cmake-build/consumer" "$sample"
"$tmp/cmake-build/consumer-static" "$sample"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -o "$tmp/consumer-pc" "$root/tests/consumer/main.cpp" $(pkg-config --cflags --libs orvex)
resolves_here "$tmp/consumer-pc"
"$tmp/consumer-pc" "$sample"
echo "packages installed and consumed"
