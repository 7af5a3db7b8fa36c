# SPDX-License-Identifier: GPL-3.0-or-later
# Shared helpers of the end-to-end tests: each test gets its own Xvfb server,
# starts the real tavrelo from a folder of its own, drives it with xdotool as
# a person would, and reads back the log file and the window's geometry.
# shellcheck shell=bash
set -euo pipefail

: "${TAVRELO:?TAVRELO must name the built tavrelo executable}"
export QT_QPA_PLATFORM=xcb
WORK=$(mktemp -d /tmp/tavrelo-e2e.XXXXXX)
# The test's own home, settings, caches and runtime folder: nothing it
# starts (a bus, a screen reader, the program) writes to the user's.
mkdir -m 700 "$WORK/home" "$WORK/config" "$WORK/cache" "$WORK/data" "$WORK/runtime"
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache" \
    XDG_DATA_HOME="$WORK/data" XDG_RUNTIME_DIR="$WORK/runtime"
XVFB_PID=""
APPS=()

cleanup() {
    local pid
    # A negative number is a process group: a program and what it started.
    for pid in "${APPS[@]}"; do kill -9 -- "$pid" 2>/dev/null || true; done
    # Wait for the server to be gone: it removes its socket as it exits,
    # which must not hit the next test's server on the same display number.
    if [ -n "$XVFB_PID" ]; then
        flock 9
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        flock -u 9
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIPPED: $*" >&2; exit 77; }
pass() { echo "PASS: $*"; }

for tool in Xvfb xdotool xclip; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh --tests installs it)"
done

# A private X server; -displayfd picks a free display number, so parallel
# tests never collide. -noreset: otherwise the server resets whenever its
# last client leaves, and refuses the connections that come meanwhile.
# Servers starting or stopping at the same moment can still trample each
# other's sockets, so those moments take turns, through a lock in the build
# folder (ctest names it), never one left in /tmp.
exec 9>"${TAVRELO_E2E_LOCK:-$WORK/xvfb.lock}"
flock 9
Xvfb -displayfd 3 -screen 0 1280x600x24 -nolisten tcp -noreset 3>"$WORK/display" 2>"$WORK/xvfb.log" 9>&- &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.05; done
[ -s "$WORK/display" ] || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -1 "$WORK/display")"
# The number is written as soon as the socket exists; wait until the server
# really answers.
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done
flock -u 9

# Where each control sits in the window, in pixels: the centre of each box
# of the entry row, and of the two buttons.
BOX_X=(57 144 227 308 390 493 572 625)
BOX_Y=49
SAVE=(709 53)
OPEN=(709 22)

# start_app DIR [WRAPPER...]: copies tavrelo into DIR and starts it there,
# not following any radio (an operator's rigctld may be listening on its
# usual port); sets APP_PID and WID.
start_app() {
    local dir=$1
    shift
    [ -x "$dir/tavrelo" ] || cp "$TAVRELO" "$dir/tavrelo"
    local before
    before=$(xdotool search --onlyvisible --name '^Tavrelo$' 2>/dev/null | sort || true)
    "$@" "$dir/tavrelo" --no-rig >>"$WORK/app.log" 2>&1 9>&- &
    APP_PID=$!
    APPS+=("$APP_PID")
    WID=""
    for _ in $(seq 200); do
        WID=$(comm -13 <(echo "$before") <(xdotool search --onlyvisible --name '^Tavrelo$' 2>/dev/null | sort) | head -1)
        [ -n "$WID" ] && break
        kill -0 "$APP_PID" 2>/dev/null || fail "tavrelo exited at start: $(cat "$WORK/app.log")"
        sleep 0.05
    done
    [ -n "$WID" ] || fail "the Tavrelo window did not appear"
    xdotool windowfocus --sync "$WID"
}

# start_wsjtx PROGRAM [LOG]: starts tavrelo-wsjtx on a free port of
# 127.0.0.1; sets WSJTX_PORT. Its output goes to $WORK/wsjtx.out and .err.
start_wsjtx() {
    # The files exist before the companion starts, so that reading them never races its start.
    : >"$WORK/wsjtx.out"
    : >"$WORK/wsjtx.err"
    "$@" --listen 127.0.0.1:0 >"$WORK/wsjtx.out" 2>"$WORK/wsjtx.err" 9>&- &
    APPS+=("$!")
    WSJTX_PORT=""
    for _ in $(seq 200); do
        WSJTX_PORT=$(sed -n 's/.*listening on 127.0.0.1 port \([0-9]*\) .*/\1/p' "$WORK/wsjtx.err")
        [ -n "$WSJTX_PORT" ] && return 0
        sleep 0.05
    done
    fail "tavrelo-wsjtx did not start: $(cat "$WORK/wsjtx.err")"
}

settle() { sleep "${1:-0.3}"; }
click() { xdotool mousemove --window "$WID" "$1" "$2" click 1; settle 0.15; }
double_click() { xdotool mousemove --window "$WID" "$1" "$2" click --repeat 2 --delay 60 1; settle; }
save() { click "${SAVE[@]}"; settle; }

# type_into BOX TEXT: replaces a box's text by typing, as the operator does.
type_into() {
    click "${BOX_X[$1]}" "$BOX_Y"
    xdotool key --clearmodifiers ctrl+a BackSpace
    [ -z "$2" ] || xdotool type --delay 15 -- "$2"
    settle 0.15
}

geometry() { xdotool getwindowgeometry "$WID" | sed -n 's/.*Geometry: //p'; }

# expect_geometry WxH: waits up to three seconds for the window to get that size.
expect_geometry() {
    for _ in $(seq 60); do [ "$(geometry)" = "$1" ] && return 0; sleep 0.05; done
    fail "window is $(geometry), expected $1"
}

COLLAPSED=767x74
EXPANDED=767x193

alive() { kill -0 "$APP_PID" 2>/dev/null || fail "tavrelo is no longer running"; }

# Windows of ours beyond the main one: an error message is showing.
message_showing() { [ "$(xdotool search --onlyvisible --name '^Tavrelo$' | wc -l)" -gt "${#APPS[@]}" ]; }

# dismiss_message: waits for the error message, then closes it with Return.
dismiss_message() {
    local mb=""
    for _ in $(seq 60); do
        mb=$(xdotool search --onlyvisible --name '^Tavrelo$' | grep -vx "$WID" | head -1 || true)
        [ -n "$mb" ] && break
        sleep 0.05
    done
    [ -n "$mb" ] || fail "no error message was shown"
    xdotool windowfocus --sync "$mb" key Return
    settle
    message_showing && fail "the error message did not close"
    xdotool windowfocus --sync "$WID"
}

# The log's lines, CR LF checked: fails on any line not ended by CR LF.
log_lines() {
    local log=$1
    [ -f "$log" ] || fail "no log at $log"
    if [ -s "$log" ] && [ "$(tail -c 2 "$log" | od -An -c | tr -d ' ')" != '\r\n' ]; then
        fail "the log does not end with CR LF"
    fi
    tr -d '\r' <"$log"
}

# fill_contact CALL NAME: types a whole contact, band included.
fill_contact() {
    type_into 2 "${3:-40m}"
    type_into 3 "$1"
    type_into 4 "$2"
    type_into 5 "Berlin"
    type_into 6 "599"
    type_into 7 "579"
}

# expect_record LINE CALL NAME: a whole record of this contact.
expect_record() {
    [[ "$1" =~ ^[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2},\ \ [0-9]{2}:[0-9]{2}(:[0-9]{2})?,\ \ [^,]*,\ \ $2,\ \ $3,\ \ Berlin,\ \ 599,\ \ 579$ ]] ||
        fail "not the record of $2: '$1'"
}

# The history pane's text, read the way a person would copy it.
pane_text() {
    click 300 120
    xdotool key --clearmodifiers ctrl+a ctrl+c
    settle 0.2
    xclip -selection clipboard -o 2>/dev/null | tr -d '\r\0'
}

# wait_pane GLOB: waits up to five seconds for the pane's text to match, for
# a lookup into a window that was expanded already; sets pane.
wait_pane() {
    for _ in $(seq 50); do
        pane=$(pane_text)
        # shellcheck disable=SC2053
        [[ "$pane" == $1 ]] && return 0
        sleep 0.1
    done
}

# Faults that need a private mount namespace run the program inside one.
need_mount_namespace() {
    [ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace (root ignores permission bits, so a mount is the way to cause this fault)"
    local why
    why=$(unshare -m --propagation private true 2>&1) || skip "this machine refuses a private mount namespace: $why"
}
in_namespace() { nsenter -t "$APP_PID" -m -- "$@"; }

# The record a contact typed by fill_contact gives, bar its date and time.
record_tail() { printf ',  %s,  %s,  %s,  Berlin,  599,  579' "${3:-40m}" "$1" "$2"; }

# After a failed save: the error was shown, the program runs, and the log
# holds exactly the records it held before.
expect_failed_save() {
    local log=$1 before=$2
    dismiss_message
    alive
    [ "$(log_lines "$log" | wc -l)" -eq "$before" ] || fail "the failed save changed the number of records"
}

# read_records LOG N: gives a busy program up to ten seconds to have written
# N records, reads them into the array lines, and fails on another number.
read_records() {
    for _ in $(seq 200); do
        [ -f "$1" ] && [ "$(tr -cd '\n' <"$1" | wc -c)" -ge "$2" ] && break
        sleep 0.05
    done
    mapfile -t lines < <(log_lines "$1")
    [ "${#lines[@]}" -eq "$2" ] || fail "expected $2 records in the log, found ${#lines[@]}"
}

# counted NAME COMMAND...: runs the program with the save counter preloaded;
# saves NAME then tells how many saves it has made. Under load a click can be
# lost on its way to the program, so tests count the saves that really ran.
counted() {
    : "${TAVRELO_SAVE_COUNTER:?TAVRELO_SAVE_COUNTER must name the save_counter library}"
    exec env LD_PRELOAD="$TAVRELO_SAVE_COUNTER" TAVRELO_SAVE_COUNT="$WORK/saves.$1" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" "${@:2}"
}
saves() { [ -f "$WORK/saves.$1" ] && wc -l <"$WORK/saves.$1" || echo 0; }
