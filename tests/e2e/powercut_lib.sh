# SPDX-License-Identifier: GPL-3.0-or-later
# The power-cut harness shared by the power-cut tests: a file system of the
# test's own (tests/powercut/powercut_fs.py) keeps unsynced writes in memory,
# as a disk's cache does; a program is killed at each write and sync of an
# append (tests/kill_at.cpp), the power is cut (what was not synced is lost,
# the last write is torn in half, or any subset of the unsynced pages is
# lost), the file system comes back, and the
# next Tavrelo program opens the log. The log lives in $WORK/m/Tavrelo.
# shellcheck shell=bash
: "${TAVRELO_ADIF:?}" "${TAVRELO_KILL_AT:?}" "${WORK:?}"
fs="$(cd "$(dirname "$0")/.." && pwd)/powercut/powercut_fs.py"
/usr/bin/python3 -c 'import fusepy' 2>/dev/null || skip "python3-fusepy is not installed (the set-up installs it)"
[ -e /dev/fuse ] || skip "this machine has no /dev/fuse"

FS_PID=""
unmount() {
    if mountpoint -q "$WORK/m" 2>/dev/null; then
        fusermount3 -u "$WORK/m" 2>/dev/null || umount "$WORK/m" 2>/dev/null || umount -l "$WORK/m"
    fi
    [ -z "$FS_PID" ] || wait "$FS_PID" 2>/dev/null || true
    FS_PID=""
}
mount_fs() {
    mkdir -p "$WORK/m"
    /usr/bin/python3 "$fs" "$WORK/b" "$WORK/m" 2>>"$WORK/fs.log" &
    FS_PID=$!
    for _ in $(seq 100); do mountpoint -q "$WORK/m" && return 0; sleep 0.05; done
    skip "FUSE cannot be mounted here: $(tail -3 "$WORK/fs.log")"
}

old_log=$'2020-Jan-01,  00:00,  20m,  OLD,  ,  ,  ,  \r\n'
old_fields=$'<CALL:3>OLD <QSO_DATE:8>20200101 <TIME_ON:4>0000 <BAND:3>20m <MODE:2>CW <EOR>\r\n'

# The log and the fields file after the next program opened them: all of
# the append or none of it, never a torn line.
check() { # what added_lines
    local log="$WORK/b/Tavrelo/Tavrelo.txt" fields="$WORK/b/Tavrelo/Tavrelo.adi" lines records
    ! ls "$WORK/b/Tavrelo/"*.journal >/dev/null 2>&1 || fail "$1: the journal is left"
    head -c ${#old_log} "$log" | cmp -s - <(printf '%s' "$old_log") || fail "$1: the old contact is gone"
    if grep -avq $'^[^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*\r$' "$log"; then
        fail "$1: a torn line: $(grep -av $'^[^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*,  [^,]*\r$' "$log" | head -2)"
    fi
    lines=$(($(wc -l <"$log") - 1))
    records=$(($(grep -ac '<EOR>' "$fields" 2>/dev/null || true) - 1))
    [ "$lines" = 0 ] || [ "$lines" = "$2" ] || fail "$1: $lines of $2 contacts"
    [ "$records" = $((lines * ${RECORDS_EACH:-1})) ] || fail "$1: $lines contacts but $records records"
}

# run_cuts NAME COMMAND...: COMMAND (a program or a shell function) is run
# once for each write and sync it makes, killed at that one. A shell
# function PREPARE, when defined, adds to the files before each run.
run_cuts() {
    local name=$1 how n count
    shift
    for how in drop torn pages; do
        n=1
        while :; do
            rm -rf "$WORK/b" && mkdir -p "$WORK/b/Tavrelo"
            printf '%s' "$old_log" >"$WORK/b/Tavrelo/Tavrelo.txt"
            printf '%s' "$old_fields" >"$WORK/b/Tavrelo/Tavrelo.adi"
            ! declare -F PREPARE >/dev/null || PREPARE
            mount_fs
            rm -f "$WORK/count"
            set +e
            # Only the programs that write the log's files count: the
            # preloaded counter watches those files alone.
            (
                export LD_PRELOAD="$TAVRELO_KILL_AT" TAVRELO_KILL_AT=$n TAVRELO_KILL_COUNT="$WORK/count" \
                    ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
                "$@"
            ) >"$WORK/run.log" 2>&1
            local status=$?
            set -e
            printf '%s %s\n' "$how" "$n" >"$WORK/m/.powercut"
            unmount
            mount_fs
            "$TAVRELO_ADIF" "$WORK/m/Tavrelo/Tavrelo.txt" -o "$WORK/out.adi" >/dev/null 2>&1 || true
            unmount
            check "$name, $how, cut at call $n" "$EXPECTED"
            # The run that was not killed has done every step.
            [ "$status" = 137 ] || break
            n=$((n + 1))
            [ $n -lt 60 ] || fail "$name never finished"
        done
    done
    pass "$name: all or nothing at each of its $n writes and syncs, power dropped, torn or pages lost"
}

