#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The log's folder turns read-only while the program runs: the save fails
# with a message, the contact stays in the boxes, and it saves once the
# folder is writable again.
. "$(dirname "$0")/lib.sh"
need_mount_namespace

mkdir "$WORK/app"
start_app "$WORK/app" unshare -m --propagation private
fill_contact "AA1AA" "Anna"
save
in_namespace mount --bind "$WORK/app" "$WORK/app"
in_namespace mount -o remount,bind,ro "$WORK/app"
fill_contact "BB2BB" "Bert"
save
expect_failed_save "$WORK/app/Tavrelo.txt" 1
in_namespace umount "$WORK/app"
save
read_records "$WORK/app/Tavrelo.txt" 2
expect_record "${lines[0]}" AA1AA Anna
expect_record "${lines[1]}" BB2BB Bert
pass "read-only folder: save refused, contact kept in the boxes and saved on retry"
