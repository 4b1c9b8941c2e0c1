#!/usr/bin/env bash
# Private, headless PipeWire audio session for development and tests.
#
# Usage:
#   audio-session.sh start DIR       start a private session in DIR (created, must be new or empty)
#   audio-session.sh stop DIR        stop the session in DIR and remove DIR (idempotent)
#   audio-session.sh run -- CMD...   run CMD inside a throw-away session; exits with CMD's status
#
# A session is: a private D-Bus bus, pipewire, wireplumber and pipewire-pulse, all with
# XDG_RUNTIME_DIR=DIR and private XDG config/state/data/cache dirs under DIR, plus one null
# Audio/Sink that drives the graph in real time. Nothing talks to the user's real session,
# devices (ALSA/bluetooth/camera monitors are disabled) or D-Bus bus.
# With AUDIO_SESSION_NO_SINK=1 the session has no Audio/Sink at all, as a machine without any
# output device: neither the null sink nor the stand-in sink that pipewire-pulse would add.
#
# Files in DIR after a successful start:
#   DIR/env                 `export VAR=value` lines to `source` (XDG_RUNTIME_DIR, PULSE_SERVER...)
#   DIR/{dbus,pipewire,wireplumber,pipewire-pulse}.pid   daemon pids
#   DIR/{dbus,pipewire,wireplumber,pipewire-pulse}.log   daemon output
#
# Environment knobs:
#   AUDIO_SESSION_SINK     node.name of the null sink (default: audio_session_sink)
#   AUDIO_SESSION_TIMEOUT  seconds to wait for readiness (default: 15)
#   AUDIO_SESSION_NO_SINK  1: no Audio/Sink in the session (default: 0); DIR/env then has no
#                          AUDIO_SESSION_SINK/AUDIO_SESSION_MONITOR

set -euo pipefail

# What the session runs is the run set of the one package list.
# shellcheck source=scripts/packages.sh
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

PROG=${0##*/}
readonly PROG
SINK_NAME=${AUDIO_SESSION_SINK:-audio_session_sink}
readonly SINK_NAME
READY_TIMEOUT=${AUDIO_SESSION_TIMEOUT:-15}
readonly READY_TIMEOUT
NO_SINK=${AUDIO_SESSION_NO_SINK:-0}
readonly NO_SINK
readonly MARKER=.audio-session
# Stop order: clients of the server first, the bus last.
readonly DAEMONS=(pipewire-pulse wireplumber pipewire dbus)

usage() {
  cat <<EOF
usage: $PROG start DIR
       $PROG stop DIR
       $PROG run -- CMD [ARGS...]
EOF
}

err() { printf '%s: %s\n' "$PROG" "$*" >&2; }

die() {
  err "error: $*"
  exit 1
}

# Expected /proc/PID/comm of each daemon (guards against killing a recycled pid).
daemon_comm() {
  case $1 in
    dbus) echo dbus-daemon ;;
    *) echo "$1" ;;
  esac
}

# True if PID exists and is not a zombie.
is_alive() {
  local pid=$1 stat
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ -n $stat && ${stat:0:1} != Z && ${stat:0:1} != X ]]
}

# Prints the recorded pid of daemon NAME in DIR if that process is still alive and is that daemon.
live_pid() {
  local dir=$1 name=$2 pid comm
  [[ -f $dir/$name.pid ]] || return 1
  pid=$(cat "$dir/$name.pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  is_alive "$pid" || return 1
  comm=$(cat "/proc/$pid/comm" 2>/dev/null) || return 1
  [[ $comm == "$(daemon_comm "$name")" ]] || return 1
  echo "$pid"
}

# Monotonic-enough wall clock in milliseconds (bash 5 EPOCHREALTIME; the radix may be , or .).
now_ms() {
  local t=${EPOCHREALTIME/[.,]/}
  echo $((10#$t / 1000))
}

abspath() {
  local p=$1
  [[ $p == /* ]] || p=$PWD/$p
  # Drop trailing slashes (but keep "/").
  while [[ $p == */ && $p != / ]]; do p=${p%/}; done
  echo "$p"
}

# Environment shared by the daemons and by the readiness probes.
session_env() {
  local dir=$1
  export XDG_RUNTIME_DIR=$dir
  export PIPEWIRE_RUNTIME_DIR=$dir
  export XDG_CONFIG_HOME=$dir/config
  export XDG_STATE_HOME=$dir/state
  export XDG_DATA_HOME=$dir/data
  export XDG_CACHE_HOME=$dir/cache
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
  export PULSE_SERVER=unix:$dir/pulse/native
  export PULSE_RUNTIME_PATH=$dir/pulse
  export PULSE_STATE_PATH=$dir/state/pulse
  export PULSE_COOKIE=$dir/config/pulse/cookie
  # Anything that could point a daemon or probe at another server or config.
  unset PIPEWIRE_REMOTE PIPEWIRE_CORE PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME \
    PIPEWIRE_CONFIG_PREFIX PIPEWIRE_PROPS PIPEWIRE_NODE PIPEWIRE_LATENCY PIPEWIRE_RATE \
    PIPEWIRE_QUANTUM PIPEWIRE_MODULE_DIR PIPEWIRE_AUTOCONNECT \
    PULSE_SINK PULSE_SOURCE PULSE_CLIENTCONFIG PULSE_PROP PULSE_PROP_OVERRIDE PULSE_LATENCY_MSEC \
    WIREPLUMBER_CONFIG_DIR WIREPLUMBER_DATA_DIR WIREPLUMBER_CONFIG_FILE WIREPLUMBER_MODULE_DIR \
    JACK_DEFAULT_SERVER DISPLAY WAYLAND_DISPLAY DBUS_SYSTEM_BUS_ADDRESS_OVERRIDE
}

write_configs() {
  local dir=$1
  mkdir -p "$dir/config/pipewire/pipewire.conf.d" \
    "$dir/config/wireplumber/main.lua.d" \
    "$dir/config/wireplumber/bluetooth.lua.d" \
    "$dir/config/pulse" "$dir/state" "$dir/data" "$dir/cache"

  # Bus config: a plain session bus on DIR/bus, no service activation at all.
  cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

  # The null sink, a timer-driven driver node so that players run in real time; or no sink.
  if ((NO_SINK)); then
    write_no_sink_pulse_config "$dir"
  else
    cat >"$dir/config/pipewire/pipewire.conf.d/50-audio-session-sink.conf" <<EOF
context.objects = [
  { factory = adapter
    args = {
      factory.name     = support.null-audio-sink
      node.name        = "$SINK_NAME"
      node.description = "Audio session null sink"
      media.class      = Audio/Sink
      audio.position   = [ FL FR ]
      monitor.channel-volumes = true
      object.linger    = true
    }
  }
]
EOF
  fi

  # No hardware monitors: the private session must never grab real devices.
  cat >"$dir/config/wireplumber/main.lua.d/51-audio-session.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
  cat >"$dir/config/wireplumber/bluetooth.lua.d/51-audio-session.lua" <<'EOF'
bluez_monitor.enabled = false
EOF
}

# pipewire-pulse loads module-always-sink, which adds a null sink whenever there is none; a
# session without sinks needs a pipewire-pulse.conf without it. A file in XDG_CONFIG_HOME
# replaces the system one as a whole, so it is the system one with that command commented out.
write_no_sink_pulse_config() {
  local dir=$1 system="" candidate
  for candidate in /etc/pipewire/pipewire-pulse.conf /usr/share/pipewire/pipewire-pulse.conf; do
    if [[ -f $candidate ]]; then
      system=$candidate
      break
    fi
  done
  [[ -n $system ]] || {
    err "error: no system pipewire-pulse.conf to derive a sink-less one from"
    return 1
  }
  sed -E 's/^([[:space:]]*)(\{[[:space:]]*cmd[[:space:]]*=[[:space:]]*"load-module"[[:space:]]+args[[:space:]]*=[[:space:]]*"module-always-sink)/\1#\2/' \
    "$system" >"$dir/config/pipewire/pipewire-pulse.conf"
  if grep -qE '^[[:space:]]*[^#[:space:]].*module-always-sink' \
    "$dir/config/pipewire/pipewire-pulse.conf"; then
    err "error: could not disable module-always-sink in a copy of $system"
    return 1
  fi
}

write_env_file() {
  local dir=$1 var
  local vars=(XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME
    XDG_CACHE_HOME DBUS_SESSION_BUS_ADDRESS PULSE_SERVER PULSE_RUNTIME_PATH PULSE_STATE_PATH
    PULSE_COOKIE)
  {
    for var in "${vars[@]}"; do
      printf 'export %s=%q\n' "$var" "${!var}"
    done
    printf 'export PIPEWIRE_REMOTE=%q\n' "$dir/pipewire-0"
    printf 'export AUDIO_SESSION_DIR=%q\n' "$dir"
    if ((!NO_SINK)); then
      printf 'export AUDIO_SESSION_SINK=%q\n' "$SINK_NAME"
      printf 'export AUDIO_SESSION_MONITOR=%q\n' "$SINK_NAME.monitor"
    fi
  } >"$dir/env.tmp"
  mv "$dir/env.tmp" "$dir/env"
}

# spawn DIR NAME CMD... : start CMD detached (own session, stdin from /dev/null, output to
# DIR/NAME.log) and record its pid in DIR/NAME.pid. The pid is written by the process itself
# right before it execs CMD, so it is correct whether or not setsid had to fork.
spawn() {
  local dir=$1 name=$2 i pid comm
  shift 2
  rm -f "$dir/$name.pid"
  # shellcheck disable=SC2016 # $$ and $1 are expanded by the inner shell.
  setsid bash -c 'echo "$$" >"$1.tmp" && mv "$1.tmp" "$1" && shift && exec "$@"' \
    spawn "$dir/$name.pid" "$@" </dev/null >>"$dir/$name.log" 2>&1 &
  for ((i = 0; i < 50; i++)); do
    if [[ -s $dir/$name.pid ]]; then
      pid=$(cat "$dir/$name.pid")
      comm=$(cat "/proc/$pid/comm" 2>/dev/null || true)
      [[ $comm == "$(daemon_comm "$name")" ]] && return 0
      is_alive "$pid" || break
    fi
    sleep 0.1
  done
  err "error: $name did not start; see $dir/$name.log"
  return 1
}

# One readiness probe; on failure prints what is missing.
probe_ready() {
  local dir=$1 out
  if [[ ! -S $dir/pipewire-0 ]]; then
    echo "pipewire socket $dir/pipewire-0 not there yet"
    return 1
  fi
  out=$(timeout 3 pw-dump 2>/dev/null || true)
  if ((NO_SINK)); then
    probe_ready_without_sink "$dir" "$out"
    return
  fi
  if ! grep -qF "\"node.name\": \"$SINK_NAME\"" <<<"$out"; then
    echo "pw-dump does not show the sink node $SINK_NAME yet"
    return 1
  fi
  if [[ ! -S $dir/pulse/native ]] || ! timeout 3 pactl info >/dev/null 2>&1; then
    echo "pipewire-pulse does not answer 'pactl info' yet"
    return 1
  fi
  # wireplumber writes {"name":"X"}; other writers add spaces, so compare without whitespace.
  out=$(timeout 3 pw-metadata -n default 0 default.audio.sink 2>/dev/null || true)
  if ! grep -qF "\"name\":\"$SINK_NAME\"" <<<"${out//[[:space:]]/}"; then
    echo "wireplumber has not set default.audio.sink=$SINK_NAME in the default metadata yet"
    return 1
  fi
  out=$(timeout 3 pactl get-default-sink 2>/dev/null || true)
  if [[ $out != "$SINK_NAME" ]]; then
    echo "pactl get-default-sink says '$out', not $SINK_NAME"
    return 1
  fi
  return 0
}

# probe_ready for a session without sinks, given DIR and pw-dump's output: the server and
# pipewire-pulse answer, wireplumber has made its default metadata, and no sink exists.
probe_ready_without_sink() {
  local dir=$1 dump=$2 out
  if [[ -z $dump ]]; then
    echo "pw-dump does not answer yet"
    return 1
  fi
  if [[ ! -S $dir/pulse/native ]] || ! timeout 3 pactl info >/dev/null 2>&1; then
    echo "pipewire-pulse does not answer 'pactl info' yet"
    return 1
  fi
  out=$(timeout 3 pw-metadata -n default 2>/dev/null || true)
  if ! grep -qF 'Found "default" metadata' <<<"$out"; then
    echo "wireplumber has not made the default metadata yet"
    return 1
  fi
  if grep -qF '"media.class": "Audio/Sink"' <<<"$dump"; then
    echo "an Audio/Sink exists although AUDIO_SESSION_NO_SINK=1"
    return 1
  fi
  return 0
}

print_logs() {
  local dir=$1 name
  for name in "${DAEMONS[@]}"; do
    if [[ -s $dir/$name.log ]]; then
      err "---- last lines of $dir/$name.log:"
      tail -n 15 "$dir/$name.log" >&2 || true
    fi
  done
}

# Waits up to tenths/10 s until none of the pids is alive.
wait_for_exit() {
  local tenths=$1 i pid any
  shift
  for ((i = 0; i < tenths; i++)); do
    any=0
    for pid in "$@"; do
      if is_alive "$pid"; then any=1; fi
    done
    ((any)) || return 0
    sleep 0.1
  done
}

do_stop() {
  local dir=$1 name pid
  local pids=()
  [[ -e $dir ]] || return 0
  [[ -d $dir ]] || die "$dir is not a directory"
  for name in "${DAEMONS[@]}"; do
    if pid=$(live_pid "$dir" "$name"); then
      kill -TERM "$pid" 2>/dev/null || true
      pids+=("$pid")
    fi
  done
  if ((${#pids[@]} > 0)); then
    wait_for_exit 30 "${pids[@]}"
    for pid in "${pids[@]}"; do
      if is_alive "$pid"; then
        err "pid $pid did not exit on TERM; sending KILL"
        kill -KILL "$pid" 2>/dev/null || true
      fi
    done
    wait_for_exit 20 "${pids[@]}"
  fi
  if [[ -e $dir/$MARKER ]]; then
    rm -rf -- "$dir"
  elif [[ -z $(ls -A -- "$dir") ]]; then
    rmdir -- "$dir"
  else
    err "warning: $dir was not made by $PROG start; not removing it"
  fi
}

do_start() {
  local dir=$1 name why="" deadline
  [[ $READY_TIMEOUT =~ ^[0-9]+$ ]] || die "AUDIO_SESSION_TIMEOUT must be whole seconds: $READY_TIMEOUT"
  [[ $SINK_NAME =~ ^[A-Za-z0-9_.-]+$ ]] || die "AUDIO_SESSION_SINK may only use [A-Za-z0-9_.-]: $SINK_NAME"
  [[ $NO_SINK == 0 || $NO_SINK == 1 ]] || die "AUDIO_SESSION_NO_SINK must be 0 or 1: $NO_SINK"
  # Unix socket paths are limited to 107 bytes; DIR/pulse/native is the longest one we need.
  ((${#dir} + 13 <= 107)) || die "DIR path too long for unix sockets (${#dir} chars): $dir"
  if [[ -e $dir ]]; then
    [[ -d $dir ]] || die "$dir exists and is not a directory"
    [[ -z $(ls -A -- "$dir") ]] || die "$dir exists and is not empty"
    chmod 700 "$dir"
  else
    mkdir -p -- "$(dirname -- "$dir")"
    mkdir -m 700 -- "$dir"
  fi
  : >"$dir/$MARKER"

  local package
  while read -r name package; do
    command -v "$name" >/dev/null || {
      do_stop "$dir"
      die "$name not found in PATH (package $package; scripts/install-deps.sh run installs it)"
    }
  done < <(sysaudio_commands run)

  session_env "$dir"
  write_configs "$dir"

  # Clean up if anything below fails or we are interrupted.
  trap 'err "start interrupted; cleaning up"; do_stop "$dir"; exit 130' INT TERM HUP
  if ! start_daemons "$dir"; then
    print_logs "$dir"
    do_stop "$dir"
    trap - INT TERM HUP
    return 1
  fi

  deadline=$(($(now_ms) + READY_TIMEOUT * 1000))
  while :; do
    for name in "${DAEMONS[@]}"; do
      if ! live_pid "$dir" "$name" >/dev/null; then
        err "error: $name exited during startup"
        print_logs "$dir"
        do_stop "$dir"
        trap - INT TERM HUP
        return 1
      fi
    done
    if why=$(probe_ready "$dir"); then
      break
    fi
    if (($(now_ms) >= deadline)); then
      err "error: session in $dir not ready after ${READY_TIMEOUT}s: $why"
      print_logs "$dir"
      do_stop "$dir"
      trap - INT TERM HUP
      return 1
    fi
    sleep 0.2
  done
  write_env_file "$dir"
  trap - INT TERM HUP
}

start_daemons() {
  local dir=$1 i
  spawn "$dir" dbus dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile --nosyslog \
    || return 1
  for ((i = 0; i < 50; i++)); do
    [[ -S $dir/bus ]] && break
    sleep 0.1
  done
  [[ -S $dir/bus ]] || {
    err "error: D-Bus socket $dir/bus did not appear"
    return 1
  }
  spawn "$dir" pipewire pipewire || return 1
  for ((i = 0; i < 50; i++)); do
    [[ -S $dir/pipewire-0 ]] && break
    sleep 0.1
  done
  spawn "$dir" wireplumber wireplumber || return 1
  spawn "$dir" pipewire-pulse pipewire-pulse || return 1
}

do_run() {
  local dir status=0 child=""
  [[ $# -gt 0 ]] || {
    usage >&2
    exit 2
  }
  dir=$(mktemp -d "${TMPDIR:-/tmp}/audio-session.XXXXXX")
  # shellcheck disable=SC2317 # invoked via trap
  on_signal() {
    local sig=$1 code=$2
    local i
    if [[ -n $child ]] && kill -0 "$child" 2>/dev/null; then
      kill "-$sig" "$child" 2>/dev/null || true
      # Give CMD 5 s to exit on the forwarded signal, then KILL it.
      for ((i = 0; i < 50; i++)); do
        kill -0 "$child" 2>/dev/null || break
        sleep 0.1
      done
      kill -KILL "$child" 2>/dev/null || true
      wait "$child" 2>/dev/null || true
    fi
    do_stop "$dir"
    exit "$code"
  }
  trap 'do_stop "$dir"' EXIT
  trap 'on_signal INT 130' INT
  trap 'on_signal TERM 143' TERM
  trap 'on_signal HUP 129' HUP
  (do_start "$dir") || exit 1
  # Run CMD in the background so signals can be forwarded; keep our stdin for it.
  (
    trap - INT TERM HUP EXIT
    # shellcheck disable=SC1091
    source "$dir/env"
    exec "$@"
  ) <&0 &
  child=$!
  wait "$child" || status=$?
  # wait returns >128 when interrupted by a trapped signal; the trap handles that case.
  child=""
  exit "$status"
}

main() {
  local cmd=${1:-}
  case $cmd in
    start | stop)
      [[ $# -eq 2 && -n $2 ]] || {
        usage >&2
        exit 2
      }
      local dir
      dir=$(abspath "$2")
      if [[ $cmd == start ]]; then
        do_start "$dir"
      else
        do_stop "$dir"
      fi
      ;;
    run)
      shift
      [[ ${1:-} == -- ]] && shift
      do_run "$@"
      ;;
    -h | --help | help)
      usage
      ;;
    *)
      usage >&2
      exit 2
      ;;
  esac
}

main "$@"
