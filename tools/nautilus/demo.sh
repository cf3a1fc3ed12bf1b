#!/usr/bin/env bash
# The Nautilus view of the demo: a simulated gateway share, the service, and Nautilus with the
# adapter, which runs the Finder extension. Stubs show the emblem; a selection is brought
# online through the adapter's menu item and the emblems go. Runs on $DISPLAY when there is
# one (a Nautilus of its own, on a D-Bus session of its own), else under Xvfb. Needs root
# (FUSE, and a private mount namespace for the module folder). Pictures go to demo-out/.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ -z "${PELLORA_NAUTILUS_DEMO_INSIDE:-}" ]; then
  command -v nautilus >/dev/null || { echo "Nautilus is not installed"; exit 1; }
  # Nautilus loads modules from one system folder: the module goes there in a namespace of
  # the demo's own, so the system stays as it is.
  exec env PELLORA_NAUTILUS_DEMO_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi
build=build/default
tools="$build/tools"
app="$build/bundles/Zavro Pellora.app"
service="$app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/MacOS/Zavro Pellora Service"
extension="$app/Contents/Library/LoginItems/Zavro Pellora Service.app/Contents/PlugIns/PelloraFinder.appex"
module="$tools/nautilus/extensions-4/libpellora-nautilus.so"
extdir=$(pkg-config --variable=extensiondir libnautilus-extension-4)
out="$PWD/demo-out"

demo=$(mktemp -d /tmp/pellora-nautilus-demo-XXXXXX)
share="$demo/share"
mkdir -p "$demo/cache" "$demo/cloud" "$share" "$demo/home" "$demo/run" "$demo/modules" "$out"
chmod 700 "$demo/run"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share"
export XDG_CACHE_HOME="$demo/home/.cache" XDG_RUNTIME_DIR="$demo/run" PELLORA_USER_DB_HOME="$demo/home"
export PELLORA_LOG=stderr PATH="$PWD/$tools/pluginkit:$PATH"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  fusermount3 -u -z "$share" 2>/dev/null || true
  rm -rf "$demo"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
counters() { "$tools/gateway-sim/gateway-sim" ctl --control "$demo/control" counters; }

step "A gateway share: stubs and online files in docs/"
mkdir -p "$demo/cache/docs" "$demo/cloud/docs"
for f in a-report.pdf c-photo.png e-slides.pdf; do
  echo "content of $f" > "$demo/cloud/docs/$f"
  : > "$demo/cache/docs/$f"
  python3 -c "import os, sys; os.setxattr(sys.argv[1], 'user.is.zavro.stub', b'ZAVRO')" "$demo/cache/docs/$f"
done
for f in b-notes.txt d-budget.txt; do
  echo "content of $f" | tee "$demo/cloud/docs/$f" > "$demo/cache/docs/$f"
done
"$tools/gateway-sim/gateway-sim" mount --backing "$demo/cache" --cloud "$demo/cloud" \
  --mountpoint "$share" --control "$demo/control" --latency-ms 400 >"$demo/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q " $share " /proc/self/mounts && break; sleep 0.1; done

step "The service, and the Finder extension switched on"
pluginkit -a "$extension"
QT_QPA_PLATFORM=offscreen "$service" >"$demo/service.log" 2>&1 &
pids+=($!)

step "Nautilus with the adapter"
cp "$module" "$demo/modules/"
mount --bind "$demo/modules" "$extdir"
if [ -z "${DISPLAY:-}" ]; then
  exec 9>"$demo/display"
  Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$demo/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -1 "$demo/display")"
fi
cat >"$demo/bus.conf" <<EOF
<busconfig><type>session</type><listen>unix:path=$demo/run/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>
EOF
dbus-daemon --nofork --config-file="$demo/bus.conf" >"$demo/bus.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$demo/run/bus" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$demo/run/bus" GSETTINGS_BACKEND=keyfile
export GIO_USE_VFS=local GIO_USE_VOLUME_MONITOR=unix GTK_USE_PORTAL=0 NO_AT_BRIDGE=1 GSK_RENDERER=cairo
export XDG_DATA_DIRS="$PWD/$build/share:/usr/local/share:/usr/share"
nautilus --new-window "$share/docs" >"$demo/nautilus.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do xdotool search --onlyvisible --name '^docs$' >/dev/null 2>&1 && break; sleep 0.1; done
# Long enough for the extension to reach the service and the badges to come.
sleep 4
import -window root "$out/nautilus-emblems.png"
echo "  stubs carry the emblem: $out/nautilus-emblems.png"
echo "  gateway counters: $(counters)"

step "Bringing everything online through the adapter's menu item"
xdotool mousemove 330 130 click 1 key ctrl+a
xdotool mousemove 330 130 click 3 sleep 1 key Up Up Return
sleep 4
import -window root "$out/nautilus-online.png"
echo "  the emblems are gone: $out/nautilus-online.png"
echo "  gateway counters: $(counters)"
