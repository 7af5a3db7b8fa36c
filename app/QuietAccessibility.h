// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAccessible>

namespace tavrelo {

// While it lives, no accessibility event leaves the program: for changes a
// screen reader should not hear (the clock's writes into Date and UTC each
// second) or not hear before the focus (a box selecting its text as Tab
// enters it, which Qt reports before the box's focus event; heard first,
// it keeps a screen reader from naming the box). A screen reader asking
// for a box's text still gets it.
class QuietAccessibility {
public:
    QuietAccessibility() : previous_(QAccessible::installUpdateHandler([](QAccessibleEvent*) {})) {}
    ~QuietAccessibility() { QAccessible::installUpdateHandler(previous_); }
    QuietAccessibility(const QuietAccessibility&) = delete;
    QuietAccessibility& operator=(const QuietAccessibility&) = delete;

private:
    QAccessible::UpdateHandler previous_;
};

} // namespace tavrelo
