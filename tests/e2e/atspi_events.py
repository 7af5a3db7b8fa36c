#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# What a screen reader is told as the operator moves through the boxes: on
# a Tab pass from Save through the eight boxes, each box's focus comes
# before anything else about it (a caret or selection event first keeps a
# screen reader from naming the box), and while the focus sits in UTC the
# clock's writes raise no text events there.
# Usage: atspi_events.py WINDOW_ID
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

BOXES = ["Date", "UTC", "Band", "Call", "Name", "QTH", "RSTs", "RSTr"]
events = []


def on_event(event):
    try:
        name = event.source.name
    except Exception:
        return
    if name in BOXES:
        events.append((time.monotonic(), event.type, name, event.detail1))


def pump(seconds):
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.01)


def key(wid, name):
    subprocess.run(["xdotool", "key", "--window", wid, name], check=True)
    pump(0.4)


def main():
    wid = sys.argv[1]
    for kind in ("object:state-changed:focused", "object:text-caret-moved",
                 "object:text-selection-changed", "object:text-changed"):
        pyatspi.Registry.registerEventListener(on_event, kind)
    pump(0.5)
    failures = []
    for box in BOXES:
        key(wid, "Tab")
        about = [e for e in events if e[2] == box]
        if not about:
            failures.append(f"nothing was said of {box} as Tab entered it")
        elif not (about[0][1].startswith("object:state-changed:focused") and about[0][3] == 1):
            failures.append(f"{box}: the first event was {about[0][1]}, not its focus")
        if box == "UTC":
            since = time.monotonic()
            pump(2.5)
            chatter = [e for e in events if e[0] > since and e[2] in ("Date", "UTC")
                       and e[1].startswith("object:text-changed")]
            if chatter:
                failures.append(f"the clock raised {len(chatter)} text events while UTC had the focus")
    for f in failures:
        print("FAIL:", f)
    if failures:
        sys.exit(1)
    print("PASS: each box's focus is the first thing said of it, and the clock is quiet")


main()
