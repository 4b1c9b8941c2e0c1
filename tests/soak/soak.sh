#!/usr/bin/env bash
# Captures a steady tone for a long time in a private audio session and checks that nothing is
# lost and memory stays flat (see soak_reader.py). CI runs two minutes; the full run is thirty.
#
# Usage: tests/soak/soak.sh [minutes, default 30] [path to sysaudio, default build/sysaudio]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
minutes=${1:-30}
binary=${2:-$root/build/sysaudio}
seconds=$((minutes * 60))

session=$(mktemp -d -u "${TMPDIR:-/tmp}/sysaudio-soak.XXXXXX")
player=""
cleanup() {
  if [ -n "$player" ]; then
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
  fi
  "$root/scripts/audio-session.sh" stop "$session" >/dev/null 2>&1 || true
}
trap cleanup EXIT
"$root/scripts/audio-session.sh" start "$session" >/dev/null
# shellcheck disable=SC1091
. "$session/env"

# The player is this script's child, not the reader's, so that sysaudio (the reader's child)
# does not leave it out as audio of its parent's family.
sox -q -n -t raw -r 48000 -c 2 -e floating-point -b 32 - synth $((seconds + 30)) sine 440 vol 0.5 |
  pw-play --rate 48000 --channels 2 --format f32 - &
player=$!

python3 "$here/soak_reader.py" --binary "$binary" --seconds "$seconds" --rate 16000
