#!/usr/bin/env bash
# The library from where a host stands: builds everything, installs the
# library into build/demo/prefix, builds examples/host against that install,
# then starts a simulated network device on 127.0.0.1 and the test device
# helper with one attached device, and runs the example host against both.
# Exits with the host's status; every program it started is stopped by its PID,
# also when something fails. Nothing leaves this machine: the device listens on
# loopback, the helper's port lies in a private runtime directory, and DNS-SD
# is kept to the loopback interface.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# Where the machine allows it, the demo runs in a private network namespace
# whose only interface is loopback.
if [ -z "${VELQUIN_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  export VELQUIN_IN_NETNS=1
  exec unshare -n bash -c 'ip link set lo up && exec bash tools/demo.sh'
fi

cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
demo=$root/build/demo
cmake --install build/default --prefix "$demo/prefix" >/dev/null
cmake -S examples/host -B "$demo/host" -DCMAKE_PREFIX_PATH="$demo/prefix" >/dev/null
cmake --build "$demo/host" >/dev/null
support=$root/build/default/tests/support

runtime=$(mktemp -d)
pids=()
stop() {
  local status=$?
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$runtime"
  exit "$status"
}
trap stop EXIT
trap 'exit 130' INT TERM

# The library finds the device helper's port in this directory and, were the
# port missing, would start the helper through the stand-in launchctl.
export XDG_RUNTIME_DIR=$runtime
export PATH=$support/bin:$PATH
export VELQUIN_MDNS_INTERFACES=lo

# One attached device of the supported product (vendor 0x6B5E, product
# 0x2C71), which accepts the host after the handshake, with three parameters
# and a notification every 250 ms.
attached=67305985,27486,11377,-1376007458,0,0,1,2,3,4,0,1
"$support/velquin_fake_helper" --device "$attached/Bench unit/demo-bench-unit/wait" --accept-after-handshake \
  --value 1=int:3 --value 2=text:attached --value 3=bool:1 --notify 5:250 --idle-ms 300000 \
  >"$runtime/helper.log" 2>&1 &
pids+=($!)
"$support/velquin_sim_device" --address 127.0.0.1 --name "Simulated device" --notify 5:100 \
  >"$runtime/device.log" 2>&1 &
pids+=($!)

port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$runtime/device.log")
  if [ -n "$port" ] && [ -n "$(ls -A "$runtime/velquin/ports" 2>/dev/null)" ]; then
    break
  fi
  sleep 0.1
done
if [ -z "$port" ] || [ -z "$(ls -A "$runtime/velquin/ports" 2>/dev/null)" ]; then
  echo "demo: the simulated device or the device helper did not start" >&2
  cat "$runtime/device.log" "$runtime/helper.log" >&2
  exit 1
fi

echo "=== simulated network device on 127.0.0.1:$port; device helper with one attached device"
timeout --kill-after=5 120 "$demo/host/velquin_example_host" --address 127.0.0.1 --port "$port" --expect 2
