#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, and installs it with apt into a brand-new
# Debian 12 root, so that its Depends are resolved from Debian as on a user's machine. There it
# runs `sysaudio --version`, then a capture inside a private audio session while a tone plays,
# and checks that the tone arrives at its level. Needs root (for the new root) and Debian's
# package archive. Installs the Debian packages it needs on this machine when they are missing.
#
# Usage: scripts/package-check.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="$root/build-package"
rate=16000
capture_seconds=8
tone_seconds=3
tone_frequency=1000
tone_amplitude=0.5

say() { printf '\n== package-check: %s\n' "$*"; }
die() {
  printf 'package-check: error: %s\n' "$*" >&2
  exit 1
}

"$root/scripts/install-deps.sh" package

say "building the package"
# Debian's own compiler and linker flags, hardening included, as a package built by Debian's
# tools would have them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSYSAUDIO_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" >/dev/null
rm -f "$build_dir"/sysaudio_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
version=$("$build_dir/sysaudio" --version)
version=${version#sysaudio }
deb="$build_dir/sysaudio_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || die "cpack made no $deb: $(ls "$build_dir"/*.deb 2>&1)"
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb" | awk '{print $1, $6}'
depends=$(dpkg-deb --field "$deb" Depends)
# The libraries come from dpkg-shlibdeps, the server and session manager from the build's list.
for wanted in libc6 libpipewire-0.3-0 pipewire wireplumber; do
  tr ',|' '\n' <<<"$depends" | awk '{print $1}' | grep -qx "$wanted" ||
    die "Depends lacks $wanted: $depends"
done

say "lintian"
# Errors fail the check; warnings, informational and pedantic tags are shown.
lintian_status=0
lintian_report=$(lintian --display-info --pedantic --fail-on error "$deb" 2>&1) ||
  lintian_status=$?
grep -v '^running with root privileges is not recommended!$' <<<"$lintian_report" || true
[ "$lintian_status" -eq 0 ] || die "lintian reports errors"

say "a brand-new Debian 12 root"
# shellcheck source=fresh-root.sh
source "$root/scripts/fresh-root.sh"
fresh_root_require
new_root=$(mktemp -d /var/tmp/sysaudio-package-check.XXXXXX)
fresh_root_make "$new_root"

say "installing the package with apt, without Recommends"
cp "$deb" "$new_root/root/"
fresh_root_run "$new_root" "set -eo pipefail
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends ./${deb##*/} | tail -n 3
  test -f /usr/share/man/man1/sysaudio.1.gz
  test -f /usr/share/doc/sysaudio/copyright
  command -v pipewire wireplumber pw-play"

say "sysaudio --version in the new root"
installed_version=$(fresh_root_run "$new_root" "sysaudio --version")
echo "$installed_version"
[ "$installed_version" = "sysaudio $version" ] || die "expected 'sysaudio $version'"

say "a capture in a private audio session there"
# The session script's own needs (a bus, pactl, pipewire-pulse) are the test's, not the
# package's: the run set of the one package list.
# shellcheck source=scripts/packages.sh
session_packages=$(source "$root/scripts/packages.sh" && sysaudio_packages run | tr '\n' ' ')
fresh_root_run "$new_root" "set -o pipefail; DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
  --no-install-recommends $session_packages | tail -n 1"
cp "$root/scripts/audio-session.sh" "$root/scripts/packages.sh" "$new_root/root/"
python3 - "$new_root/root/tone.wav" "$tone_frequency" "$tone_amplitude" "$tone_seconds" <<'EOF'
import math, struct, sys, wave
path, frequency, amplitude, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
rate = 48000
frames = b"".join(
    struct.pack("<hh", *(2 * [round(32767 * amplitude * math.sin(2 * math.pi * frequency * n / rate))]))
    for n in range(int(seconds * rate)))
with wave.open(path, "wb") as file:
    file.setnchannels(2)
    file.setsampwidth(2)
    file.setframerate(rate)
    file.writeframes(frames)
EOF
cat >"$new_root/root/capture.sh" <<EOF
#!/bin/bash
# Runs inside the session: sysaudio read for $capture_seconds s by head, the tone played meanwhile.
set -u
{ sysaudio $rate 2>status.txt; echo \$? >sysaudio-status.txt; } |
  head -c $((rate * 4 * capture_seconds)) >capture.f32 &
for _ in \$(seq 200); do
  [ -s status.txt ] && break
  sleep 0.1
done
# sysaudio leaves out its parent's process tree, which this shell is: the player is started by
# a process that is gone before it plays, so it is no descendant of this shell.
setsid -f pw-play tone.wav
wait
EOF
chmod +x "$new_root/root/capture.sh"
fresh_root_run "$new_root" "timeout 300 ./audio-session.sh run -- ./capture.sh" ||
  die "the capture in the session failed"
status_line=$(cat "$new_root/root/status.txt")
sysaudio_status=$(cat "$new_root/root/sysaudio-status.txt")
echo "standard error: '$status_line', exit status $sysaudio_status"
[ "$status_line" = ready ] || die "expected the status line 'ready'"
# Ended by the broken pipe once head had read enough.
[ "$sysaudio_status" = 141 ] || die "expected sysaudio to end by SIGPIPE (141)"

python3 - "$new_root/root/capture.f32" "$rate" "$tone_frequency" "$tone_amplitude" \
  "$tone_seconds" "$capture_seconds" <<'EOF'
import array, math, sys
path, rate, frequency = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
amplitude, tone_seconds, capture_seconds = (float(value) for value in sys.argv[4:7])
samples = array.array("f")
with open(path, "rb") as file:
    samples.frombytes(file.read())
if len(samples) != rate * capture_seconds:
    sys.exit(f"captured {len(samples)} samples, expected {rate * capture_seconds}")
loud = [index for index, value in enumerate(samples) if abs(value) > amplitude / 10]
if not loud:
    sys.exit("the tone did not arrive: the capture is silent")
sounding = (loud[-1] - loud[0] + 1) / rate
# The tone's amplitude at its frequency over the middle of where it sounds.
middle = samples[loud[0] + rate // 10 : loud[-1] - rate // 10]
phase = 2 * math.pi * frequency / rate
real = sum(value * math.cos(phase * n) for n, value in enumerate(middle))
imaginary = sum(value * math.sin(phase * n) for n, value in enumerate(middle))
measured = 2 * math.hypot(real, imaginary) / max(len(middle), 1)
print(f"tone: {sounding:.2f} s of sound (played {tone_seconds:.2f} s), "
      f"amplitude {measured:.4f} at {frequency:.0f} Hz (played {amplitude:.4f})")
if abs(sounding - tone_seconds) > 0.25 * tone_seconds:
    sys.exit("the tone's length is wrong")
if abs(measured - amplitude) > 0.02 * amplitude:
    sys.exit("the tone's level is wrong")
EOF

say "passed"
