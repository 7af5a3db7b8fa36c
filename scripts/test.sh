#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets Tavrelo up on a Debian 12 machine with its test tools and runs every
# test: once on the normal build (g++), once on the build with
# AddressSanitizer and UBSan (clang).
#
# The tests are sealed from the computer they run on: each starts the
# services it uses on ports and folders of its own. To show it, a rigctld
# like an operator's own listens on its usual port, 4532, for the whole run
# (when nothing else does), and after the run nothing the tests started may
# still be running.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --sanitize
export QT_QPA_PLATFORM=offscreen

# Process names as ps gives them: cut to 15 characters.
watched='Xvfb|tavrelo|tavrelo-adif|tavrelo-wsjtx|dbus-daemon|dbus-run-sessio|at-spi-bus-laun|at-spi2-registr|syncthing|rigctld|orca|speech-dispatch'
ours() { ps -eo pid=,comm= | awk -v re="^($watched)\$" '$2 ~ re {print $1}' | sort; }
leftovers() { ls -d /tmp/tavrelo-e2e* /tmp/runtime-tavrelo-e2e /tmp/tst_* /tmp/ci_wavelog* 2>/dev/null | sort || true; }
before=$(ours)
files_before=$(leftovers)

operators_rig=""
if ! (exec 3<>/dev/tcp/127.0.0.1/4532) 2>/dev/null; then
    rigctld -m 1 -T 127.0.0.1 -t 4532 &
    operators_rig=$!
    for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/4532) 2>/dev/null && break; sleep 0.1; done
    # Tuned where an operator on 40 m FT8 would be.
    printf 'F 7074000\n' | timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/4532; cat >&3; head -1 <&3' >/dev/null || true
fi
stop_rig() { [ -z "$operators_rig" ] || { kill "$operators_rig" 2>/dev/null; wait "$operators_rig" 2>/dev/null || true; }; }
trap stop_rig EXIT

status=0
echo "== Tests (build/, g++)"
ctest --test-dir build --output-on-failure -j"$(nproc)" || status=1
echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/, clang)"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$(nproc)" || status=1

stop_rig
operators_rig=""
sleep 0.5
left=$(comm -13 <(echo "$before") <(ours) | paste -sd, -)
if [ -n "$left" ]; then
    echo "FAIL: the tests left these running:" >&2
    ps -o pid=,args= -p "$left" >&2 || true
    status=1
fi
for path in $(comm -13 <(echo "$files_before") <(leftovers)); do
    echo "FAIL: the tests left $path behind" >&2
    status=1
done
exit $status
