#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, and
# only those that are missing, so that a prepared machine pays nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format-14 pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libmd-dev libmariadb-dev mariadb-server mariadb-client
  libxml2-dev libexpat1-dev libpugixml-dev locales
  galera-4 rsync lsof iproute2 openssl iptables
  prometheus  # promtool, which checks orvex-admin metrics in the tests
  # scripts/package.sh: the Debian packages, built and checked
  dpkg-dev debhelper fakeroot lintian groff-base
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  # The tests never use a system database server: they start a private one.
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
  # Only promtool is wanted of the prometheus package: a server that its
  # installation started is stopped and left disabled.
  if [[ " ${missing[*]} " == *" prometheus "* ]] && command -v systemctl >/dev/null &&
    [[ -d /run/systemd/system ]]; then
    "${sudo[@]}" systemctl disable --now prometheus >/dev/null 2>&1 || true
  fi
fi

# A UTF-8 language locale, for the tests that load settings patterns in one
# (a scheduler inherits its web server's locale).
if ! locale -a 2>/dev/null | grep -qx 'en_US.utf8'; then
  echo "install-deps: generating the locale en_US.UTF-8"
  "${sudo[@]}" sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'en_US.UTF-8 UTF-8' /etc/locale.gen ||
    echo 'en_US.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo[@]}" locale-gen >/dev/null
fi
