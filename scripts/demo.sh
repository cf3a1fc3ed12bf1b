#!/usr/bin/env bash
# The demo: a simulated gateway share, the service started from its bundle, and what a Finder
# extension receives from it. Needs root (FUSE).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
bin="$build/tools"
service="$build/bundles/Zavro Pellora.app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/MacOS/Zavro Pellora Service"

demo=$(mktemp -d /tmp/pellora-demo-XXXXXX)
mnt="$demo/share"
mkdir -p "$demo/cache" "$demo/cloud" "$mnt" "$demo/home"
sim_pid=""; service_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  fusermount3 -u -z "$mnt" 2>/dev/null || true
  rm -rf "$demo"
}
trap cleanup EXIT

echo "== A gateway share with stubs: 2 folders x 3 stubs and 1 online file each"
"$bin/gateway-sim/gateway-sim" populate --backing "$demo/cache" --cloud "$demo/cloud" \
  --folders 2 --stubs 3 --size 2048 --online 1 >/dev/null
"$bin/gateway-sim/gateway-sim" mount --backing "$demo/cache" --cloud "$demo/cloud" \
  --mountpoint "$mnt" --control "$demo/control" --latency-ms 300 >"$demo/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q " $mnt " /proc/self/mounts && break; sleep 0.1; done
grep " $mnt " /proc/self/mounts | awk '{print "mounted " $1 " at " $2 " (" $3 ")"}'
echo
echo "== What every reader of the markers decides"
"$bin/attrdump" "$mnt/folder-0000"
echo
echo "== The service, started from its bundle"
HOME="$demo/home" PELLORA_LOG=stderr "$service" >"$demo/service.log" 2>&1 &
service_pid=$!
echo
echo "== An extension connects, asks for badges, and the user opens a stub"
"$bin/extension-probe/extension-probe" "$demo/home" "$mnt"/folder-0000/*.dat \
  --hydrate "$mnt/folder-0000/stub-00001.dat" --wait 10
echo
echo "== The service's log"
grep -E "Starting zavro|Monitoring path|Root path" "$demo/service.log" | sed 's/^/  /'
