#!/usr/bin/env bash
# Builds sysaudio and runs it with the given arguments; its standard output and standard error
# are this script's. When no PipeWire server is reachable (a fresh or headless machine), it runs
# inside a private headless audio session of its own, which goes when sysaudio ends. Installs
# the Debian packages it needs when they are missing.
#
# Usage: scripts/run.sh [sample-rate]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$root/build-release"

"$root/scripts/install-deps.sh" run >&2
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSYSAUDIO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" >/dev/null

if timeout 5 pw-cli info 0 >/dev/null 2>&1; then
  exec "$build_dir/sysaudio" "$@"
fi
exec "$root/scripts/audio-session.sh" run -- "$build_dir/sysaudio" "$@"
