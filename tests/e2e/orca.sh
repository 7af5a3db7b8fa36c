#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real screen reader: Debian's Orca reads the window on a private
# session and accessibility bus, its speech going nowhere (no audio here)
# but into its debug log, which the test reads. On the first Tab pass after
# start Orca names every box; while the focus sits in UTC it does not read
# the clock aloud each second.
if [ -z "${TAVRELO_A11Y_BUS:-}" ]; then
    command -v dbus-run-session >/dev/null || { echo "FAIL: dbus-run-session is missing (scripts/setup.sh --tests installs dbus)" >&2; exit 1; }
    exec env TAVRELO_A11Y_BUS=1 dbus-run-session -- bash "$0" "$@"
fi
. "$(dirname "$0")/lib.sh"
command -v orca >/dev/null || fail "orca is not installed (scripts/setup.sh --tests installs it)"
[ -x /usr/libexec/at-spi-bus-launcher ] || fail "at-spi2-core is not installed (scripts/setup.sh --tests installs it)"
# Orca's settings in a folder of the test's own (lib.sh gives it its own
# home, runtime and cache folders).
mkdir -m 700 "$WORK/prefs"
setsid /usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/a11y.log" 2>&1 &
APPS+=("-$!")
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0

mkdir "$WORK/app"
start_app "$WORK/app"
setsid orca --replace -u "$WORK/prefs" --debug-file "$WORK/orca.log" >"$WORK/orca.out" 2>&1 &
ORCA=$!
APPS+=("-$ORCA")
# Orca writes its log through a buffer: what it said is read once it has
# ended, each line with its time.
now() { date +%H:%M:%S.%N | cut -c1-15; }
sleep 6
click "${SAVE[@]}"
sleep 2
# The first Tab pass, a box a second; then back to UTC, and a few seconds
# there.
marks=()
for box in Date UTC Band Call Name QTH RSTs RSTr; do
    marks+=("$(now) $box")
    xdotool key --window "$WID" Tab
    sleep 1
done
# Back a key at a time, as a person presses them: Orca falls behind keys
# sent at once.
back=$(now)
for _ in 1 2 3 4 5 6; do
    xdotool key --window "$WID" shift+Tab
    sleep 0.4
done
sleep 4.5
# On through the boxes: Orca writes its log through a buffer, and what
# it says of them pushes the dwell's part out to the file, should Orca not
# end cleanly.
leave=$(now)
for _ in 1 2 3 4; do
    xdotool key --window "$WID" Tab
    sleep 0.5
done
kill -TERM "$ORCA"
for _ in $(seq 100); do kill -0 "$ORCA" 2>/dev/null || break; sleep 0.1; done
grep -a "SPEECH OUTPUT: 'Save push button" "$WORK/orca.log" >/dev/null ||
    fail "Orca did not follow the window: $(grep -a 'SPEECH OUTPUT' "$WORK/orca.log" | tr '\n' ' ')"
speech=$(grep -a 'SPEECH OUTPUT' "$WORK/orca.log")
# What was said between a Tab and the next (times sort as text).
between() { awk -v from="$1" -v to="$2" '{t = substr($1, 1, 15)} t >= from && (to == "" || t < to)' <<<"$speech"; }
for i in "${!marks[@]}"; do
    read -r from box <<<"${marks[$i]}"
    to=$(cut -d' ' -f1 <<<"${marks[$((i + 1))]:-$back}")
    between "$from" "$to" | grep -aq "SPEECH OUTPUT: '$box text" ||
        fail "on the first Tab pass Orca did not name $box; it said: $(between "$from" "$to" | tr '\n' ' ')"
done
# The dwell in UTC starts once Orca has said the focus went there, with
# the time the box holds: Orca may say it a second or two late, catching
# up with the keys. Only what was said counts: each log line starts with a
# time of its own.
dwell=$(between "$back" "$leave" | awk '/SPEECH OUTPUT: .UTC text/ {utc = 1; next}
    utc && /SPEECH OUTPUT: .[0-9][0-9]:[0-9][0-9]:[0-9]/ {print substr($1, 1, 15); exit}')
[ -n "$dwell" ] ||
    fail "Orca did not say the focus went back to UTC; it said: $(between "$back" "$leave" | tr '\n' ' ')"
clock=$(between "$dwell" "$leave" | tail -n +2 | sed 's/^.*SPEECH OUTPUT: //' | grep -aE "[0-9]{2}:[0-9]{2}:[0-9]" || true)
[ -z "$clock" ] || fail "Orca read the clock while the focus sat in UTC: $(echo "$clock" | head -3)"
pass "Orca names every box on the first Tab pass, and keeps quiet about the clock"
