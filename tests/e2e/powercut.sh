#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Power cuts: the log lives on a file system of the test's own
# (tests/powercut/powercut_fs.py) that keeps unsynced writes in memory, as a
# disk's cache does. tavrelo-adif --import and tavrelo-wsjtx are killed at
# each write and sync of an append (tests/kill_at.cpp), the power is cut
# (what was not synced is lost, the last write is torn in half, or any subset
# of the unsynced pages is lost), the file
# system comes back, and the next Tavrelo program opens the log: the log and
# its fields file hold all of the append or none of it, never a torn line,
# and the contacts that were there before are there still.
set -euo pipefail
WORK=$(mktemp -d /tmp/tavrelo-powercut.XXXXXX)
: "${TAVRELO_ADIF:?}" "${TAVRELO_WSJTX:?}" "${WSJTX_SEND:?}" "${TAVRELO_KILL_AT:?}"
skip() { echo "SKIPPED: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }
. "$(dirname "$0")/powercut_lib.sh"
cleanup() { unmount; rm -rf "$WORK"; }
trap cleanup EXIT

printf '' >"$WORK/in.adi"
for i in $(seq 1000 1999); do
    printf '<CALL:6>ZZ%s<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20m<MODE:3>FT8<EOR>\n' "$i" >>"$WORK/in.adi"
done
EXPECTED=1000
run_cuts "tavrelo-adif --import" "$TAVRELO_ADIF" --import "$WORK/in.adi" "$WORK/m/Tavrelo/Tavrelo.txt"

# tavrelo-wsjtx: one contact, logged as WSJT-X announces it.
wsjtx_once() {
    local port
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    "$TAVRELO_WSJTX" --listen "127.0.0.1:$port" "$WORK/m/Tavrelo/Tavrelo.txt" >"$WORK/wsjtx.out" 2>"$WORK/wsjtx.err" &
    local pid=$!
    for _ in $(seq 100); do grep -q listening "$WORK/wsjtx.err" && break; kill -0 $pid 2>/dev/null || break; sleep 0.05; done
    "$WSJTX_SEND" "$port" "<call:5>ZZ9ZZ<gridsquare:4>JO62<mode:3>FT8<qso_date:8>20241105<time_on:6>120530<band:3>20m<freq:9>14.075816<eor>" || true
    for _ in $(seq 100); do grep -q "logged:" "$WORK/wsjtx.out" && break; kill -0 $pid 2>/dev/null || break; sleep 0.05; done
    if kill -0 $pid 2>/dev/null; then
        kill $pid
        wait $pid
        return 0
    fi
    wait $pid
}
EXPECTED=1
run_cuts "tavrelo-wsjtx" wsjtx_once

# tavrelo-adif --merge of another log of 300 contacts, each with its record,
# and the same log as a conflict copy that a sync set aside, brought in by
# the next program about to add to the log (an import of a file of no
# contacts).
mkdir -p "$WORK/other"
for i in $(seq 100 399); do
    printf '2024-Mar-02,  12:05,  20m,  ZZ%sM,  ,  ,  ,  \r\n' "$i" >>"$WORK/other/Tavrelo.txt"
    printf '<CALL:6>ZZ%sM <QSO_DATE:8>20240302 <TIME_ON:4>1205 <BAND:3>20m <MODE:2>CW <EOR>\r\n' "$i" \
        >>"$WORK/other/Tavrelo.adi"
done
EXPECTED=300
run_cuts "tavrelo-adif --merge" "$TAVRELO_ADIF" --merge "$WORK/other/Tavrelo.txt" "$WORK/m/Tavrelo/Tavrelo.txt"
PREPARE() {
    cat "$WORK/b/Tavrelo/Tavrelo.txt" "$WORK/other/Tavrelo.txt" >"$WORK/b/Tavrelo/Tavrelo.sync-conflict-20261207-142233-ABCDEFG.txt"
    cat "$WORK/b/Tavrelo/Tavrelo.adi" "$WORK/other/Tavrelo.adi" >"$WORK/b/Tavrelo/Tavrelo.sync-conflict-20261207-142233-ABCDEFG.adi"
}
: >"$WORK/none.adi"
run_cuts "the merge of conflict copies" "$TAVRELO_ADIF" --import "$WORK/none.adi" "$WORK/m/Tavrelo/Tavrelo.txt"
