#!/usr/bin/env bash
# Installs the Debian packages that building, running, testing or fuzzing sysaudio needs, or that
# the fresh-machine and package checks need on their host, when any of them is missing. The
# packages are those of scripts/packages.sh.
# Usage: install-deps.sh build|run|test|fuzz|fresh-root|package
set -euo pipefail

# shellcheck source=scripts/packages.sh
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

case "${1:-}" in
  build) sets=(build) ;;
  run) sets=(build run) ;;
  test) sets=(build run test) ;;
  fuzz) sets=(build fuzz) ;;
  fresh-root) sets=(fresh-root) ;;
  package) sets=(build package fresh-root) ;;
  *)
    echo "usage: $0 build|run|test|fuzz|fresh-root|package" >&2
    exit 2
    ;;
esac
mapfile -t wanted < <(sysaudio_packages "${sets[@]}")

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
