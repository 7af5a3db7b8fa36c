#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds Tavrelo for arm64 (the Raspberry Pi's 64-bit Debian) with
# Debian's cross compiler and the arm64 Qt packages, then runs the unit tests
# under qemu-user-static. Installs what is missing (multiarch arm64).
#   bash scripts/cross-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
packages=(crossbuild-essential-arm64 qemu-user-static qt6-base-dev:arm64 qt6-base-dev-tools cmake
    fonts-liberation)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

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
QT_QPA_PLATFORM=offscreen ctest --test-dir build-arm64 -L unit --output-on-failure -j"$(nproc)"
echo "arm64 build and unit tests under qemu: $(($(date +%s) - start)) s"
