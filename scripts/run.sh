#!/usr/bin/env bash
# Builds sysaudio and runs it with the given arguments; its standard output and standard error
# are this script's. When no PipeWire server is reachable (a fresh or headless machine), it runs
# inside a private headless audio session of its own, which goes when sysaudio ends. Installs
# the Debian packages it needs when they are missing.
#
# What installing and building print goes to standard error when that is a terminal. When it is
# not (a program reads it), it goes to build-release/setup.log instead, so that standard error
# carries sysaudio's status lines alone, as it does when sysaudio runs by itself; a failed setup
# then says so in one "error: " line.
#
# Usage: scripts/run.sh [sample-rate]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$root/build-release"

# Installs what is missing and builds; what the installer does, and the build's warnings and
# errors, go to standard error.
install_and_build() {
  "$root/scripts/install-deps.sh" run >&2 \
    && cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSYSAUDIO_BUILD_TESTS=OFF \
      >/dev/null \
    && cmake --build "$build_dir" -j"$(nproc)" >/dev/null
}

if [ -t 2 ]; then
  install_and_build
else
  mkdir -p "$build_dir"
  setup_log="$build_dir/setup.log"
  if ! install_and_build 2>"$setup_log"; then
    echo "error: installing or building sysaudio failed; see $setup_log" >&2
    exit 1
  fi
fi

if timeout 5 pw-cli info 0 >/dev/null 2>&1; then
  exec "$build_dir/sysaudio" "$@"
fi
exec "$root/scripts/audio-session.sh" run -- "$build_dir/sysaudio" "$@"
