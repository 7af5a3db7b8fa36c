#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the README's screenshot: tavrelo under Xvfb with a small sample log,
# a call with history typed into the Call box. Writes docs/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/tavrelo ] || bash scripts/setup.sh --tests
. scripts/packages.sh
need_packages imagemagick

work=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x400x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$work/display")" QT_QPA_PLATFORM=xcb

cp build/tavrelo "$work/"
cat >"$work/Tavrelo.txt" <<'LOG'
2025-Mar-14,  18:02:51,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579
2025-Jun-02,  07:41:09,  20m,  ZZ9QRP,  Anna,  Hamburg,  579,  589
2025-Aug-30,  20:15:33,  80m,  ZZ1AB,  Piet,  Utrecht,  599,  599
2026-Jan-11,  12:30:07,  20m,  ZZ9ZZ,  Hans,  Berlin,  589,  599
2026-Nov-28,  16:48:22,  15m,  ZZ9ZZ,  Hans,  Potsdam,  599,  599
LOG
sed -i 's/$/\r/' "$work/Tavrelo.txt"
"$work/tavrelo" --no-rig &
app=$!
wid=""
for _ in $(seq 100); do
    wid=$(xdotool search --onlyvisible --name '^Tavrelo$' 2>/dev/null | head -1 || true)
    [ -n "$wid" ] && break
    sleep 0.05
done
xdotool windowfocus --sync "$wid"
sleep 1.2
xdotool mousemove --window "$wid" 227 49 click 1 type 40m
xdotool mousemove --window "$wid" 308 49 click 1 type --delay 80 ZZ9ZZ
sleep 0.5
import -window "$wid" docs/screenshot.png
kill "$app"
echo "wrote docs/screenshot.png"
