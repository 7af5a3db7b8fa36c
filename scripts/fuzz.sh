#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [SECONDS_EACH]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages clang libclang-rt-14-dev cmake make qt6-base-dev
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTAVRELO_FUZZ=ON -Dfuzz_seconds="${1:-60}" >/dev/null
cmake --build build-fuzz -j"$(nproc)"
cd build-fuzz && ctest -L fuzz --output-on-failure -j"$(nproc)"
