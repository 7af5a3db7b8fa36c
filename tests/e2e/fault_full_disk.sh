#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The disk fills up: the record that does not fit is undone, the contact
# stays in the boxes, and it saves once there is room again.
. "$(dirname "$0")/lib.sh"
need_mount_namespace

mkdir "$WORK/app" "$WORK/small"
# Earlier contacts (66 bytes each) fill the log to 8184 bytes, just short of
# a page boundary, so that the next record needs a page the disk cannot give.
rec="2026-Dec-07,  06:15:01,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579"
for _ in $(seq 124); do printf '%s\r\n' "$rec"; done >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app" unshare -m --propagation private
in_namespace mount -t tmpfs -o size=64k tmpfs "$WORK/small"
in_namespace cp "$WORK/app/Tavrelo.txt" "$WORK/small/Tavrelo.txt"
in_namespace sh -c "cat /dev/zero > '$WORK/small/filler' 2>/dev/null; true"
in_namespace mount --bind "$WORK/small/Tavrelo.txt" "$WORK/app/Tavrelo.txt"
log_in_ns() { in_namespace cat "$WORK/app/Tavrelo.txt" >"$WORK/seen"; echo "$WORK/seen"; }

fill_contact "BB2BB" "Bert"
save
expect_failed_save "$(log_in_ns)" 124
cmp -s "$WORK/seen" "$WORK/app/Tavrelo.txt" || fail "the full disk's log is not the log as it was"
in_namespace rm "$WORK/small/filler"
save
for _ in $(seq 200); do [ "$(tr -cd '\n' <"$(log_in_ns)" | wc -c)" -ge 125 ] && break; sleep 0.05; done
mapfile -t lines < <(log_lines "$(log_in_ns)")
[ "${#lines[@]}" -eq 125 ] || fail "expected 125 records after the retry, found ${#lines[@]}"
expect_record "${lines[124]}" BB2BB Bert
pass "full disk: partial record undone, contact kept and saved once there was room"
