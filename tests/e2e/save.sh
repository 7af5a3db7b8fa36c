#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Save: a contact typed into the boxes is appended as exactly its record,
# with today's UTC date and time; the band stays for the next contact.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
start_app "$WORK/app"
settle 1.3 # the clock has ticked
fill_contact "ZZ9ZZ" "Hans" "40m"
save
now=$(date -u +%s)
read_records "$WORK/app/Tavrelo.txt" 1
expect_record "${lines[0]}" "ZZ9ZZ" "Hans"
[[ "${lines[0]}" == *",  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579" ]] || fail "fields out of place: ${lines[0]}"
stamp="${lines[0]%%,  40m*}"
day=${stamp%%,*}
time=${stamp##*,  }
when=$(date -u -d "$(date -u -d "${day//-/ }" +%F) $time" +%s)
diff=$((now - when))
[ "${diff#-}" -le 2 ] || fail "record time $day $time is $diff s from UTC now"
pass "record appended exactly, stamped with UTC within 2 s"

type_into 3 "DL1ABC"
save
read_records "$WORK/app/Tavrelo.txt" 2
[[ "${lines[1]}" == *",  40m,  DL1ABC,  ,  ,  ,  " ]] || fail "band not kept: ${lines[1]}"
pass "band kept for the next contact"
