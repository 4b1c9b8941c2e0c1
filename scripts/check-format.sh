#!/usr/bin/env bash
# Fails when a C++ or Objective-C++ source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if ! command -v clang-format >/dev/null; then
  sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends clang-format
fi
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.mm')
clang-format --dry-run --Werror "${sources[@]}"
