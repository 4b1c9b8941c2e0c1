#!/usr/bin/env bash
# Shows that the tests catch the faults they are there for. Each fault below is planted, one at a
# time, in a copy of the committed tree; the copy is rebuilt and the tests that should catch the
# fault run against it. A fault is caught when those tests fail. The same tests run once first
# on the unchanged copy and must pass there, or a failure would prove nothing. A fault whose
# text is no longer found in its file is an error: the table below has to follow the code.
#
# It builds the Release tree once and rebuilds only what each fault touches, and runs the
# end-to-end tests of a fault against private audio sessions, so it takes a while (about five
# minutes on two cores). It is not part of CI's fast path; run it when the tests or the code
# they guard change.
#
# Usage: scripts/mutation-check.sh [fault-name...]   (all faults when none is named)
# Prints one line per fault: caught, missed or error; exits 1 unless every fault is caught.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Each entry: name @ file @ text in it @ what replaces it @ ctest -R filter of the tests that
# should catch it @ runs: how often those tests run on the planted copy (caught when any run
# fails; the unchanged copy must pass every run). "\n" in the texts stands for a line break.
# Where a fault moves a call, a #define after the planted line turns the call left in its old
# place into a harmless expression or into the value read early.
faults=(
  "frame-lost-per-buffer @ src/platform/pipewire/capture_hand_over.cpp @ if (write(samples, frames) == 0) { @ if (write(samples, frames - 1) == 0) { @ PlayingStreamTest|SampleRateTest.*Hz48000|StreamsStartingAfterReady|ShortStallTest @ 1"
  "allocation-per-buffer @ src/platform/pipewire/capture_hand_over.cpp @   lastBufferFrames_.store(frames, std::memory_order_relaxed); @   {\n    std::vector<float> copy(frames);\n    lastBufferFrames_.store(copy.size(), std::memory_order_relaxed);\n  } @ HotPathAllocationTest|RealTimePathTest @ 1"
  "timer-at-a-third @ src/platform/dispatch.cpp @ timer->deadline += (missed + 1) * timer->interval; @ timer->deadline += (missed + 3) * timer->interval; @ TimerSourceTest|SilenceFillerTest|WhileNothingPlays @ 1"
  "silence-before-content @ src/capture_session.cpp @   ContentResult result = requestShareableContent(service); @   sink.startSilenceFiller();\n#define startSilenceFiller() queue\n  ContentResult result = requestShareableContent(service); @ CaptureSessionTest @ 1"
  "parent-read-early @ src/capture_session.cpp @   ContentResult result = requestShareableContent(service); @   const pid_t earlyParentProcessID = getppid();\n#define getppid() earlyParentProcessID\n  ContentResult result = requestShareableContent(service); @ ReadsTheParentOnlyAfterTheContentArrives @ 20"
  "paused-after-a-client-leaves @ src/platform/pipewire/pipewire_stream.cpp @     return;\n  }\n  updateLinks(); @     return;\n  }\n  static std::size_t clientsSeen = 0;\n  if (connection_->clients().size() < clientsSeen) {\n    pw_stream_set_active(stream_.get(), false);\n  }\n  clientsSeen = connection_->clients().size();\n  updateLinks(); @ ClientsComingAndGoing|StreamsOfTheParentAndOthersChurn|OutputDeviceRemovedAndAddedBack @ 1"
  "parent-only-not-descendants @ src/platform/pipewire/parent_rule.cpp @   if (process == root) {\n    return true;\n  }\n  const std::optional<ProcessLinks> rootLinks @   if (process == root || process != root) {\n    return process == root;\n  }\n  const std::optional<ProcessLinks> rootLinks @ ParentRuleTest|ParentExclusionTest @ 1"
)

# The one space either side of each separator is not part of the field.
trim() {
  local field=${1# }
  printf '%s' "${field% }"
}

wanted=("$@")
is_wanted() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  local name
  for name in "${wanted[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}

"$root/scripts/install-deps.sh" test

work=$(mktemp -d /var/tmp/sysaudio-mutation.XXXXXX)
trap 'rm -rf -- "$work"' EXIT
# The logs outlive the run, to show why a fault was missed or a test failed unchanged.
logs=$(mktemp -d /var/tmp/sysaudio-mutation-logs.XXXXXX)
tree="$work/tree"
build="$work/build"
mkdir -p "$tree"
git -C "$root" archive HEAD | tar -x -C "$tree"
echo "building the committed tree ($(git -C "$root" rev-parse --short HEAD)) in $work" >&2
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >"$logs/build.log" 2>&1 || {
  tail -n 40 "$logs/build.log" >&2
  exit 1
}

run_tests() {  # filter runs log
  (cd "$build" && ctest -R "$1" --repeat until-fail:"$2" -j"$(nproc)" --output-on-failure) \
    >"$3" 2>&1
}

results=()
missed=0
report() {  # name filter result
  results+=("$(printf '%-30s %-45s %s' "$1" "$2" "$3")")
  echo "${results[-1]}" >&2
}
for entry in "${faults[@]}"; do
  IFS='@' read -r name file text planted filter runs <<<"$entry"
  name=$(trim "$name") file=$(trim "$file") text=$(trim "$text") planted=$(trim "$planted")
  filter=$(trim "$filter") runs=$(trim "$runs")
  is_wanted "$name" || continue
  log="$logs/$name"
  # The tree as committed again: the last fault's file is back, and its objects are rebuilt.
  cmake --build "$build" -j"$(nproc)" >"$log.unchanged-build.log" 2>&1
  if ! run_tests "$filter" "$runs" "$log.before.log"; then
    report "$name" "$filter" "error: fails unchanged (see $log.before.log)"
    missed=1
    continue
  fi
  cp "$tree/$file" "$log.original"
  if ! "$root/scripts/replace_once.py" "$tree/$file" "$tree/$file" "$text" "$planted" \
    2>"$log.plant"; then
    report "$name" "$filter" "error: $(cat "$log.plant")"
    missed=1
    continue
  fi
  if ! cmake --build "$build" -j"$(nproc)" >"$log.build.log" 2>&1; then
    report "$name" "$filter" "error: the planted tree does not build"
    missed=1
  elif run_tests "$filter" "$runs" "$log.after.log"; then
    report "$name" "$filter" MISSED
    missed=1
  else
    failed=$(grep -cE '^\s+[0-9]+ - ' "$log.after.log" || true)
    report "$name" "$filter" "caught ($failed failing)"
  fi
  cp "$log.original" "$tree/$file"
done
echo "logs: $logs" >&2
printf '%-30s %-45s %s\n' fault "tests run (ctest -R)" result
printf '%s\n' "${results[@]}"
exit "$missed"
