#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Start-up: a missing log is created beside the executable; an existing log
# is left byte for byte.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/fresh"
start_app "$WORK/fresh"
[ -f "$WORK/fresh/Tavrelo.txt" ] || fail "no log created beside the executable"
[ ! -s "$WORK/fresh/Tavrelo.txt" ] || fail "the new log is not empty"
expect_geometry "$COLLAPSED"
pass "missing log created empty; window opens collapsed"

mkdir "$WORK/existing"
printf '2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  M\xfcller,  K\xf6ln,  599,  579\r\nhand edit, no end' \
    >"$WORK/existing/Tavrelo.txt"
cp "$WORK/existing/Tavrelo.txt" "$WORK/before"
start_app "$WORK/existing"
settle 1.2 # past the first clock tick
cmp -s "$WORK/before" "$WORK/existing/Tavrelo.txt" || fail "start-up changed an existing log"
pass "existing log left byte for byte"

# Without a usable display the program says so itself and ends with exit
# status 1, whatever QT_QPA_PLATFORM names; Qt's own abort never shows.
for setting in "-u DISPLAY QT_QPA_PLATFORM=xcb" "DISPLAY=:65000 QT_QPA_PLATFORM=xcb" \
    "-u DISPLAY -u QT_QPA_PLATFORM"; do
    rc=0
    # shellcheck disable=SC2086
    out=$(env -u WAYLAND_DISPLAY $setting "$WORK/fresh/tavrelo" 2>&1) || rc=$?
    [ "$rc" -eq 1 ] || fail "with $setting the exit status is $rc: $out"
    [[ "$out" == *"graphical display"*"Start Tavrelo from a desktop session."* ]] ||
        fail "with $setting it said: $out"
done
pass "no usable display: the program's own message and exit status 1"
