#!/usr/bin/env bash
# Installs what the build, the tests, the fuzz targets and the benchmarks need on a fresh Debian 12 machine.
set -euo pipefail
packages=(cmake g++ clang-14 libclang-rt-14-dev clang-format make pkg-config binutils python3 googletest libgtest-dev
  libgmock-dev libbenchmark-dev locales libplist-dev qt6-base-dev fonts-dejavu-core
  libavahi-core-dev libavahi-client-dev avahi-daemon dbus iproute2 util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # No service may start while packages install: a started mDNS daemon would
  # announce this machine on every interface. The DNS-SD tests start their
  # own, on lo only. A policy already in place is left as it is.
  policy=/usr/sbin/policy-rc.d
  ours=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Written by tools/setup.sh while it installs packages.\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    ours=1
  fi
  trap '[ -n "$ours" ] && rm -f "$policy"' EXIT
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
  [ -n "$ours" ] && rm -f "$policy"
  trap - EXIT
fi

# A locale with a decimal comma, so the tests can show that text forms ignore it.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
