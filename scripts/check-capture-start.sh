#!/usr/bin/env bash
# Starts a capture as a parent would and checks the first status line: "ready" while the capture
# runs on, or, on a machine where the capture was not allowed (a CI runner), exactly the
# permission error and exit status 1. Either way the whole path from the capture session to the
# platform's capture service has run.
#
# Usage: scripts/check-capture-start.sh path/to/sysaudio [seconds to wait, default 30]
set -euo pipefail

binary=$1
limit=${2:-30}
permission="error: permission denied — allow Murvane under Screen & System Audio Recording"

work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

: >"$work/stderr"
"$binary" 16000 >/dev/null 2>>"$work/stderr" &
pid=$!

# Until a whole line has come or the process has ended.
waited=0
while ! grep -q . "$work/stderr" || [ "$(tail -c 1 "$work/stderr" | od -An -c | tr -d ' ')" != '\n' ]; do
  if ! kill -0 "$pid" 2>/dev/null; then
    break
  fi
  if [ "$waited" -ge $((limit * 10)) ]; then
    echo "no status line after $limit s; standard error so far:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  sleep 0.1
  waited=$((waited + 1))
done

if [ "$(cat "$work/stderr")" = "ready" ]; then
  sleep 1
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "sysaudio reported ready, then ended; standard error:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  echo "capture started: ready"
  exit 0
fi

status=0
wait "$pid" || status=$?
pid=""
if [ "$status" -eq 1 ] && printf '%s\n' "$permission" | cmp -s - "$work/stderr"; then
  echo "capture refused as expected without permission: $permission"
  exit 0
fi
echo "unexpected end, status $status; standard error:" >&2
cat "$work/stderr" >&2
exit 1
