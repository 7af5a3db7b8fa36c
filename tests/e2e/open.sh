#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Open: the desktop's opener receives the log's path as one argument, even
# from a folder whose name has spaces and quotes.
. "$(dirname "$0")/lib.sh"

mkdir -p "$WORK/bin" "$WORK/my log's folder"
cat >"$WORK/bin/xdg-open" <<STUB
#!/bin/sh
printf '%s\n' "\$#" "\$@" > "$WORK/opened"
STUB
chmod +x "$WORK/bin/xdg-open"
PATH="$WORK/bin:$PATH" start_app "$WORK/my log's folder"
click "${OPEN[@]}"
for _ in $(seq 60); do [ -s "$WORK/opened" ] && break; sleep 0.05; done
[ -s "$WORK/opened" ] || fail "xdg-open was not started"
[ "$(sed -n 1p "$WORK/opened")" = 1 ] || fail "xdg-open got $(sed -n 1p "$WORK/opened") arguments"
[ "$(sed -n 2p "$WORK/opened")" = "$WORK/my log's folder/Tavrelo.txt" ] ||
    fail "xdg-open got '$(sed -n 2p "$WORK/opened")'"
alive
pass "xdg-open received the log path as one argument"

# An opener that starts but then fails is reported, not ignored.
cat >"$WORK/bin/xdg-open" <<'STUB'
#!/bin/sh
exit 3
STUB
click "${OPEN[@]}"
dismiss_message
alive
pass "xdg-open ending with exit status 3 was reported"
