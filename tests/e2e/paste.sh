#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Paste: " ZZ9 ZZ " on the real X clipboard, double-clicked into Call, is
# saved as ZZ9ZZ and starts a lookup; a megabyte on the clipboard is cut to
# what the box holds, with a word about it.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
printf '2026-Dec-01,  18:22:10,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n' >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
printf ' ZZ9 ZZ ' | xclip -selection clipboard -i
double_click "${BOX_X[3]}" "$BOX_Y"
expect_geometry "$EXPANDED"
save
read_records "$WORK/app/Tavrelo.txt" 2
[[ "${lines[1]}" =~ ^[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2},\ \ [0-9]{2}:[0-9]{2}(:[0-9]{2})?,\ \ ,\ \ ZZ9ZZ,\ \ ,\ \ ,\ \ ,\ \ $ ]] ||
    fail "pasted call not saved as ZZ9ZZ with a stamp: '${lines[1]}'"
pass "pasted call saved without spaces, date and time stamped"

head -c 1048576 /dev/urandom | base64 | xclip -selection clipboard -i
double_click "${BOX_X[4]}" "$BOX_Y"
dismiss_message # the box holds less than a megabyte: the operator is told
alive
save
read_records "$WORK/app/Tavrelo.txt" 3
alive
pass "a megabyte on the clipboard: the cut is said, and it saves as one line"
