#!/bin/sh
# Runs a multi-process test in private mount and pid namespaces, so that it sees only its own
# shares and processes and everything it started goes when it ends, even after a crash.
# Without the privilege for namespaces the test runs as it is.
if unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null; then
  exec unshare --mount --pid --fork --mount-proc --propagation private "$@"
fi
exec "$@"
