#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with libFuzzer, AddressSanitizer and UBSan (the "fuzz"
# preset, clang-14) and runs each for SECONDS from its seeds in tests/fuzz/corpus/<name>/. Fails
# when any target crashes, leaks, times out or breaks its property.
#
# Usage: tools/fuzz.sh SECONDS [JOBS]    JOBS targets run at once (default: one per core).
#
# Each run keeps its files in build/fuzz/runs/<target>/: the log, the corpus it grew (the seed
# folder is only read, so nothing found lands in the tree) and, after a failure, the input that
# failed (crash-*, leak-*, timeout-*). Replay one with build/fuzz/tests/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: tools/fuzz.sh SECONDS [JOBS]}
jobs=${2:-$(nproc)}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

runs=build/fuzz/runs
mkdir -p "$runs"
mapfile -t targets < build/fuzz/fuzz-targets.txt

run_target() {
  local name=$1 executable=$2 seeds=$3 dictionary=$4
  local dir=$runs/$name
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  local status=0
  local options=()
  if [ -n "$dictionary" ]; then
    options+=(-dict="$dictionary")
  fi
  # -timeout: an input that takes seconds is a finding, not a slow machine.
  "$executable" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/" "${options[@]}" "$dir/corpus" "$seeds" >"$dir/log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
}

running=0
for line in "${targets[@]}"; do
  [ -n "$line" ] || continue
  read -r name executable seeds dictionary <<<"$line"
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "fuzzing $name for ${seconds}s"
  run_target "$name" "$executable" "$seeds" "${dictionary:-}" &
  running=$((running + 1))
done
wait

failed=0
printf '%-26s %12s %10s %7s %7s  %s\n' target runs exec/s cov ft result
for line in "${targets[@]}"; do
  [ -n "$line" ] || continue
  read -r name _ _ <<<"$line"
  dir=$runs/$name
  status=$(cat "$dir/status" 2>/dev/null || echo missing)
  runs_done=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -n1)
  coverage=$(grep -Eo 'cov: [0-9]+' "$dir/log" | tail -n1 | cut -d' ' -f2)
  features=$(grep -Eo 'ft: [0-9]+' "$dir/log" | tail -n1 | cut -d' ' -f2)
  result=ok
  if [ "$status" != 0 ]; then
    result="FAILED (exit $status, see $dir/log)"
    failed=1
  fi
  printf '%-26s %12s %10s %7s %7s  %s\n' "$name" "${runs_done:-?}" "${rate:-?}" "${coverage:-?}" \
    "${features:-?}" "$result"
done

if [ "$failed" != 0 ]; then
  for line in "${targets[@]}"; do
    read -r name _ _ <<<"$line"
    if [ "$(cat "$runs/$name/status" 2>/dev/null)" != 0 ]; then
      echo "=== $name"
      tail -n 40 "$runs/$name/log"
      ls "$runs/$name"/crash-* "$runs/$name"/leak-* "$runs/$name"/timeout-* "$runs/$name"/oom-* 2>/dev/null || true
    fi
  done
  exit 1
fi
