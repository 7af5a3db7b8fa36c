#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# kill -9 in the middle of a burst of saves: the log holds only whole
# records, in the order made, one for each save the program made (the save
# cut short by the kill may or may not have reached the disk).
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
start_app "$WORK/app" counted app
(
    for i in $(seq 1 200); do
        type_into 3 "K$i" 2>/dev/null || exit 0
        xdotool mousemove --window "$WID" "${SAVE[@]}" click 1 2>/dev/null || exit 0
    done
) &
burst=$!
sleep "$(awk -v r=$RANDOM 'BEGIN {printf "%.2f", 2 + r % 200 / 100}')"
kill -9 "$APP_PID"
wait "$APP_PID" 2>/dev/null || true
kill "$burst" 2>/dev/null || true
wait "$burst" 2>/dev/null || true

mapfile -t lines < <(log_lines "$WORK/app/Tavrelo.txt")
made=$(saves app)
[ "${#lines[@]}" -gt 0 ] || fail "no record was saved before the kill"
[ "${#lines[@]}" -eq "$made" ] || [ "${#lines[@]}" -eq $((made - 1)) ] ||
    fail "$made saves made, but ${#lines[@]} records in the log"
previous=0
for line in "${lines[@]}"; do
    [[ "$line" =~ ^[^,]*,\ \ [^,]*,\ \ ,\ \ K([0-9]+),\ \ ,\ \ ,\ \ ,\ \ $ ]] ||
        fail "record not whole: '$line'"
    [ "${BASH_REMATCH[1]}" -gt "$previous" ] || fail "record out of order: '$line'"
    previous=${BASH_REMATCH[1]}
done
pass "kill -9 after $made saves: ${#lines[@]} records, every one whole and in order"
