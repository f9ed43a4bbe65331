#!/usr/bin/env bash
# scripts/package.sh [OUTDIR]: builds the Debian packages liborvex0 (the
# shared library), liborvex-dev and orvex-tools from debian/, checks them
# with lintian (no error may remain) and leaves the .deb files in OUTDIR
# (default build/packages).
#
# dpkg-buildpackage with debhelper rather than CPack's DEB generator: the
# distribution's own tools compute the library dependencies (shlibs), strip
# the programs into debug symbol packages, compress the manual page, set the
# permissions and write the md5sums, the things lintian checks; CPack leaves
# each of them to be configured by hand.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/packages}" && cd "${1:-$root/build/packages}" && pwd)
"$root/scripts/install-deps.sh"

# The version is the CMake project's; debian/changelog and the library
# package's name must agree with it and with the SONAME, or the build stops.
version=$(sed -n 's/^project(orvex VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
changelog=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
if [[ "$version" != "$changelog" ]]; then
  echo "package.sh: debian/changelog is at $changelog, the project at $version" >&2
  exit 1
fi

# A build of its own, in a scratch copy of the sources (the files git knows),
# so that neither the worktree nor its build trees take part.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
src="$tmp/orvex-$version"
mkdir "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done |
  xargs -0 cp --parents -t "$src")
(cd "$src" && DEB_BUILD_OPTIONS="parallel=${ORVEX_PACKAGE_JOBS:-2}" \
  dpkg-buildpackage -b -us -uc) >"$tmp/build.log" 2>&1 ||
  { tail -40 "$tmp/build.log"; echo "package.sh: dpkg-buildpackage failed" >&2; exit 1; }

# The library package is named after the SONAME of the library it holds.
for f in "$tmp"/liborvex[0-9]*_"$version"_*.deb; do [[ "$f" == *-dbgsym_* ]] || deb=$f; done
dpkg-deb -x "$deb" "$tmp/lib"
pkg=$(dpkg-deb -f "$deb" Package)
soname=$(readelf -d "$tmp"/lib/usr/lib/*/liborvex.so.*.* |
  sed -n 's/.*Library soname: \[liborvex\.so\.\(.*\)\]/\1/p')
if [[ "$pkg" != "liborvex$soname" ]]; then
  echo "package.sh: SONAME liborvex.so.$soname in the package $pkg" >&2
  exit 1
fi

echo "--- lintian"
lintian --fail-on error --tag-display-limit 0 "$tmp"/orvex_"$version"_*.changes
rm -f "$out"/*.deb
cp "$tmp"/*.deb "$out"/
ls -1 "$out"
