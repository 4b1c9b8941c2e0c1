#!/usr/bin/env bash
# Builds sysaudio and its tests, and runs every test; the end-to-end ones start private audio
# sessions of their own. Installs the Debian packages it needs when they are missing.
#
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [ctest arguments...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=""
build_dir="$root/build"
if [ "${1:-}" = "--sanitize" ]; then
  sanitize=$2
  shift 2
  build_dir="$root/build-${sanitize//,/-}"
fi

if [ "$sanitize" = "thread" ]; then
  # A process of this program ends through exit with its threads still at work, and a test child
  # that ends through the error path leaves its helper threads unjoined: neither is a leak.
  export TSAN_OPTIONS="report_thread_leaks=0 halt_on_error=1 ${TSAN_OPTIONS:-}"
fi

"$root/scripts/install-deps.sh" test
cmake -S "$root" -B "$build_dir" -DSYSAUDIO_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" "$@"
