#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds Tavrelo for arm64 (the Raspberry Pi's 64-bit Debian) with
# Debian's cross compiler and the arm64 Qt packages, then runs the unit tests
# under qemu-user-static. Installs what is missing (multiarch arm64).
#   bash scripts/cross-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "run this as root, or install sudo" >&2; exit 1; }
    sudo="sudo"
fi
dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64
need_packages crossbuild-essential-arm64 qemu-user-static qt6-base-dev:arm64 qt6-base-dev-tools \
    cmake fonts-liberation file

cat >build-arm64.toolchain.cmake <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/lib/aarch64-linux-gnu /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static;-L;/usr/aarch64-linux-gnu)
# Qt's build tools (moc, rcc) run on this machine.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
TOOLCHAIN
mv build-arm64.toolchain.cmake "${TMPDIR:-/tmp}/tavrelo-arm64.toolchain.cmake"
start=$(date +%s)
cmake -S . -B build-arm64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="${TMPDIR:-/tmp}/tavrelo-arm64.toolchain.cmake" \
    -DCMAKE_PREFIX_PATH=/usr/lib/aarch64-linux-gnu/cmake >/dev/null
cmake --build build-arm64 -j"$(nproc)"
file build-arm64/tavrelo | grep -q aarch64 || { echo "build-arm64/tavrelo is not an arm64 program"; exit 1; }
grep -rq immintrin build-arm64/history/CMakeFiles 2>/dev/null && { echo "an x86 header in the arm64 build"; exit 1; }
echo "arm64 build: $(($(date +%s) - start)) s"

# The arm64 programs at work under qemu: the history lookup (the portable
# search, no x86 code) and the ADIF export on a generated log, each compared
# with the same program built for this machine when there is one.
qemu=(qemu-aarch64-static -L /usr/aarch64-linux-gnu)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${qemu[@]}" build-arm64/bench/gen_log "$work/Tavrelo.txt" 20000 7 >/dev/null
printf '2026-Dec-07,  12:00:00,  20m,  DL1M\xc3\x9cL,  J\xc3\xb6rg,  K\xc3\xb6ln,  59,  59\r\n' >>"$work/Tavrelo.txt"
status=0
for text in ZZ9ZZ HAM ",  5" "m\xc3\xbcl"; do
    text=$(printf "$text")
    arm=$("${qemu[@]}" build-arm64/bench/lookup_bench "$work/Tavrelo.txt" "$text" 1 | sed -n 's/^matches: //p')
    line="lookup \"$text\" on arm64: $arm matches"
    if [ -x build/bench/lookup_bench ]; then
        here=$(build/bench/lookup_bench "$work/Tavrelo.txt" "$text" 1 | sed -n 's/^matches: //p')
        line+=", here: $here"
        [ "$arm" = "$here" ] || { line+="  FAIL"; status=1; }
    fi
    echo "$line"
done
arm=$("${qemu[@]}" build-arm64/tavrelo-adif "$work/Tavrelo.txt" --mode CW 2>/dev/null | sed 1,6d | md5sum)
if [ -x build/tavrelo-adif ]; then
    here=$(build/tavrelo-adif "$work/Tavrelo.txt" --mode CW 2>/dev/null | sed 1,6d | md5sum)
    [ "$arm" = "$here" ] && echo "ADIF export on arm64: the same bytes as here" ||
        { echo "FAIL: the ADIF export differs on arm64"; status=1; }
fi

# The unit tests under qemu.
export QT_QPA_PLATFORM=offscreen QTEST_DISABLE_STACK_DUMP=1
# Some machines' qemu-user cannot start a thread at all (this one's, with
# qemu 7.2 and 10.0 alike: a ten-line std::thread program hangs), nor a
# child process through QProcess. There the test programs that start no
# thread are run, under strace (QtTest starts a watchdog thread unless a
# debugger is attached, and a tracer counts as one), without their test
# functions that start one of the programs.
cat >"$work/probe.cpp" <<'PROBE'
#include <thread>
int main() { std::thread([] {}).join(); }
PROBE
aarch64-linux-gnu-g++ -pthread "$work/probe.cpp" -o "$work/probe"
if timeout -s KILL 20 "${qemu[@]}" "$work/probe"; then
    ctest --test-dir build-arm64 -L unit --timeout 600 -j"$(nproc)" ||
        { echo "FAIL: unit tests under qemu (see above)"; status=1; }
else
    need_packages strace
    echo "qemu-user here cannot start a thread: the tests that start none run, under strace"
    declare -A leave_out=(
        [tst_adif]="command outputThatIsTheLogIsRefused exportLeavesNothingBehind commandWritesFileWhole"
        [tst_import]="command killedMidwayLeavesTheLogAsItWas"
        [tst_logfile]="concurrentAppendsStayWhole")
    run() { (cd build-arm64/tests && timeout -s KILL 600 strace -f -o /dev/null "${qemu[@]}" "$@"); }
    for t in tst_clock tst_history tst_adif tst_import tst_logfile; do
        functions=()
        for f in $(run "./$t" -functions | sed -n 's/()$//p'); do
            [[ " ${leave_out[$t]:-} " == *" $f "* ]] || functions+=("$f")
        done
        if run "./$t" "${functions[@]}" >"$work/$t.log" 2>&1; then
            echo "arm64 $t: $(grep '^Totals' "$work/$t.log")${leave_out[$t]:+ (left out: ${leave_out[$t]})}"
        else
            echo "FAIL: arm64 $t:"; grep -E '^(FAIL|Totals)' -A2 "$work/$t.log"; status=1
        fi
    done
    echo "not run here, as they start threads: tst_window, tst_platform, tst_wsjtx"
fi
echo "arm64 build and checks under qemu: $(($(date +%s) - start)) s"
exit $status
