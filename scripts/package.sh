#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package, build/tavrelo_<version>_<arch>.deb, from a
# fresh clone: installs what the build and cpack need, builds, packs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/packages.sh
need_packages dpkg-dev
cmake --build build -j"$(nproc)"
(cd build && cpack -G DEB)
