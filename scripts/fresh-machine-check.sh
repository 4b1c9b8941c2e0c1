#!/usr/bin/env bash
# Follows the README on a brand-new Debian 12 machine, word for word, as a newcomer would: in a
# fresh root with nothing but apt, ca-certificates and git, the repository cloned in /root/sysaudio,
#   scripts/run.sh 16000 > audio.f32   must reach "ready", deliver samples, and when stopped as a
#                                      user stops it (Ctrl-C: SIGINT to its process group) leave
#                                      nothing of its private audio session running;
#   scripts/test.sh                    must pass.
# The run command goes first, on the bare root: it must install all that running needs by itself.
# A package missing from scripts/packages.sh shows up here before a user meets it.
#
# Needs root and mmdebstrap (scripts/install-deps.sh fresh-root); says so and fails without them.
# The base root is built once per FRESH_ROOT_CACHE (see scripts/fresh-root.sh). Whatever way the
# check ends, the root is unmounted and removed.
#
# Usage: scripts/fresh-machine-check.sh [REPO]
#   REPO: the git repository whose committed HEAD is tried (default: the one holding this script)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=${1:-$(dirname "$here")}
# shellcheck source=scripts/fresh-root.sh
source "$here/fresh-root.sh"

readonly run_command='scripts/run.sh 16000 > audio.f32'
readonly test_command='scripts/test.sh'
# Generous bounds: installing and building on a loaded 2-core machine takes minutes.
readonly ready_timeout=1200
readonly samples_timeout=30
readonly capture_seconds=2
readonly stop_timeout=30
readonly test_timeout=2700

say() { echo "fresh-machine-check: $*"; }
fail() {
  echo "fresh-machine-check: FAILED: $*" >&2
  exit 1
}

# "PID NAME" of each process whose root directory is DIR.
processes_in() {
  local dir=$1 link pid
  for link in /proc/[0-9]*/root; do
    [[ $(readlink "$link" 2>/dev/null) == "$dir" ]] || continue
    pid=${link#/proc/}
    pid=${pid%/root}
    echo "$pid $(cat "/proc/$pid/comm" 2>/dev/null)"
  done
}

# Starts CMD in the clone in the root, in a process group of its own as a shell starts a command,
# with standard output to OUT_FILE and standard error to ERR_FILE (or to OUT_FILE as well when
# ERR_FILE is empty); sets job to its pid, which is its group's id. The job's own shell, outside
# the root, ignores SIGINT as a user's shell does, so that it waits for CMD to end and gives its
# status; what runs in the root starts with SIGINT at its default.
start_in_root() {
  local cmd="cd /root/sysaudio && $1" out_file=$2 err_file=$3
  set -m
  (
    trap '' INT
    if [[ -n $err_file ]]; then exec 2>"$err_file"; else exec 2>&1; fi
    fresh_root_run "$root" "$cmd"
  ) </dev/null >"$out_file" &
  job=$!
  set +m
}

# Waits up to SECONDS for the job to end; true when it did.
wait_for_job_end() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$job" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 1
  done
}

# Prints the end of FILE, each line indented, under a heading, to standard error.
show_end_of() {
  local heading=$1 file=$2
  [[ -s $file ]] || return 0
  echo "--- $heading ($file):" >&2
  tail -n 40 "$file" | sed 's/^/    /' >&2
}

fresh_root_require
git -C "$repo" rev-parse --verify HEAD >/dev/null 2>&1 || fail "$repo is not a git repository"
if [[ -n $(git -C "$repo" status --porcelain 2>/dev/null) ]]; then
  say "note: $repo has uncommitted changes; only its committed HEAD is tried"
fi

check_started=$SECONDS
root=$(mktemp -d /var/tmp/sysaudio-fresh-machine.XXXXXX)
started=$SECONDS
fresh_root_make "$root"
fresh_root_clone "$root" "$repo"
make_seconds=$((SECONDS - started))
logs="$root/var/log/fresh-machine-check"
mkdir -p "$logs"
say "fresh Debian 12 root with $(git -C "$repo" rev-parse --short HEAD) cloned in ${make_seconds} s"

# The run command.
started=$SECONDS
start_in_root "$run_command" "$logs/run.stdout" "$logs/run.stderr"
run_failed() {
  show_end_of "its standard error" "$logs/run.stderr"
  show_end_of "its standard output" "$logs/run.stdout"
  if ! grep -qx ready "$logs/run.stderr" 2>/dev/null; then
    show_end_of "its install and build log" "$root/root/sysaudio/build-release/setup.log"
  fi
  fail "$run_command: $*"
}
# Until "ready" or the end: what follows a wrong first line tells what went wrong.
deadline=$((SECONDS + ready_timeout))
until grep -qx ready "$logs/run.stderr" 2>/dev/null; do
  if ! kill -0 "$job" 2>/dev/null; then
    run_status=0
    wait "$job" || run_status=$?
    run_failed "ended with status $run_status before 'ready'"
  fi
  ((SECONDS < deadline)) || run_failed "no 'ready' on standard error within $ready_timeout s"
  sleep 1
done
ready_seconds=$((SECONDS - started))
first_line=$(head -n 1 "$logs/run.stderr")
[[ $first_line == ready ]] || run_failed "the first line on standard error is '$first_line', not 'ready'"
audio="$root/root/sysaudio/audio.f32"
deadline=$((SECONDS + samples_timeout))
until [[ -s $audio ]]; do
  kill -0 "$job" 2>/dev/null || run_failed "ended after 'ready' without delivering a sample"
  ((SECONDS < deadline)) || run_failed "no sample in audio.f32 within $samples_timeout s of 'ready'"
  sleep 1
done
sleep "$capture_seconds"
kill -0 "$job" 2>/dev/null || run_failed "ended by itself while capturing"
kill -INT -- "-$job"
wait_for_job_end "$stop_timeout" || run_failed "still running $stop_timeout s after SIGINT"
run_status=0
wait "$job" || run_status=$?
run_seconds=$((SECONDS - started))
((run_status == 130)) || run_failed "ended with status $run_status on SIGINT, not 130"
cmp -s "$logs/run.stderr" <(echo ready) || run_failed "standard error holds more than 'ready\\n'"
bytes=$(stat -c %s "$audio")
((bytes > 0 && bytes % 4 == 0)) || run_failed "audio.f32 holds $bytes bytes, not whole 4-byte samples"
left=$(processes_in "$root")
[[ -z $left ]] || run_failed "still running in the root after it ended: $(paste -sd, <<<"$left")"
sessions=$(find "$root/tmp" -maxdepth 1 -name 'audio-session.*')
[[ -z $sessions ]] || run_failed "its audio session's folder is left: ${sessions#"$root"}"
say "ok: $run_command: ready after ${ready_seconds} s (installing and building included)," \
  "$((bytes / 4)) samples, stopped by SIGINT with its audio session (${run_seconds} s)"

# The test command.
started=$SECONDS
start_in_root "$test_command" "$logs/test.log" ""
if ! wait_for_job_end "$test_timeout"; then
  show_end_of "its output" "$logs/test.log"
  fail "$test_command: still running after $test_timeout s"
fi
test_status=0
wait "$job" || test_status=$?
test_seconds=$((SECONDS - started))
if ((test_status != 0)); then
  show_end_of "its output" "$logs/test.log"
  fail "$test_command: status $test_status after ${test_seconds} s"
fi
ctest_summary=$(grep -E '^[0-9]+% tests passed' "$logs/test.log" | tail -n 1 || true)
say "ok: $test_command: ${ctest_summary:-passed} (${test_seconds} s)"
say "2 passed, 0 failed in $((SECONDS - check_started)) s"
