#!/usr/bin/env bash
# End-to-end capture benchmark: sysaudio beside pw-record and parec, in the same run, in one
# private headless audio session. Prints a table with the ratios sysaudio / pw-record and
# sysaudio / parec and the targets (PASS/MISS, informational), and writes the figures as JSON to
# bench/results/. A benchmark, not a test: it exits 0 whatever the figures, and non-zero only
# when the benchmark itself could not run.
#
# Usage: bench/capture_benchmark.sh [--seconds S] [--sysaudio PATH] [--captures LIST]
#                                    [--quantum LIST] [--baseline PATH] [--repeat N]
#                                    [--results-dir DIR] [--keep]
#   --seconds S       how long the player plays (default 60)
#   --captures LIST   which recorders run beside sysaudio (default pw-record,parec); parec's
#                     default buffering raises the graph quantum for everyone, so
#                     --captures pw-record (the two-recorder mode: a player, sysaudio and
#                     pw-record, nothing else) shows the figures at the graph's own quantum
#   --quantum LIST    force the graph's quantum (clock.force-quantum) to each of these frame
#                     counts in turn, e.g. 256,1024,2048; a fresh session for each
#   --baseline PATH   also measure this other sysaudio build, in sessions of its own that
#                     alternate with the measured one's, and print both side by side
#   --repeat N        measure each configuration N times (default 1) and report the spread
#   --sysaudio PATH   measure this binary instead of building build-release/sysaudio
#   --results-dir DIR where the JSON goes (default bench/results)
#   --keep            keep the work directory (player log, recorders' stderr) and print it
#
# What runs: click_player (bench/click_player.c, built here into build-capture-bench/) plays a
# quiet tone with a full-scale click every 500 ms to the session's default sink and logs when each
# click was written; sysaudio 16000, pw-record (sink monitor) and parec (monitor source through
# pipewire-pulse) all capture mono float32 at 16000 Hz to stdout, read by capture_benchmark.py,
# which stamps each click's arrival. See capture_benchmark.py for what each figure means.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly ROOT
seconds=60
sysaudio=""
results_dir=$ROOT/bench/results
keep=0
captures=sysaudio,pw-record,parec
quanta=""
baseline=""
repeat=1

usage() { sed -n '8,25s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }

while (($# > 0)); do
  case $1 in
    --seconds) seconds=${2:?--seconds needs a value}; shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --sysaudio) sysaudio=${2:?--sysaudio needs a path}; shift 2 ;;
    --sysaudio=*) sysaudio=${1#*=}; shift ;;
    --results-dir) results_dir=${2:?--results-dir needs a path}; shift 2 ;;
    --results-dir=*) results_dir=${1#*=}; shift ;;
    --captures) captures=sysaudio,${2?--captures needs a list}; shift 2 ;;
    --captures=*) captures=sysaudio,${1#*=}; shift ;;
    --quantum) quanta=${2:?--quantum needs a list}; shift 2 ;;
    --quantum=*) quanta=${1#*=}; shift ;;
    --baseline) baseline=${2:?--baseline needs a path}; shift 2 ;;
    --baseline=*) baseline=${1#*=}; shift ;;
    --repeat) repeat=${2:?--repeat needs a count}; shift 2 ;;
    --repeat=*) repeat=${1#*=}; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "capture_benchmark.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
if [[ ! $seconds =~ ^[0-9]+([.][0-9]+)?$ || $seconds =~ ^0+([.]0+)?$ ]]; then
  echo "capture_benchmark.sh: --seconds must be a positive number" >&2
  exit 2
fi
if [[ -n $quanta && ! $quanta =~ ^[1-9][0-9]*(,[1-9][0-9]*)*$ ]]; then
  echo "capture_benchmark.sh: --quantum must be a comma-separated list of frame counts" >&2
  exit 2
fi
if [[ ! $repeat =~ ^[1-9][0-9]*$ ]]; then
  echo "capture_benchmark.sh: --repeat must be a positive count" >&2
  exit 2
fi

for tool in cmake cc pkg-config python3 pw-record parec setsid; do
  command -v "$tool" >/dev/null || { echo "capture_benchmark.sh: $tool not found" >&2; exit 1; }
done

if [[ -z $sysaudio ]]; then
  cmake -S "$ROOT" -B "$ROOT/build-release" -DCMAKE_BUILD_TYPE=Release \
    -DSYSAUDIO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build-release" -j2 --target sysaudio >/dev/null
  sysaudio=$ROOT/build-release/sysaudio
fi
sysaudio=$(realpath "$sysaudio")
[[ -x $sysaudio ]] || { echo "capture_benchmark.sh: $sysaudio is not executable" >&2; exit 1; }
if [[ -n $baseline ]]; then
  baseline=$(realpath "$baseline")
  [[ -x $baseline ]] || { echo "capture_benchmark.sh: $baseline is not executable" >&2; exit 1; }
fi

# The player needs no CMake configuration of its own, so it is built straight from here.
player=$ROOT/build-capture-bench/click_player
if [[ ! -x $player || $ROOT/bench/click_player.c -nt $player ]]; then
  mkdir -p "$(dirname "$player")"
  # shellcheck disable=SC2046 # pkg-config's flags are separate words.
  cc -std=gnu11 -O2 -Wall -Wextra -Werror -o "$player" "$ROOT/bench/click_player.c" \
    $(pkg-config --cflags --libs libpipewire-0.3) -lm
fi

work=$(mktemp -d /tmp/sysaudio-bench.XXXXXX)
session=""
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  if [[ -n $session ]]; then
    "$ROOT/scripts/audio-session.sh" stop "$session" || true
  fi
  if ((keep)); then
    echo "work directory kept: $work" >&2
  else
    rm -rf -- "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# One measurement in a session of its own: label, binary, forced quantum (0: none), round.
measure() {
  local label=$1 binary=$2 quantum=$3 round=$4
  session=$work/session-$label-$quantum-$round
  "$ROOT/scripts/audio-session.sh" start "$session"
  (
    # shellcheck disable=SC1091 # written by audio-session.sh start
    source "$session/env"
    if ((quantum > 0)); then
      pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
    fi
    exec python3 "$ROOT/bench/capture_benchmark.py" --seconds "$seconds" --sysaudio "$binary" \
      --player "$player" --work-dir "$work/run-$label-$quantum-$round" \
      --results-dir "$results" --root "$ROOT" --captures "$captures" --label "$label" \
      --quantum "$quantum"
  ) || status=$?
  "$ROOT/scripts/audio-session.sh" stop "$session"
  session=""
}

# A single measurement keeps its JSON where it always went; a series gets a directory of its own
# and a summary of all its runs side by side.
status=0
series=0
if [[ -n $quanta || -n $baseline ]] || ((repeat > 1)); then
  series=1
fi
results=$results_dir
if ((series)); then
  results=$results_dir/series-$(date -u +%Y%m%dT%H%M%SZ)
fi
for quantum in $(if [[ -n $quanta ]]; then echo "${quanta//,/ }"; else echo 0; fi); do
  for ((round = 1; round <= repeat; round++)); do
    # The two builds take turns at going first, so that neither always meets the machine in
    # the same state.
    if [[ -n $baseline ]] && ((round % 2 == 1)); then
      measure baseline "$baseline" "$quantum" "$round"
    fi
    measure sysaudio "$sysaudio" "$quantum" "$round"
    if [[ -n $baseline ]] && ((round % 2 == 0)); then
      measure baseline "$baseline" "$quantum" "$round"
    fi
  done
done
if ((series)); then
  python3 "$ROOT/bench/capture_benchmark.py" --summarize "$results" || status=$?
fi
exit "$status"
