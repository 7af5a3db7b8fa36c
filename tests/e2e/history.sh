#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# History: a call with earlier contacts expands the window; deleting back to
# two characters collapses it; so does Save. The pane is refilled from the
# log at every keystroke.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
printf '2026-Dec-01,  18:22:10,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n' >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
expect_geometry "$COLLAPSED"
click "${BOX_X[3]}" "$BOX_Y"
xdotool type --delay 30 "zz"
settle
expect_geometry "$COLLAPSED"
xdotool type "9"
expect_geometry "$EXPANDED"
pass "third character finds the earlier contact and expands the window"

xdotool key BackSpace
expect_geometry "$COLLAPSED"
pass "back to two characters collapses the window"

xdotool type "9"
expect_geometry "$EXPANDED"
save
expect_geometry "$COLLAPSED"
pass "Save collapses the window"

type_into 3 "XY7"
expect_geometry "$COLLAPSED"
alive
pass "a call without history stays collapsed"

# The pane's selection is the X primary selection, as in any text box: a
# triple-click takes the row, ready for a middle-click paste elsewhere.
type_into 3 "ZZ9"
expect_geometry "$EXPANDED"
xdotool mousemove --window "$WID" 200 88 click --repeat 3 --delay 80 1
settle
primary=$(xclip -selection primary -o 2>/dev/null | tr -d '\r')
# The newest row: the contact saved above.
[ -n "$primary" ] && [ "$primary" = "$(tail -1 "$WORK/app/Tavrelo.txt" | tr -d '\r')" ] ||
    fail "the primary selection holds '$primary'"
pass "a triple-click in the pane sets the primary selection to the row"

# A double-click takes a word (the year that starts the newest row) into
# the primary selection; Ctrl+C puts it on the clipboard too; a middle-click
# in the Name box pastes it there, as on any X desktop.
xdotool mousemove --window "$WID" 14 88 click --repeat 2 --delay 80 1
settle
primary=$(xclip -selection primary -o 2>/dev/null)
[ "$primary" = "$(date -u +%Y)" ] || fail "a double-click put '$primary' in the primary selection"
xdotool key --clearmodifiers ctrl+c
settle
[ "$(xclip -selection clipboard -o 2>/dev/null)" = "$primary" ] || fail "Ctrl+C did not copy the word"
type_into 4 ""
xdotool mousemove --window "$WID" "${BOX_X[4]}" "$BOX_Y" click 2
settle
double_click "${BOX_X[5]}" "$BOX_Y" # the QTH box takes the clipboard
save
[[ "$(tail -1 "$WORK/app/Tavrelo.txt" | tr -d '\r')" == *",  ZZ9,  $primary,  $primary,  "* ]] ||
    fail "the word was not pasted: $(tail -1 "$WORK/app/Tavrelo.txt")"
pass "a double-clicked word goes to the primary selection and the clipboard, and is pasted from both"
