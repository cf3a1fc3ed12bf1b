#!/usr/bin/env bash
# The demo with the programs of an installation instead of the build tree's:
#   scripts/demo-installed.sh PREFIX [APPLICATIONS_DIR] [demo.sh's arguments...]
# PREFIX is the one given to `make install PREFIX=...` or `cmake --install --prefix`; the
# application bundle is in APPLICATIONS_DIR, else in the applications folder of the programs'
# own rule (PELLORA_APPLICATIONS_DIR, else /Applications). For an installation staged with
# DESTDIR, give both paths with DESTDIR in front.
#
# What scripts/demo.sh reads from here, and then uses instead of build/default:
#   PELLORA_DEMO_BIN   the folder of the installed commands: pellora, finder, gateway-sim,
#                      pluginkit
#   PELLORA_DEMO_APP   the installed application bundle (the service's bundle and the Finder
#                      extension inside it)
# and, for every program it starts, PELLORA_APPLICATIONS_DIR, PATH and XDG_DATA_DIRS (the icon
# theme and the launcher) of the installation.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if [ $# -lt 1 ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
  exit 64
fi
if [ ! -d "$1" ]; then
  echo "demo-installed: no installation at $1" >&2
  exit 1
fi
prefix="$(cd "$1" && pwd)"
shift
apps="${PELLORA_APPLICATIONS_DIR:-/Applications}"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  apps="$1"
  shift
fi
app="$apps/Zavro Pellora.app"

missing=0
for program in pellora finder gateway-sim pluginkit; do
  if [ ! -x "$prefix/bin/$program" ]; then
    echo "demo-installed: $prefix/bin/$program is not installed" >&2
    missing=1
  fi
done
if [ ! -x "$app/Contents/MacOS/Zavro Pellora" ]; then
  echo "demo-installed: no application bundle at $app (install with PELLORA_APPLICATIONS_DIR?)" >&2
  missing=1
fi
# A demo that does not know these variables would run the build tree's programs instead.
if ! grep -q PELLORA_DEMO_BIN "$here/demo.sh"; then
  echo "demo-installed: $here/demo.sh does not run from an installation (PELLORA_DEMO_BIN)" >&2
  missing=1
fi
[ "$missing" -eq 0 ] || exit 1

export PELLORA_DEMO_BIN="$prefix/bin" PELLORA_DEMO_APP="$app" PELLORA_APPLICATIONS_DIR="$apps"
export PATH="$prefix/bin:$PATH"
export XDG_DATA_DIRS="$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
exec "$here/demo.sh" "$@"
