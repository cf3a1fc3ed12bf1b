#!/usr/bin/env bash
# The demo, on a simulated gateway share: the service started through the enable handler as the
# application's switch does (a second start refused), the Finder stand-in running the Finder
# extension, stubs badged, a stub brought online by the gateway, then a selection brought online
# through the context menu, with pictures of the progress window, and the switch turned off.
# Needs root (FUSE). Pictures are kept in demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
# The service stops every other copy of itself that it sees, and so does the switch turned off:
# the demo runs in pid and mount namespaces of its own where it may, so that it sees only its
# own copies and no other copy sees its share.
if [ -z "${PELLORA_DEMO_ISOLATED:-}" ] && unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null; then
  PELLORA_DEMO_ISOLATED=1 exec unshare --mount --pid --fork --mount-proc --propagation private "$0" "$@"
fi
build=build/default
tools="$build/tools"
finder="$tools/finder/finder"
app="$build/bundles/Zavro Pellora.app"
service="$app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/MacOS/Zavro Pellora Service"
extension="$app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/PlugIns/PelloraFinder.appex"
# The application's side of the enable switch, until the application itself is built.
switch="$build/tests/e2e/enable-switch"
out="$PWD/demo-out"

demo=$(mktemp -d /tmp/pellora-demo-XXXXXX)
share="$demo/share"
mkdir -p "$demo/cache" "$demo/cloud" "$share" "$demo/home" "$out"
rm -f "$out"/message-window-*.png
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share"
export PELLORA_USER_DB_HOME="$demo/home" PELLORA_LOG=stderr PATH="$PWD/$tools/pluginkit:$PATH"
# Started by hand here, not by the login-item service.
unset XPC_SERVICE_NAME
sim_pid=""; finder_pid=""
lock="$HOME/.zavroPellora/service.lock"; standby="$HOME/.zavroPellora/service.standby"
cleanup() {
  # The service copies are not children of this script: the switch stops them all.
  "$switch" "$app" off >/dev/null 2>&1 || true
  for pid in $finder_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  fusermount3 -u -z "$share" 2>/dev/null || true
  rm -rf "$demo"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
show() { printf '$ finder %s\n' "$*"; "$finder" "$@" | sed 's/^/  /'; }

step "A gateway share: two folders of 4 stubs and 1 online file each"
"$tools/gateway-sim/gateway-sim" populate --backing "$demo/cache" --cloud "$demo/cloud" \
  --folders 2 --stubs 4 --size 4096 --online 1 >/dev/null
"$tools/gateway-sim/gateway-sim" mount --backing "$demo/cache" --cloud "$demo/cloud" \
  --mountpoint "$share" --control "$demo/control" --latency-ms 400 >"$demo/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q " $share " /proc/self/mounts && break; sleep 0.1; done
grep " $share " /proc/self/mounts | awk '{print "  mounted " $1 " at " $2 " (" $3 ")"}'

step "Finder, with the extension registered from the service's bundle"
# No previews: nothing in the service switches them off yet, and listing would download stubs.
"$finder" serve --no-previews >"$demo/finder.log" 2>&1 &
finder_pid=$!
for _ in $(seq 100); do "$finder" windows >/dev/null 2>&1 && break; sleep 0.1; done
pluginkit -a "$extension"
pluginkit -m -i com.zavro.Pellora.Service.Finder | sed 's/^/  pluginkit: /'

step "The service, started through the enable handler as the application's switch does"
# The copies it starts write their output where the switch writes its own.
export PELLORA_WINDOW_SNAPSHOTS="$out"
"$switch" "$app" on >"$demo/service.log" 2>&1
grep "^the service copy" "$demo/service.log" | sed 's/^/  /'
printf '  service.lock: %s\n' "$(cat "$lock")"
for _ in $(seq 100); do [ -s "$standby" ] && break; sleep 0.1; done
printf '  the login item waits in standby: pid %s\n' "$(cat "$standby")"
for _ in $(seq 100); do "$finder" observed | grep -q "$share" && break; sleep 0.1; done
show observed

step "A second start by hand is refused (after its 3 seconds for the lock)"
status=0
"$service" >"$demo/second.log" 2>&1 || status=$?
grep -o '"Another service instance[^"]*"' "$demo/second.log" | sed 's/^/  /'
echo "  exit status $status; service.lock: $(cat "$lock")"

step "Opening a folder of the share: stubs carry the badge"
"$finder" open "$share/folder-0000"
"$finder" wait-badge "$share/folder-0000/stub-00000.dat" FileIconCache 10
show ls "$share/folder-0000"

step "A program reads stub-00001.dat: the gateway brings it online and its badge goes"
head -c 16 "$share/folder-0000/stub-00001.dat" >/dev/null
"$finder" wait-badge "$share/folder-0000/stub-00001.dat" FileIconNone 15
show ls "$share/folder-0000"

step "Two stubs and a folder selected, the context menu clicked"
"$finder" open "$share/folder-0001"
show select "$share/folder-0000/stub-00002.dat" "$share/folder-0000/stub-00003.dat" "$share/folder-0001"
show menu
show click
for f in folder-0000/stub-00002.dat folder-0000/stub-00003.dat folder-0001/stub-00000.dat \
         folder-0001/stub-00001.dat folder-0001/stub-00002.dat folder-0001/stub-00003.dat; do
  "$finder" wait-badge "$share/$f" FileIconNone 30
done
show ls "$share/folder-0000"
show ls "$share/folder-0001"

step "What the gateway counted: one download per file"
"$tools/gateway-sim/gateway-sim" ctl --control "$demo/control" counters | sed 's/^/  /'

step "The progress window, as the service drew it"
for _ in $(seq 100); do ls "$out"/message-window-*.png >/dev/null 2>&1 && \
  grep -q "processCompletionWithDelay" "$demo/service.log" && break; sleep 0.1; done
ls "$out"/message-window-*.png | sed 's/^/  /'

step "The switch turned off: the extension off, every service copy stopped"
copies="$(cut -d, -f1 "$lock") $(cat "$standby")"
"$switch" "$app" off >"$demo/switch-off.log" 2>&1
pluginkit -m -i com.zavro.Pellora.Service.Finder | sed 's/^/  pluginkit: /'
for pid in $copies; do
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "  pid $pid still runs"; else echo "  pid $pid ended"; fi
done
for _ in $(seq 30); do flock -n -s "$lock" true && break; sleep 0.1; done
if flock -n -s "$lock" true; then echo "  service.lock is free"; else echo "  service.lock is still held"; fi
