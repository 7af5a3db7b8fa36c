#!/usr/bin/env bash
# kill -9 in the middle of a burst of saves: the log holds only whole
# records, one for each save in the order made, with no gap.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
start_app "$WORK/app"
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
[ "${#lines[@]}" -gt 0 ] || fail "no record was saved before the kill"
for i in "${!lines[@]}"; do
    [[ "${lines[$i]}" =~ ^[^,]*,\ \ [^,]*,\ \ ,\ \ K$((i + 1)),\ \ ,\ \ ,\ \ ,\ \ $ ]] ||
        fail "record $((i + 1)) is not whole or out of order: '${lines[$i]}'"
done
pass "kill -9 after ${#lines[@]} saves: every record whole and in order"
