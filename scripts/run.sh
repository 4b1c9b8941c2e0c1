#!/usr/bin/env bash
# Builds sysaudio and runs it with the given arguments, its standard output and standard error
# being this script's. Installs the Debian packages it needs when they are missing.
#
# Usage: scripts/run.sh [sample-rate]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$root/build-release"

"$root/scripts/install-deps.sh" run >&2
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSYSAUDIO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" >&2

exec "$build_dir/sysaudio" "$@"
