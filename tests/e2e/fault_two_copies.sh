#!/usr/bin/env bash
# Two copies of the program save into the same log at once: only whole
# lines, and none lost.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
start_app "$WORK/app"
A=$WID
type_into 2 "copyA"
start_app "$WORK/app"
B=$WID
xdotool windowmove --sync "$B" 0 250
WID=$B
type_into 2 "copyB"
n=60
for _ in $(seq $n); do
    xdotool mousemove --window "$A" "${SAVE[@]}" click 1 mousemove --window "$B" "${SAVE[@]}" click 1
done
settle 1.5
mapfile -t lines < <(log_lines "$WORK/app/Tavrelo.txt")
[ "${#lines[@]}" -eq $((2 * n)) ] || fail "expected $((2 * n)) records, found ${#lines[@]}"
for l in "${lines[@]}"; do
    [[ "$l" =~ ^[^,]*,\ \ [^,]*,\ \ copy[AB],\ \ ,\ \ ,\ \ ,\ \ ,\ \ $ ]] || fail "torn record: '$l'"
done
[ "$(printf '%s\n' "${lines[@]}" | grep -c copyA)" -eq $n ] || fail "records of copy A lost"
pass "two copies saving at once: $((2 * n)) whole records"
