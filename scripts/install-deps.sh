#!/usr/bin/env bash
# Installs the Debian packages that building, running, testing or fuzzing sysaudio needs, when any
# of them is missing. Usage: install-deps.sh build|run|test|fuzz|package
set -euo pipefail

build_packages=(g++ cmake make pkg-config libpipewire-0.3-dev python3)
run_packages=(pipewire pipewire-bin wireplumber pipewire-pulse dbus-daemon coreutils)
test_packages=(libgtest-dev libbenchmark-dev pulseaudio-utils sox python3 python3-numpy nodejs
  node-typescript groff-base)
fuzz_packages=(clang libclang-rt-14-dev)
package_packages=(dpkg-dev lintian mmdebstrap python3)

case "${1:-}" in
  build) wanted=("${build_packages[@]}") ;;
  run) wanted=("${build_packages[@]}" "${run_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${run_packages[@]}" "${test_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  package) wanted=("${build_packages[@]}" "${package_packages[@]}") ;;
  *)
    echo "usage: $0 build|run|test|fuzz|package" >&2
    exit 2
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
