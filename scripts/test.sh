#!/usr/bin/env bash
# Builds sysaudio and its tests, and runs every test; the end-to-end ones start private audio
# sessions of their own. Installs the Debian packages it needs when they are missing.
#
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [ctest arguments...]
#
# The plain run tests the Release build, the one users run. The sanitizer runs build
# RelWithDebInfo, whose debug information makes their reports readable. SYSAUDIO_WERROR=ON in
# the environment turns compiler warnings into errors, as CI does.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=""
build_dir="$root/build"
build_type=Release
if [ "${1:-}" = "--sanitize" ]; then
  sanitize=$2
  shift 2
  build_dir="$root/build-${sanitize//,/-}"
  build_type=RelWithDebInfo
fi

if [ "$sanitize" = "thread" ]; then
  # A process of this program ends through exit with its threads still at work, and a test child
  # that ends through the error path leaves its helper threads unjoined: neither is a leak.
  export TSAN_OPTIONS="report_thread_leaks=0 halt_on_error=1 ${TSAN_OPTIONS:-}"
fi
reports="$build_dir/sanitizer-reports"
if [ -n "$sanitize" ]; then
  # sysaudio points descriptor 2 away from its parent's standard error, where a sanitizer's
  # report would be lost, and a report's exit status can look like sysaudio's own status 1. So
  # every process of the run writes its reports to files here, and any report fails the run.
  rm -rf "$reports"
  mkdir -p "$reports"
  for variable in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    export "$variable=log_path=$reports/report ${!variable:-}"
  done
fi

"$root/scripts/install-deps.sh" test
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DSYSAUDIO_SANITIZE="$sanitize" \
  -DSYSAUDIO_WERROR="${SYSAUDIO_WERROR:-OFF}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
status=0
ctest --output-on-failure -j"$(nproc)" "$@" || status=$?
if [ -n "$sanitize" ] && compgen -G "$reports/report*" >/dev/null; then
  echo "sanitizer reports in $reports:" >&2
  cat "$reports"/report* >&2
  status=1
fi
exit "$status"
