#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Tavrelo needs that are missing, then builds it.
#   scripts/setup.sh              what the three programs need, and the three programs
#   scripts/setup.sh --tests      the test tools too, and every test and benchmark
#   scripts/setup.sh --sanitize   as --tests, and build-asan/ (clang, AddressSanitizer, UBSan)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
need_packages cmake make g++ qt6-base-dev tzdata xdg-utils hamradio-files
jobs=$(nproc)
if [ $# -eq 0 ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$jobs" --target tavrelo tavrelo-adif tavrelo-wsjtx
    exit 0
fi

need_packages fonts-liberation time xvfb xdotool xclip dpkg-dev lintian desktop-file-utils \
    appstream libhamlib-utils syncthing curl python3-fusepy fuse3 python3-pyatspi at-spi2-core \
    dbus clang procps orca speech-dispatcher trustedqsl
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "$1" = "--sanitize" ]; then
    # The second build is clang's, so that both compilers keep the code
    # free of warnings.
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRELO_SANITIZE=ON \
        -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build build-asan -j"$jobs"
fi
