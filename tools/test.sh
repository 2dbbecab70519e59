#!/usr/bin/env bash
# Builds and runs the tests: plain, then AddressSanitizer with UBSan, then ThreadSanitizer, then
# the plain build again under clang. The plain build is also installed into a scratch prefix and
# examples/host is built against it (tools/check_install.sh). The soak run (label "soak") runs
# after the plain and the AddressSanitizer tests, once each.
set -euo pipefail
cd "$(dirname "$0")/.."
# Where the machine allows it, the whole run happens in a private network namespace whose only
# interface is loopback, so nothing a test opens (sockets, mDNS) can leave the machine.
if [ -z "${VELQUIN_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  export VELQUIN_IN_NETNS=1
  # The kernel hands out no ephemeral port of the library's default search
  # (51000-51099) there: tests that fill that range must not find one of
  # another test's passing sockets in it.
  exec unshare -n bash -c 'ip link set lo up &&
    echo 51000-51099 > /proc/sys/net/ipv4/ip_local_reserved_ports && exec bash tools/test.sh'
fi
jobs=$(nproc)
for preset in default asan tsan clang; do
  echo "=== ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  if [ "$preset" = tsan ]; then
    # ThreadSanitizer needs a memory layout that address randomisation may break.
    setarch "$(uname -m)" -R ctest --preset "$preset"
  else
    ctest --preset "$preset"
  fi
  # The long runs (CTest label "soak"), which the presets above leave out: once
  # in the plain build, where resident memory is the library's own and its
  # growth is checked, and once under AddressSanitizer with UBSan, whose
  # quarantine makes memory grow but whose checks and leak report hold.
  if [ "$preset" = default ]; then
    ctest --preset soak
  elif [ "$preset" = asan ]; then
    ctest --preset soak-asan
  fi
  if [ "$preset" = default ]; then
    bash tools/check_install.sh build/default
  fi
done
