#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Two copies of the program save into the same log at once: only whole
# lines, and none lost. The save counter tells how many saves each copy
# really made.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
start_app "$WORK/app" counted A
A=$WID
type_into 2 "copyA"
start_app "$WORK/app" counted B
B=$WID
xdotool windowmove --sync "$B" 0 250
WID=$B
type_into 2 "copyB"
n=60
for _ in $(seq $n); do
    xdotool mousemove --window "$A" "${SAVE[@]}" click 1 mousemove --window "$B" "${SAVE[@]}" click 1
done
# Each save waits for the disk, so a slow (sanitizer) build can lag the
# clicks by many seconds: wait until both copies have been quiet for 2 s.
last="" quiet=0
for _ in $(seq 240); do
    now="$(saves A) $(saves B) $(tr -cd '\n' <"$WORK/app/Tavrelo.txt" | wc -c)"
    if [ "$now" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; fi
    [ $quiet -ge 4 ] && break
    last=$now
    sleep 0.5
done
a=$(saves A) b=$(saves B)
mapfile -t lines < <(log_lines "$WORK/app/Tavrelo.txt")
message_showing && fail "an error message is showing"
[ $((a + b)) -ge $((2 * n * 9 / 10)) ] || fail "only $a + $b of $((2 * n)) clicks reached the programs"
[ "${#lines[@]}" -eq $((a + b)) ] || fail "$a + $b saves made, but ${#lines[@]} records in the log"
for l in "${lines[@]}"; do
    [[ "$l" =~ ^[^,]*,\ \ [^,]*,\ \ copy[AB],\ \ ,\ \ ,\ \ ,\ \ ,\ \ $ ]] || fail "torn record: '$l'"
done
[ "$(printf '%s\n' "${lines[@]}" | grep -c copyA)" -eq "$a" ] || fail "records of copy A lost"
pass "two copies saving at once: $a + $b saves, $((a + b)) whole records"
