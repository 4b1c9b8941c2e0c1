# shellcheck shell=bash
# The Debian packages that building, running, testing and fuzzing sysaudio need, each with the
# commands the scripts and tests run from it. install-deps.sh installs a set's packages from here
# and audio-session.sh looks for the run set's commands here before it starts a session, so what
# is installed and what is used cannot drift apart. Sourced, not run.

# One line a package: its set, the package, then the commands run from it (none for libraries).
# A package may stand in more than one set, with the commands that set runs from it.
#   build       compiling and linking sysaudio
#   run         scripts/run.sh after the build: the checks it makes and the private audio session
#   test        the tests, the soak and the benchmarks, beyond build and run
#   fuzz        the fuzz targets, beyond build
#   fresh-root  the host side of scripts/fresh-machine-check.sh (scripts/fresh-root.sh)
#   package     building and checking the Debian package (scripts/package-check.sh), beyond build
sysaudio_package_table() {
  cat <<'EOF'
build       g++                   g++
build       cmake                 cmake
build       make                  make
build       pkg-config            pkg-config
build       libpipewire-0.3-dev
build       python3               python3
run         pipewire              pipewire
run         pipewire-bin          pw-cli pw-dump pw-metadata
run         wireplumber           wireplumber
run         pipewire-pulse        pipewire-pulse
run         pulseaudio-utils      pactl
run         dbus-daemon           dbus-daemon
run         coreutils             timeout
run         util-linux            setsid
test        pipewire-bin          pw-play pw-link pw-mon pw-record
test        pulseaudio-utils      paplay parec
test        libgtest-dev
test        libbenchmark-dev
test        sox                   sox
test        python3               python3
test        python3-numpy
test        nodejs                node
test        node-typescript       tsc
test        groff-base            groff
fuzz        clang                 clang clang++
fuzz        libclang-rt-14-dev
fresh-root  mmdebstrap            mmdebstrap
fresh-root  mount                 mount umount
fresh-root  gpg                   gpg
fresh-root  git                   git
package     dpkg-dev              dpkg-buildflags dpkg-shlibdeps
package     lintian               lintian
EOF
}

# sysaudio_packages SET...: the packages of the named sets, each once, in the table's order.
sysaudio_packages() {
  local set package commands seen=" "
  while read -r set package commands; do
    _sysaudio_set_named "$set" "$@" || continue
    [[ $seen == *" $package "* ]] && continue
    seen+="$package "
    echo "$package"
  done < <(sysaudio_package_table)
}

# sysaudio_commands SET...: "command package" lines for the commands of the named sets.
sysaudio_commands() {
  local set package commands command
  while read -r set package commands; do
    _sysaudio_set_named "$set" "$@" || continue
    for command in $commands; do
      echo "$command $package"
    done
  done < <(sysaudio_package_table)
}

_sysaudio_set_named() {
  local set=$1 name
  shift
  for name in "$@"; do
    [[ $name == "$set" ]] && return 0
  done
  return 1
}
