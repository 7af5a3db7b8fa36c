#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets Tavrelo up on a Debian 12 machine and runs every test: once on the
# normal build, once on the build with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --sanitize
export QT_QPA_PLATFORM=offscreen
status=0
echo "== Tests (build/)"
ctest --test-dir build --output-on-failure -j"$(nproc)" || status=1
echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$(nproc)" || status=1
exit $status
