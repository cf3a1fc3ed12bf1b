#!/usr/bin/env bash
# Builds a small folder tree with gateway markers and shows what every reader decides.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=$(mktemp -d /tmp/pellora-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT

mark() { python3 -c 'import os,sys; os.setxattr(sys.argv[1], "user."+sys.argv[2], sys.argv[3].encode())' "$@"; }

mkdir -p "$demo/share/docs"
mark "$demo/share" is.zavro.share ZAVRO
echo "online" > "$demo/share/docs/online.txt"
touch "$demo/share/docs/stub.pdf";        mark "$demo/share/docs/stub.pdf" is.zavro.stub ZAVRO
touch "$demo/share/docs/six-bytes.bin";   mark "$demo/share/docs/six-bytes.bin" is.zavro.stub ZAVROX
touch "$demo/share/docs/lower-case.bin";  mark "$demo/share/docs/lower-case.bin" is.zavro.stub zavro

build/default/tools/attrdump "$demo"
