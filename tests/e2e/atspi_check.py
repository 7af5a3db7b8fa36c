#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Reads the running Tavrelo window through AT-SPI, as a screen reader does,
# and checks what it finds: the eight boxes by their names, and the history
# pane as a multi-line text whose text, lines and caret are the pane's.
# Usage: atspi_check.py LINE...   (the pane's expected lines, newest first)
# With ENTITY_LINE set: also the line that tells who the call is, read as
# a label holding those words.
import os
import sys
import time

import pyatspi

BOXES = ["Date", "UTC", "Band", "Call", "Name", "QTH", "RSTs", "RSTr"]


def walk(node, depth=0):
    if node is None or depth > 12:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


def find_app():
    desktop = pyatspi.Registry.getDesktop(0)
    for _ in range(100):
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name.lower() == "tavrelo":
                return app
        time.sleep(0.1)
    sys.exit("FAIL: no application named tavrelo on the accessibility bus")


def main():
    expected = sys.argv[1:]
    app = find_app()
    nodes = list(walk(app))
    failures = []
    for name in BOXES:
        found = [n for n in nodes if n.name == name
                 and n.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY)]
        if not found:
            failures.append(f"no text box named {name}")
    panes = [n for n in nodes if n.name == "History"]
    if not panes:
        failures.append("no pane named History")
    else:
        pane = panes[0]
        states = pane.getState()
        for state, what in ((pyatspi.STATE_MULTI_LINE, "multi-line"),
                            (pyatspi.STATE_EDITABLE, "editable")):
            if not states.contains(state):
                failures.append(f"the pane is not {what}")
        text = pane.queryText()
        whole = text.getText(0, -1)
        if whole != "\n".join(expected):
            failures.append(f"the pane reads {whole!r}, expected {chr(10).join(expected)!r}")
        if text.characterCount != len(whole):
            failures.append(f"character count {text.characterCount} for {len(whole)} characters")
        if len(expected) > 1:
            start = len(expected[0]) + 1
            line, s, e = text.getTextAtOffset(start + 1, pyatspi.TEXT_BOUNDARY_LINE_START)
            if line.rstrip("\n") != expected[1] or s != start:
                failures.append(f"the second line reads {line!r} from {s}")
        # The word at the month of the first date (2024-Mar-01).
        word, s, e = text.getTextAtOffset(6, pyatspi.TEXT_BOUNDARY_WORD_START)
        if word.strip("- ") != expected[0][5:8] or s > 5 or e < 8:
            failures.append(f"the word at offset 6 reads {word!r} from {s} to {e}")
        if text.caretOffset != 0:
            failures.append(f"the caret is at {text.caretOffset}, expected 0")
    words = os.environ.get("ENTITY_LINE")
    if words:
        for _ in range(50):
            labels = [n.name for n in walk(app) if n.getRole() == pyatspi.ROLE_LABEL]
            if any(words in name for name in labels):
                break
            time.sleep(0.1)
        else:
            failures.append(f"no label reads {words!r}; the labels read {labels!r}")
    for f in failures:
        print("FAIL:", f)
    if failures:
        sys.exit(1)
    print("PASS: the boxes by name and the pane's text, lines, words and caret read through AT-SPI")


main()
