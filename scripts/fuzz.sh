#!/usr/bin/env bash
# Builds the libFuzzer targets in tests/fuzz with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time on a copy of its seed corpus.
# Fails when any target finds a crash, a sanitizer error, a leak or a timeout; the input that
# caused it is left in build-fuzz/runs/<target>/ until the next run. Installs the Debian packages
# it needs when they are missing.
#
# Usage: scripts/fuzz.sh [seconds-per-target, default 60]
# SYSAUDIO_WERROR=ON in the environment turns compiler warnings into errors, as CI does.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds-per-target]" >&2
  exit 2
fi
build_dir="$root/build-fuzz"
targets=(parse_sample_rate_fuzzer downmix_fuzzer)

"$root/scripts/install-deps.sh" fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DSYSAUDIO_FUZZ=ON \
  -DSYSAUDIO_BUILD_TESTS=OFF -DSYSAUDIO_WERROR="${SYSAUDIO_WERROR:-OFF}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]}"

failed=0
summaries=()
for target in "${targets[@]}"; do
  run_dir="$build_dir/runs/$target"
  rm -rf "$run_dir"
  mkdir -p "$run_dir/corpus"
  # libFuzzer adds what it finds to the corpus directory it is given: a copy, never the seeds.
  cp "$root/tests/fuzz/corpus/$target/"* "$run_dir/corpus/"
  seeds=$(find "$run_dir/corpus" -type f | wc -l)
  log="$run_dir/fuzz.log"
  status=0
  (cd "$run_dir" && "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$run_dir/" corpus) >"$log" 2>&1 || status=$?

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  progress=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  coverage=$(grep -o 'cov: [0-9]*' <<<"$progress" | cut -d' ' -f2 || true)
  features=$(grep -o 'ft: [0-9]*' <<<"$progress" | cut -d' ' -f2 || true)
  corpus=$(find "$run_dir/corpus" -type f | wc -l)
  summary="$target: ${runs:-?} runs, cov ${coverage:-?}, ft ${features:-?}, corpus $seeds seeds -> $corpus inputs"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "--- $target failed (exit status $status); the end of $log:" >&2
    tail -n 60 "$log" >&2
    artifacts=$(find "$run_dir" -maxdepth 1 -type f \
      \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | paste -sd' ')
    summary="$summary: FAILED, reproducer: ${artifacts:-none written}"
    summary="$summary (rerun it: $build_dir/tests/fuzz/$target <reproducer>)"
  fi
  summaries+=("$summary")
done

echo "fuzzed each target for up to $seconds s:"
printf '%s\n' "${summaries[@]}"
exit "$failed"
