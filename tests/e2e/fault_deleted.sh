#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The log is deleted while the program runs: the history turns empty without
# a message, and the next save creates the log again.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
printf '2026-Dec-07,  06:15:01,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n' >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
type_into 3 "ZZ9"
expect_geometry "$EXPANDED"
rm "$WORK/app/Tavrelo.txt"
xdotool type "Z"
expect_geometry "$COLLAPSED"
message_showing && fail "a vanished log should not bring up a message"
alive
fill_contact "ZZ9ZZ" "Hans"
save
read_records "$WORK/app/Tavrelo.txt" 1
expect_record "${lines[0]}" ZZ9ZZ Hans
pass "deleted log: empty history, no message, recreated by the next save"
