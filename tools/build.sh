#!/usr/bin/env bash
# Builds the shared library (and the benchmarks) in the plain configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
echo "libvelquin.so: $(pwd)/build/default/libvelquin.so"
if [ -x build/default/velquin_bench ]; then
  # DNS-SD stays on the loopback interface (the benchmarks set it too).
  VELQUIN_MDNS_INTERFACES=lo build/default/velquin_bench --benchmark_min_time=0.05
fi
