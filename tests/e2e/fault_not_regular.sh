#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A FIFO or a device in the log's place, at start or put there while the
# program runs: the program never freezes. At start it says why and ends;
# while it runs, typing goes on undisturbed, the history pane says why, a
# save says why and keeps the contact, which saves once the log is back.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
cp "$TAVRELO" "$WORK/app/tavrelo"
mkfifo "$WORK/app/Tavrelo.txt"
"$WORK/app/tavrelo" --no-rig >"$WORK/app.log" 2>&1 9>&- &
pid=$!
APPS+=("$pid")
mb=""
for _ in $(seq 200); do
    mb=$(xdotool search --onlyvisible --name '^Tavrelo$' 2>/dev/null | head -1 || true)
    [ -n "$mb" ] && break
    sleep 0.05
done
[ -n "$mb" ] || fail "no message at start with a FIFO as the log: $(cat "$WORK/app.log")"
grep -q "It is a FIFO (named pipe), not a regular file" "$WORK/app.log" ||
    fail "the start-up error does not say why: $(cat "$WORK/app.log")"
xdotool windowfocus --sync "$mb" key Return
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 1 ] || fail "exit status $rc after the start-up error"
pass "FIFO at start: the reason shown, exit status 1"

rm "$WORK/app/Tavrelo.txt"
printf '1,  ZZ9ZZ,  Hans,  Berlin\r\n' >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
mv "$WORK/app/Tavrelo.txt" "$WORK/good.txt"
mkfifo "$WORK/app/Tavrelo.txt"

# The call and the name, typed in one go while the lookup fails.
click "${BOX_X[3]}" "$BOX_Y"
xdotool type --delay 15 "ZZ9ZZ"
xdotool key Tab
xdotool type --delay 15 "Hans"
settle
expect_geometry "$EXPANDED"
message_showing && fail "a message box took the keyboard during typing"
alive
box_text() {
    click "${BOX_X[$1]}" "$BOX_Y"
    xdotool key --clearmodifiers ctrl+a ctrl+c
    settle 0.2
    xclip -selection clipboard -o 2>/dev/null
}
[ "$(box_text 3)" = "ZZ9ZZ" ] || fail "the Call box holds '$(box_text 3)'"
[ "$(box_text 4)" = "Hans" ] || fail "the Name box holds '$(box_text 4)'"
[[ "$(pane_text)" == *"It is a FIFO (named pipe), not a regular file."* ]] ||
    fail "the pane says '$(pane_text)'"
pass "FIFO while typing: keys all landed, the pane says why"

type_into 5 "Berlin"
type_into 6 "599"
type_into 7 "579"
save
dismiss_message
alive
rm "$WORK/app/Tavrelo.txt"
ln -s /dev/zero "$WORK/app/Tavrelo.txt"
type_into 3 "ZZ9ZZ"
expect_geometry "$EXPANDED"
wait_pane "*It is a character device, not a regular file.*"
[[ "$pane" == *"It is a character device, not a regular file."* ]] ||
    fail "with /dev/zero the pane says '$pane'"
alive
pass "FIFO at Save and /dev/zero while typing: said, program running"

rm "$WORK/app/Tavrelo.txt"
mv "$WORK/good.txt" "$WORK/app/Tavrelo.txt"
type_into 4 "Hans"
save
read_records "$WORK/app/Tavrelo.txt" 2
expect_record "${lines[1]}" ZZ9ZZ Hans
pass "the kept contact saved once the log was back"
