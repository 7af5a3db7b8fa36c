#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A screen reader's view: the real window on a private session bus with the
# accessibility bus of at-spi2-core, read through AT-SPI (python3-pyatspi).
if [ -z "${TAVRELO_A11Y_BUS:-}" ]; then
    command -v dbus-run-session >/dev/null || { echo "FAIL: dbus-run-session is missing (scripts/setup.sh --tests installs dbus)" >&2; exit 1; }
    exec env TAVRELO_A11Y_BUS=1 dbus-run-session -- bash "$0" "$@"
fi
. "$(dirname "$0")/lib.sh"
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || fail "python3-pyatspi is not installed (scripts/setup.sh --tests installs it)"
[ -x /usr/libexec/at-spi-bus-launcher ] || fail "at-spi2-core is not installed (scripts/setup.sh --tests installs it)"
# In a process group of its own, so that the bus daemon it starts goes with it.
setsid /usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/a11y.log" 2>&1 &
APPS+=("-$!")
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0

mkdir "$WORK/app"
printf '2019-Feb-22,  01:43:49,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n' >"$WORK/app/Tavrelo.txt"
printf '2024-Mar-01,  12:05,  40m,  ZZ9ZZ,  Anna,  Köln,  599,  559\r\n' >>"$WORK/app/Tavrelo.txt"
start_app "$WORK/app"
type_into 3 "ZZ9ZZ"
expect_geometry "$EXPANDED"
ENTITY_LINE="Brazil (108), CQ 11, ITU 13, SA: Worked, not confirmed; ZZ9ZZ 2 contacts, last 2024-03-01" \
    /usr/bin/python3 "$(dirname "$0")/atspi_check.py" \
    "2024-Mar-01,  12:05,  40m,  ZZ9ZZ,  Anna,  Köln,  599,  559" \
    "2019-Feb-22,  01:43:49,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579"
# The focus back on Save, then a Tab pass through the boxes.
xdotool key --window "$WID" Escape
click "${SAVE[@]}"
/usr/bin/python3 "$(dirname "$0")/atspi_events.py" "$WID"
