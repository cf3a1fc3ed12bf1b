#!/usr/bin/env bash
# The whole story, headless, on simulated shares: the application started (it turns the add-on
# on and the service asks to control Finder), a problem in the status window (an SMB share but
# no gateway share) that goes when the gateway share is mounted, badges in a folder opened in
# the Finder stand-in with its previews switched off, a bring-online through the context menu
# with the progress ring, previews on after the choice changes, the same bring-online from
# `pellora bring-online`, and the add-on switched off with everything stopped.
# Needs root (FUSE). Pictures are kept in demo-out/ (or $PELLORA_DEMO_OUT). Runs the build tree's programs, or an
# installation's when PELLORA_DEMO_BIN and PELLORA_DEMO_APP name them (scripts/demo-installed.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# The service stops every other copy of itself that it sees, and so does the switch turned off:
# the demo runs in pid and mount namespaces of its own where it may, so that it sees only its
# own copies and no other copy sees its shares.
if [ -z "${PELLORA_DEMO_ISOLATED:-}" ] && unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null; then
  PELLORA_DEMO_ISOLATED=1 exec unshare --mount --pid --fork --mount-proc --propagation private "$0" "$@"
fi
if [ -n "${PELLORA_DEMO_BIN:-}" ]; then
  finder="$PELLORA_DEMO_BIN/finder" sim="$PELLORA_DEMO_BIN/gateway-sim" pellora="$PELLORA_DEMO_BIN/pellora"
  PATH="$PELLORA_DEMO_BIN:$PATH"
else
  build=build/default
  finder="$build/tools/finder/finder" sim="$build/tools/gateway-sim/gateway-sim" pellora="$build/cli/pellora"
  PATH="$PWD/$build/tools/pluginkit:$PATH"
fi
app="${PELLORA_DEMO_APP:-build/default/bundles/Zavro Pellora.app}"
app="$(cd "$(dirname "$app")" && pwd)/$(basename "$app")"
service_app="$app/Contents/Library/LoginItems/Zavro Pellora Service.app"
service="$service_app/Contents/MacOS/Zavro Pellora Service"
extension="$service_app/Contents/PlugIns/PelloraFinder.appex"
out="${PELLORA_DEMO_OUT:-$PWD/demo-out}"

demo=$(mktemp -d /tmp/pellora-demo-XXXXXX)
share="$demo/gateway" plain="$demo/office"
mkdir -p "$demo/cache" "$demo/cloud" "$demo/plain-backing" "$demo/plain-cloud" "$share" "$plain" "$demo/home" "$out"
rm -f "$out"/message-window-*.png "$out"/status-window-*.png
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share"
export PELLORA_USER_DB_HOME="$demo/home" PELLORA_LOG=stderr PATH
# The programs look for the application in the applications folder.
export PELLORA_APPLICATIONS_DIR="$(dirname "$app")"
# Started by hand here, not by the login-item service.
unset XPC_SERVICE_NAME
export QT_QPA_PLATFORM=offscreen PELLORA_WINDOW_SNAPSHOTS="$out"
pids=()
lock="$HOME/.zavroPellora/service.lock" standby="$HOME/.zavroPellora/service.standby"
cleanup() {
  # The service copies are not children of this script: the switch stops them all.
  "$pellora" disable >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  fusermount3 -u -z "$share" 2>/dev/null || true
  fusermount3 -u -z "$plain" 2>/dev/null || true
  [ -n "${PELLORA_DEMO_KEEP:-}" ] || rm -rf "$demo"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/  /'; }
# Shows a command as typed and its output; the exit status is shown when it is not 0.
run() {
  local status=0
  printf '$ %s\n' "$*"
  "$@" 2>&1 | indent || status=$?
  [ "$status" -eq 0 ] || printf '  (exit status %s)\n' "$status"
}
finder() { "$finder" "$@"; }
# Its own log lines go to the journal, not between its output lines.
pellora() { env -u PELLORA_LOG "$pellora" "$@"; }
# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "  (gave up waiting for: $*)"
  return 1
}
mounted() { grep -q " $1 " /proc/self/mounts; }
# pellora status exits 1 while a problem is listed.
status_says() { { pellora status 2>/dev/null || true; } | grep -q "$1"; }
status_lacks() { ! status_says "$1"; }
counters() { "$sim" ctl --control "$demo/control" counters | indent; }
pictures() { ls "$out"/status-window-*.png 2>/dev/null | wc -l; }

step "An office file server's SMB share (no gateway) is connected"
"$sim" mount --backing "$demo/plain-backing" --cloud "$demo/plain-cloud" --no-share-marker \
  --mountpoint "$plain" --control "$demo/plain-control" >"$demo/plain.log" 2>&1 &
pids+=($!)
wait_for 100 mounted "$plain"
grep " $plain " /proc/self/mounts | awk '{print "  mounted " $1 " at " $2 " (" $3 ")"}'

step "Finder, with the extension registered from the service's bundle"
finder serve >"$demo/finder.log" 2>&1 &
pids+=($!)
wait_for 100 "$finder" windows
pluginkit -a "$extension"

step "The application started: it switches the add-on on and starts the service"
"$app/Contents/MacOS/Zavro Pellora" >"$demo/app.log" 2>&1 &
app_pid=$!
pids+=($app_pid)
wait_for 100 test -s "$lock"
printf '  service.lock: %s\n' "$(cat "$lock")"
run pluginkit -m -i com.zavro.Pellora.Service.Finder
echo "  The service copy started by the application asks to control Finder:"
wait_for 100 sh -c "\"$finder\" consent | grep -q '^question'"
run finder consent
run finder consent allow com.zavro.Pellora.Service
wait_for 100 test -s "$standby"
printf '  the login item waits in standby: pid %s\n' "$(cat "$standby")"

step "A second start by hand is refused (after its 3 seconds for the lock)"
status=0
"$service" >"$demo/second.log" 2>&1 || status=$?
grep -o '"Another service instance[^"]*"' "$demo/second.log" | indent
echo "  exit status $status; service.lock: $(cat "$lock")"

step "The status window: an SMB share is connected, but no gateway share"
wait_for 300 status_says "No Zavro share is connected" || true
run pellora status

step "A gateway share is mounted: four folders of 4 stubs and 1 online file each"
"$sim" populate --backing "$demo/cache" --cloud "$demo/cloud" \
  --folders 4 --stubs 4 --size 262144 --online 1 >/dev/null
"$sim" mount --backing "$demo/cache" --cloud "$demo/cloud" \
  --mountpoint "$share" --control "$demo/control" --latency-ms 300 >"$demo/sim.log" 2>&1 &
pids+=($!)
wait_for 100 mounted "$share"
grep " $share " /proc/self/mounts | awk '{print "  mounted " $1 " at " $2 " (" $3 ")"}'
echo "  The problem goes from the status window:"
wait_for 400 status_lacks "No Zavro share is connected"
wait_for 100 sh -c "\"$finder\" observed | grep -q '$share'"
run pellora status
run finder observed

step "Disable Preview ticked: a folder opened on the share gets its previews switched off"
run pellora previews off
finder open "$share/folder-0000"
finder wait-badge "$share/folder-0000/stub-00000.dat" FileIconCache 10 >/dev/null
wait_for 100 sh -c "\"$finder\" view-options '$share/folder-0000' | grep -q 'icon.showsIconPreview=off'"
run finder view-options "$share/folder-0000"
echo "  Stubs carry the badge, and listing the folder brings nothing online:"
run finder ls "$share/folder-0000"
counters

step "A program reads stub-00001.dat: the gateway brings it online and its badge goes"
head -c 16 "$share/folder-0000/stub-00001.dat" >/dev/null
finder wait-badge "$share/folder-0000/stub-00001.dat" FileIconNone 15 >/dev/null
run finder ls "$share/folder-0000"

step "Two stubs and a folder selected, the context menu clicked"
finder open "$share/folder-0001"
run finder select "$share/folder-0000/stub-00002.dat" "$share/folder-0000/stub-00003.dat" "$share/folder-0001"
run finder menu
run finder click
for f in folder-0000/stub-00002.dat folder-0000/stub-00003.dat folder-0001/stub-00000.dat \
         folder-0001/stub-00001.dat folder-0001/stub-00002.dat folder-0001/stub-00003.dat; do
  finder wait-badge "$share/$f" FileIconNone 30 >/dev/null
done
run finder ls "$share/folder-0000"
run finder ls "$share/folder-0001"
echo "  What the gateway counted: one download per file"
counters
echo "  The progress window, as the service drew it:"
wait_for 100 sh -c "ls '$out'/message-window-*.png && grep -q processCompletionWithDelay '$demo/app.log'"
ls "$out"/message-window-*.png | indent

step "Disable Preview unticked: the next folder opened previews its files"
run pellora previews on
finder open "$share/folder-0002"
wait_for 100 sh -c "\"$finder\" view-options '$share/folder-0002' | grep -q 'icon.showsIconPreview=on'"
run finder view-options "$share/folder-0002"
echo "  The first folder keeps its previews off until it is opened again:"
run finder view-options "$share/folder-0000"

step "The same from a terminal: what a bring-online would download, then the bring-online"
run pellora stubs "$share/folder-0003"
run pellora bring-online "$share/folder-0003"
run pellora stubs "$share/folder-0003"

step "The add-on switched off: the extension off, every service copy stopped"
copies="$(cut -d, -f1 "$lock") $(cat "$standby" 2>/dev/null || true)"
run pellora disable
run pluginkit -m -i com.zavro.Pellora.Service.Finder
for pid in $copies; do
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then echo "  pid $pid still runs"; else echo "  pid $pid ended"; fi
done
if flock -n -s "$lock" true; then echo "  service.lock is free"; else echo "  service.lock is still held"; fi
run pellora status
kill -TERM "$app_pid"
wait "$app_pid" 2>/dev/null || true
echo "  the application quit"

step "Pictures"
ls "$out"/status-window-*.png "$out"/message-window-*.png | indent
if command -v nautilus >/dev/null; then
  printf '\nNautilus is installed: `make demo-nautilus` shows the same add-on in GNOME Files.\n'
fi
