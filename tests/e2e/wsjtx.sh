#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# tavrelo-wsjtx beside the window: a contact that WSJT-X announces lands in
# the log the window uses, and typing its call in the window shows it in the
# history.
. "$(dirname "$0")/lib.sh"
: "${TAVRELO_WSJTX:?}" "${WSJTX_SEND:?}"

mkdir "$WORK/app"
: >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
cp "$TAVRELO_WSJTX" "$WORK/app/tavrelo-wsjtx"
[ "$("$WORK/app/tavrelo-wsjtx" --where)" = "$WORK/app/Tavrelo.txt" ] ||
    fail "tavrelo-wsjtx does not find the window's log: $("$WORK/app/tavrelo-wsjtx" --where)"
start_wsjtx "$WORK/app/tavrelo-wsjtx"
companion=${APPS[-1]}
port=$WSJTX_PORT

"$WSJTX_SEND" "$port" "<adif_ver:5>3.1.0<EOH><call:5>ZZ9ZZ<gridsquare:4>JO62<mode:3>FT8<rst_sent:3>-10<rst_rcvd:3>-12<qso_date:8>20241105<time_on:6>120530<band:3>20m<eor>"
line=$'2024-Nov-05,  12:05:30,  20m,  ZZ9ZZ,  ,  JO62,  -10,  -12\r'
for _ in $(seq 200); do
    grep -qxF "$line" "$WORK/app/Tavrelo.txt" && break
    sleep 0.05
done
grep -qxF "$line" "$WORK/app/Tavrelo.txt" || fail "the contact is not in the log: $(cat -A "$WORK/app/Tavrelo.txt")"
pass "the contact from WSJT-X is in the window's log"

expect_geometry "$COLLAPSED"
type_into 3 "ZZ9"
expect_geometry "$EXPANDED"
alive
pass "typing its call in the window shows it in the history"

kill -TERM "$companion"
wait "$companion" || fail "tavrelo-wsjtx ended with status $? at SIGTERM"
grep -q "^logged: 2024-Nov-05" "$WORK/wsjtx.out" || fail "no line for the contact: $(cat "$WORK/wsjtx.out")"
pass "tavrelo-wsjtx ends cleanly at SIGTERM"
