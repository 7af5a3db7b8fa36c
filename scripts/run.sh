#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets Tavrelo up on a Debian 12 machine and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Without a display, tavrelo says so itself.
exec build/tavrelo
