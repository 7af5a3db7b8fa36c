#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Power cuts: the log lives on a file system of the test's own
# (tests/powercut/powercut_fs.py) that keeps unsynced writes in memory, as a
# disk's cache does. tavrelo-adif --import and tavrelo-wsjtx are killed at
# each write and sync of an append (tests/kill_at.cpp), the power is cut
# (what was not synced is lost, or the last write is torn in half), the file
# system comes back, and the next Tavrelo program opens the log: the log and
# its fields file hold all of the append or none of it, never a torn line,
# and the contacts that were there before are there still.
set -euo pipefail
: "${TAVRELO_ADIF:?}" "${TAVRELO_WSJTX:?}" "${WSJTX_SEND:?}" "${TAVRELO_KILL_AT:?}"
skip() { echo "SKIPPED: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }
fs="$(cd "$(dirname "$0")/.." && pwd)/powercut/powercut_fs.py"
/usr/bin/python3 -c 'import fusepy' 2>/dev/null || skip "python3-fusepy is not installed (the set-up installs it)"
[ -e /dev/fuse ] || skip "this machine has no /dev/fuse"

WORK=$(mktemp -d /tmp/tavrelo-powercut.XXXXXX)
FS_PID=""
unmount() {
    if mountpoint -q "$WORK/m" 2>/dev/null; then
        fusermount3 -u "$WORK/m" 2>/dev/null || umount "$WORK/m" 2>/dev/null || umount -l "$WORK/m"
    fi
    [ -z "$FS_PID" ] || wait "$FS_PID" 2>/dev/null || true
    FS_PID=""
}
cleanup() { unmount; rm -rf "$WORK"; }
trap cleanup EXIT
mount_fs() {
    mkdir -p "$WORK/m"
    /usr/bin/python3 "$fs" "$WORK/b" "$WORK/m" 2>>"$WORK/fs.log" &
    FS_PID=$!
    for _ in $(seq 100); do mountpoint -q "$WORK/m" && return 0; sleep 0.05; done
    skip "FUSE cannot be mounted here: $(tail -3 "$WORK/fs.log")"
}

old_log=$'2020-Jan-01,  00:00,  20m,  OLD,  ,  ,  ,  \r\n'
old_fields=$'<CALL:3>OLD <QSO_DATE:8>20200101 <TIME_ON:4>0000 <BAND:3>20m <MODE:2>CW <EOR>\r\n'
printf '' >"$WORK/in.adi"
for i in $(seq 1000 1999); do
    printf '<CALL:6>ZZ%s<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20m<MODE:3>FT8<EOR>\n' "$i" >>"$WORK/in.adi"
done

# The log and the fields file after the next program opened them: all of
# the append or none of it, never a torn line.
check() { # what added_lines
    local log="$WORK/b/Tavrelo.txt" fields="$WORK/b/Tavrelo.adi" lines records
    [ ! -e "$WORK/b/Tavrelo.journal" ] || fail "$1: the journal is left"
    head -c ${#old_log} "$log" | cmp -s - <(printf '%s' "$old_log") || fail "$1: the old contact is gone"
    if grep -avq $'^[^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*\r$' "$log"; then
        fail "$1: a torn line: $(grep -av $'^[^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*\r$' "$log" | head -2)"
    fi
    lines=$(($(wc -l <"$log") - 1))
    records=$(($(grep -ac '<EOR>' "$fields" 2>/dev/null || true) - 1))
    [ "$lines" = 0 ] || [ "$lines" = "$2" ] || fail "$1: $lines of $2 contacts"
    [ "$records" = "$lines" ] || fail "$1: $lines contacts but $records records"
}

run_cuts() { # name command...
    local name=$1 how n count
    shift
    for how in drop torn; do
        n=1
        while :; do
            rm -rf "$WORK/b" && mkdir -p "$WORK/b"
            printf '%s' "$old_log" >"$WORK/b/Tavrelo.txt"
            printf '%s' "$old_fields" >"$WORK/b/Tavrelo.adi"
            mount_fs
            rm -f "$WORK/count"
            set +e
            env LD_PRELOAD="$TAVRELO_KILL_AT" TAVRELO_KILL_AT=$n TAVRELO_KILL_COUNT="$WORK/count" \
                ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 "$@" >"$WORK/run.log" 2>&1
            local status=$?
            set -e
            printf '%s\n' "$how" >"$WORK/m/.powercut"
            unmount
            mount_fs
            "$TAVRELO_ADIF" "$WORK/m/Tavrelo.txt" -o "$WORK/out.adi" >/dev/null 2>&1 || true
            unmount
            check "$name, $how, cut at call $n" "$EXPECTED"
            # The run that was not killed has done every step.
            [ "$status" = 137 ] || break
            n=$((n + 1))
            [ $n -lt 60 ] || fail "$name never finished"
        done
    done
    pass "$name: all or nothing at each of its $n writes and syncs, power dropped or torn"
}

EXPECTED=1000
run_cuts "tavrelo-adif --import" "$TAVRELO_ADIF" --import "$WORK/in.adi" "$WORK/m/Tavrelo.txt"

# tavrelo-wsjtx: one contact, logged as WSJT-X announces it.
wsjtx_once() {
    local port
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    "$TAVRELO_WSJTX" --listen "127.0.0.1:$port" "$WORK/m/Tavrelo.txt" >"$WORK/wsjtx.out" 2>"$WORK/wsjtx.err" &
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
run_cuts "tavrelo-wsjtx" bash -c "$(declare -f wsjtx_once); WORK='$WORK' TAVRELO_WSJTX='$TAVRELO_WSJTX' WSJTX_SEND='$WSJTX_SEND' wsjtx_once"
