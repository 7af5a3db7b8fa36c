#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A file-size limit stops a save part-way: the partial record is undone, the
# program is not killed, and the contact saves once the limit is lifted.
. "$(dirname "$0")/lib.sh"
command -v prlimit >/dev/null || skip "prlimit (util-linux) is not installed"

mkdir "$WORK/app"
printf '2026-Dec-07,  06:15:01,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n' >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app" prlimit --fsize=100:unlimited --
fill_contact "BB2BB" "Bert"
save
expect_failed_save "$WORK/app/Tavrelo.txt" 1
[ "$(stat -c %s "$WORK/app/Tavrelo.txt")" -eq 66 ] || fail "a partial record was left in the log"
prlimit --pid "$APP_PID" --fsize=unlimited:unlimited
save
read_records "$WORK/app/Tavrelo.txt" 2
expect_record "${lines[1]}" BB2BB Bert
pass "file-size limit: no kill, partial record undone, saved once lifted"
