#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Logs no editor should have left, all at once: invalid UTF-8, NUL bytes, a
# 10 MB line, LF-only lines among CR LF ones and no final line end. The
# program does not crash, and the history shows exactly the right lines.
. "$(dirname "$0")/lib.sh"

mkdir "$WORK/app"
{
    printf '1,  ZZ9ZZ,  M\xfcller\r\n'          # Windows-1252
    printf '2,  ZZ\09ZZ,  nul\r\n'             # NUL splits the call
    printf '7,  ZZ9CD\0\0,  nul\r\n'          # NUL after it
    printf '3,  '; head -c 10000000 /dev/zero | tr '\0' 'y'; printf 'QQ8,  long\r\n'
    printf '4,  zz9yy,  lf only\n'
    printf '5,  \xc3\xa9t\xc3\xa9,  ok\r\n'    # UTF-8
    printf '6,  ZZ9AB,  no end'
} >"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
type_into 3 "ZZ9"
expect_geometry "$EXPANDED"
alive
expected=$(printf '6,  ZZ9AB,  no end\n4,  zz9yy,  lf only\n7,  ZZ9CD,  nul\n1,  ZZ9ZZ,  M\xc3\xbcller')
# The newest rows may come first, the older ones right after them.
wait_pane "$expected"
[ "$pane" = "$expected" ] || fail "history for ZZ9 is '${pane:0:300}'"
pass "ZZ9: Windows-1252, LF-only and unended lines found, newest first"

type_into 3 "QQ8"
expect_geometry "$EXPANDED"
alive
# The window was expanded already: the new history replaces the old one.
wait_pane "3,  *"
# Shown cut short, but copied whole from the log.
[[ "$pane" == "3,  yyyy"*"yQQ8,  long" ]] || fail "the 10 MB line came back as '${pane:0:80}…${pane: -60}'"
[ "${#pane}" -eq 10000014 ] || fail "the 10 MB line was copied as ${#pane} characters"
pass "QQ8: the 10 MB line found, and copied whole"

# Pasted rather than typed: xdotool types letters beyond the keymap by
# remapping a key for a moment, which a busy program can see too late.
printf 'ÉTÉ' | xclip -selection clipboard -i
double_click "${BOX_X[3]}" "$BOX_Y"
expect_geometry "$EXPANDED"
wait_pane "5,  été,  ok"
[ "$pane" = "5,  été,  ok" ] || fail "history for ÉTÉ is '$pane'"
type_into 3 "XQXQ"
expect_geometry "$COLLAPSED"
alive
pass "non-ASCII call folded; no match collapses"
