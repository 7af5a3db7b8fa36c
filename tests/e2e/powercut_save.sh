#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Power cuts during the window's Save: the real window, installed as a
# package installs it, keeps its log on the power-cut file system; it is
# killed at each write and sync of one Save, the power is cut, and the next
# Tavrelo program that opens the log finds the contact whole or not at all,
# never a torn line, and the contact that was there before unchanged.
. "$(dirname "$0")/lib.sh"
: "${TAVRELO_ADIF:?}" "${TAVRELO_KILL_AT:?}"
. "$(dirname "$0")/powercut_lib.sh"
trap 'unmount; cleanup' EXIT

# Laid out as an installation, so the log is in $XDG_DATA_HOME/Tavrelo.
mkdir -p "$WORK/inst/bin" "$WORK/inst/share/applications"
touch "$WORK/inst/share/applications/tavrelo.desktop"

save_once() {
    start_app "$WORK/inst/bin" env XDG_DATA_HOME="$WORK/m"
    fill_contact "ZZ9ZZ" "Hans"
    # A click can be lost under load: Save again until the contact is in
    # the log, or the program was killed on the way.
    for _ in 1 2 3; do
        click "${SAVE[@]}"
        for _ in $(seq 60); do
            kill -0 "$APP_PID" 2>/dev/null || break 2
            [ "$(tr -cd '\n' <"$WORK/m/Tavrelo/Tavrelo.txt" | wc -l)" -lt 2 ] || break 2
            sleep 0.05
        done
    done
    if kill -0 "$APP_PID" 2>/dev/null; then
        [ "$(tr -cd '\n' <"$WORK/m/Tavrelo/Tavrelo.txt" | wc -l)" -eq 2 ] || fail "Save did not save: $(cat "$WORK/app.log")"
        kill -9 "$APP_PID"
        wait "$APP_PID" 2>/dev/null || true
        return 0
    fi
    wait "$APP_PID"
}
EXPECTED=1 RECORDS_EACH=0 run_cuts "the window's Save" save_once
