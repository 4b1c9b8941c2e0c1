# shellcheck shell=bash
# Brand-new Debian 12 roots, for the checks that try the project as a newcomer's machine would.
# Sourced, not run:
#
#   source scripts/fresh-root.sh
#   fresh_root_require          exits 1 with "fresh-root: error: ..." on stderr unless running as
#                               root with mmdebstrap (and the other tools below) installed
#   fresh_root_make DIR         makes DIR (new, or an empty directory) a brand-new Debian 12 root,
#                               as made by
#                                 mmdebstrap --variant=apt --include=ca-certificates,git bookworm
#                               from a base tarball built once per run and cached in
#                               $FRESH_ROOT_CACHE (default: /var/tmp/sysaudio-fresh-root; a cached
#                               tarball older than a day is built anew); binds /proc, /sys, /dev
#                               and /dev/pts into it and copies the host's /etc/resolv.conf.
#                               Registers cleanup: however the calling script ends (error, signal,
#                               normal exit), the processes left in DIR are ended, what was mounted
#                               is unmounted and DIR is removed.
#   fresh_root_run DIR CMD      runs the bash command line CMD as root inside DIR, in /root, in a
#                               login shell with a clean environment and every signal at its
#                               default; standard input, output and error are the caller's;
#                               returns CMD's status
#   fresh_root_clone DIR REPO   clones the git repository REPO (its committed HEAD) to
#                               DIR/root/sysaudio
#
# The library owns the EXIT, INT, TERM and HUP traps of the shell that sources it: a caller keeps
# what it wants to outlive the run outside DIR and needs no cleanup of its own inside it. A signal
# ends the caller with 128 + its number, after the cleanup.

_FRESH_ROOT_SUITE=bookworm
_FRESH_ROOT_VARIANT=apt
_FRESH_ROOT_INCLUDE=ca-certificates,git
_FRESH_ROOT_MAX_AGE_MINUTES=1440
# Roots made by this shell, and the mount points made in them, in the order they were made.
_fresh_root_dirs=()
_fresh_root_mounts=()
# The base tarball, once found or built; while it is built, the mmdebstrap building it, the file
# it writes and its temporary folder.
_fresh_root_tarball=""
_fresh_root_builder=""
_fresh_root_partial=""
_fresh_root_build_tmp=""

_fresh_root_error() { echo "fresh-root: error: $*" >&2; }
_fresh_root_note() { echo "fresh-root: $*" >&2; }

fresh_root_require() {
  local command
  if [[ $(id -u) != 0 ]]; then
    _fresh_root_error "needs root to build, mount and chroot into a fresh root; run it as root"
    exit 1
  fi
  if ! command -v mmdebstrap >/dev/null; then
    _fresh_root_error "mmdebstrap not found; install it (scripts/install-deps.sh fresh-root)"
    exit 1
  fi
  for command in chroot mount umount findmnt tar flock git; do
    if ! command -v "$command" >/dev/null; then
      _fresh_root_error "$command not found; install it (scripts/install-deps.sh fresh-root)"
      exit 1
    fi
  done
}

fresh_root_make() {
  local dir=${1:-} point
  if [[ -z $dir || $# -ne 1 ]]; then
    _fresh_root_error "usage: fresh_root_make DIR"
    return 2
  fi
  if [[ -e $dir && (! -d $dir || -n $(ls -A -- "$dir")) ]]; then
    _fresh_root_error "$dir exists and is not an empty directory"
    return 1
  fi
  mkdir -p -- "$dir"
  dir=$(realpath -- "$dir")
  if [[ $dir == / ]]; then
    _fresh_root_error "refusing to make / a fresh root"
    return 1
  fi
  _fresh_root_dirs+=("$dir")
  trap '_fresh_root_on_exit' EXIT
  trap '_fresh_root_on_signal 130' INT
  trap '_fresh_root_on_signal 143' TERM
  trap '_fresh_root_on_signal 129' HUP

  _fresh_root_base || return 1
  tar -C "$dir" --numeric-owner -xpf "$_fresh_root_tarball" || {
    _fresh_root_error "could not unpack $_fresh_root_tarball into $dir"
    return 1
  }
  rm -f -- "$dir/etc/resolv.conf"
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
  # The root a mount point of its own, as / is on a real machine: `unshare --mount-proc`, which
  # the tests use for pid namespaces, changes the propagation of / and fails on anything else.
  mount --bind "$dir" "$dir" || {
    _fresh_root_error "could not bind $dir onto itself"
    return 1
  }
  _fresh_root_mounts+=("$dir")
  mount --make-rprivate "$dir"
  for point in proc sys dev dev/pts; do
    mount --bind "/$point" "$dir/$point" || {
      _fresh_root_error "could not bind /$point into $dir"
      return 1
    }
    _fresh_root_mounts+=("$dir/$point")
    # Nothing mounted or unmounted under the root may reach the host's own trees.
    mount --make-rprivate "$dir/$point"
  done
}

fresh_root_run() {
  local dir=${1:-} cmd=${2:-} pid status
  if [[ -z $dir || -z $cmd || $# -ne 2 ]]; then
    _fresh_root_error "usage: fresh_root_run DIR CMD"
    return 2
  fi
  local env=(HOME=/root USER=root LOGNAME=root SHELL=/bin/bash LANG=C.UTF-8
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  [[ -n ${TERM:-} ]] && env+=("TERM=$TERM")
  # In the background so that a signal to the caller is handled at once, not when CMD ends; a
  # background command starts with SIGINT ignored, which --default-signal undoes inside.
  chroot "$dir" /usr/bin/env --default-signal -i -C /root "${env[@]}" /bin/bash -l -c "$cmd" \
    <&0 &
  pid=$!
  while :; do
    status=0
    wait "$pid" || status=$?
    # wait also returns when a trapped signal arrives; CMD may still be running then.
    ((status != 127)) && kill -0 "$pid" 2>/dev/null && continue
    return "$status"
  done
}

fresh_root_clone() {
  local dir=${1:-} repo=${2:-} head cloned
  if [[ -z $dir || -z $repo || $# -ne 2 ]]; then
    _fresh_root_error "usage: fresh_root_clone DIR REPO"
    return 2
  fi
  head=$(git -C "$repo" rev-parse --verify HEAD) || {
    _fresh_root_error "$repo is not a git repository with a commit"
    return 1
  }
  git -c advice.detachedHead=false clone --quiet --no-hardlinks -- "$repo" "$dir/root/sysaudio" \
    || {
      _fresh_root_error "could not clone $repo into $dir/root/sysaudio"
      return 1
    }
  cloned=$(git -C "$dir/root/sysaudio" rev-parse HEAD)
  if [[ $cloned != "$head" ]]; then
    _fresh_root_error "the clone of $repo checked out $cloned, not its HEAD $head"
    return 1
  fi
}

# Sets _fresh_root_tarball to the base tarball, building it first when the cache has none young
# enough. Builds are serialised by a lock, so that checks running side by side build it once.
# Not in a subshell: the trap must see the builder, and a signal must not wait for the build.
_fresh_root_base() {
  local cache=${FRESH_ROOT_CACHE:-/var/tmp/sysaudio-fresh-root} tarball log lock start status
  tarball="$cache/$_FRESH_ROOT_SUITE-$_FRESH_ROOT_VARIANT-${_FRESH_ROOT_INCLUDE//,/-}.tar"
  mkdir -p -- "$cache" || return 1
  exec {lock}>"$cache/lock"
  flock "$lock"
  if [[ -s $tarball && -z $(find "$tarball" -mmin +"$_FRESH_ROOT_MAX_AGE_MINUTES") ]]; then
    exec {lock}>&-
    _fresh_root_note "base root from the cache: $tarball"
    _fresh_root_tarball=$tarball
    return 0
  fi
  log="$cache/mmdebstrap.log"
  _fresh_root_note "building the base root (mmdebstrap, once per run) in $tarball"
  start=$SECONDS
  # mmdebstrap's own temporary files go to a folder of this build, removed however it ends.
  _fresh_root_build_tmp=$(mktemp -d "$cache/build.XXXXXX")
  _fresh_root_partial="$tarball.partial"
  # In the background, in a process group of its own, and waited for, so that a signal reaches the
  # trap at once; the cleanup then stops mmdebstrap's whole group, as Ctrl-C would, and it
  # unmounts what it mounted itself.
  local -
  set -m
  TMPDIR=$_fresh_root_build_tmp mmdebstrap --quiet --format=tar \
    --variant="$_FRESH_ROOT_VARIANT" --include="$_FRESH_ROOT_INCLUDE" "$_FRESH_ROOT_SUITE" \
    "$_fresh_root_partial" </dev/null >"$log" 2>&1 &
  _fresh_root_builder=$!
  set +m
  status=0
  wait "$_fresh_root_builder" || status=$?
  _fresh_root_builder=""
  if ((status == 0)); then
    mv -- "$_fresh_root_partial" "$tarball"
  fi
  _fresh_root_end_build
  exec {lock}>&-
  if ((status != 0)); then
    _fresh_root_error "mmdebstrap failed (status $status); the end of $log:"
    tail -n 20 "$log" >&2
    return 1
  fi
  _fresh_root_note "base root built in $((SECONDS - start)) s"
  _fresh_root_tarball=$tarball
}

# Stops a base build still running and removes what it leaves.
_fresh_root_end_build() {
  if [[ -n $_fresh_root_builder ]]; then
    kill -TERM -- "-$_fresh_root_builder" 2>/dev/null || true
    wait "$_fresh_root_builder" 2>/dev/null || true
    _fresh_root_builder=""
  fi
  if [[ -n $_fresh_root_partial ]]; then
    rm -f -- "$_fresh_root_partial"
    _fresh_root_partial=""
  fi
  if [[ -n $_fresh_root_build_tmp ]]; then
    _fresh_root_remove "$_fresh_root_build_tmp"
    _fresh_root_build_tmp=""
  fi
}

# Removes DIR unless something is still mounted in it.
_fresh_root_remove() {
  local dir=$1 left
  left=$(_fresh_root_mounts_under "$dir")
  if [[ -n $left ]]; then
    _fresh_root_error "still mounted, so $dir is left in place: $left"
    return 1
  fi
  rm -rf --one-file-system -- "$dir" || _fresh_root_error "could not remove $dir"
}

# The pids of the processes whose root directory is DIR or inside it. One find for them all: a
# readlink for each process takes seconds on a busy machine.
_fresh_root_pids_in() {
  local dir=$1 proc root
  while IFS=$'\t' read -r proc root; do
    proc=${proc#/proc/}
    [[ $proc =~ ^[0-9]+$ ]] || continue
    if [[ $root == "$dir" || $root == "$dir"/* ]]; then
      echo "$proc"
    fi
  done < <(find /proc -mindepth 2 -maxdepth 2 -name root -type l -printf '%h\t%l\n' 2>/dev/null)
}

# Ends every process left in DIR: TERM, up to 5 s to go, then KILL. Each process gets each signal
# once (a second TERM would break into its own cleanup); processes forked meanwhile get theirs as
# they are seen.
_fresh_root_end_processes() {
  local dir=$1 signal deadline pid pids signalled
  for signal in TERM KILL; do
    deadline=$((SECONDS + 5))
    signalled=" "
    while :; do
      mapfile -t pids < <(_fresh_root_pids_in "$dir")
      ((${#pids[@]} == 0)) && return 0
      ((SECONDS < deadline)) || break
      for pid in "${pids[@]}"; do
        [[ $signalled == *" $pid "* ]] && continue
        kill "-$signal" "$pid" 2>/dev/null || true
        signalled+="$pid "
      done
      sleep 0.2
    done
  done
  _fresh_root_error "processes still running in $dir: ${pids[*]}"
  return 1
}

# The mount points at or under DIR, deepest first.
_fresh_root_mounts_under() {
  local dir=$1
  findmnt --raw --noheadings --output TARGET | while IFS= read -r point; do
    # findmnt escapes blanks and the like as \xNN.
    point=$(printf '%b' "$point")
    if [[ $point == "$dir" || $point == "$dir"/* ]]; then
      echo "$point"
    fi
  done | sort -r
}

_fresh_root_cleanup() {
  local dir point i
  _fresh_root_end_build
  for dir in "${_fresh_root_dirs[@]}"; do
    _fresh_root_end_processes "$dir" || true
    for ((i = ${#_fresh_root_mounts[@]} - 1; i >= 0; i--)); do
      point=${_fresh_root_mounts[i]}
      [[ $point == "$dir" || $point == "$dir"/* ]] || continue
      umount -- "$point" 2>/dev/null || umount --lazy -- "$point" 2>/dev/null \
        || _fresh_root_error "could not unmount $point"
    done
    # Whatever was mounted inside the root besides the binds goes too.
    while IFS= read -r point; do
      umount --lazy -- "$point" 2>/dev/null || true
    done < <(_fresh_root_mounts_under "$dir")
    _fresh_root_remove "$dir" || true
  done
  _fresh_root_dirs=()
  _fresh_root_mounts=()
}

_fresh_root_on_exit() {
  local status=$?
  trap - EXIT INT TERM HUP
  _fresh_root_cleanup
  exit "$status"
}

_fresh_root_on_signal() {
  trap - EXIT INT TERM HUP
  _fresh_root_cleanup
  exit "$1"
}
