#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Tavrelo needs that are missing, then builds it.
# Usage: scripts/setup.sh [--sanitize]   (the second builds build-asan/ as well)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
need_packages cmake make g++ qt6-base-dev fonts-liberation tzdata time xvfb xdotool xclip \
    dpkg-dev lintian desktop-file-utils appstream xdg-utils libhamlib-utils syncthing curl python3-fusepy fuse3 \
    python3-pyatspi at-spi2-core dbus

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${1:-}" = "--sanitize" ]; then
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRELO_SANITIZE=ON >/dev/null
    cmake --build build-asan -j"$jobs"
fi
