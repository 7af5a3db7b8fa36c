#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Tavrelo needs that are missing, then builds it.
# Usage: scripts/setup.sh [--sanitize]   (the second builds build-asan/ as well)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ qt6-base-dev fonts-liberation tzdata time xvfb xdotool xclip
    dpkg-dev lintian desktop-file-utils appstream)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${1:-}" = "--sanitize" ]; then
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRELO_SANITIZE=ON >/dev/null
    cmake --build build-asan -j"$jobs"
fi
