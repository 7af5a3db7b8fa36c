#!/usr/bin/env bash
# Sets Tavrelo up on a Debian 12 machine and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Tavrelo is built (build/tavrelo), but there is no graphical display to show it on." >&2
    echo "Run this from a desktop session, or over ssh -X." >&2
    exit 1
fi
exec build/tavrelo
