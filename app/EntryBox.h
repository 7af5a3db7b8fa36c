// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "QuietAccessibility.h"

#include <QLineEdit>
#include <QPainter>

namespace tavrelo {

// A box of the entry row. The boxes are narrow, so the style's frame and
// inner margins would leave too little room: a six-character call would be
// scrolled and lose its first letter. This box gives the text its whole
// width and draws a one-pixel frame over its edge instead.
class EntryBox : public QLineEdit {
public:
    explicit EntryBox(QWidget* parent) : QLineEdit(parent) {
        setFrame(false);
        setTextMargins(-StyleInnerMargin, 0, -StyleInnerMargin, 0);
    }

protected:
    // The focus event, which Qt sends once this returns, is the first a
    // screen reader hears of the box.
    void focusInEvent(QFocusEvent* event) override {
        const QuietAccessibility quiet;
        QLineEdit::focusInEvent(event);
    }
    void paintEvent(QPaintEvent* event) override {
        QLineEdit::paintEvent(event);
        QPainter painter(this);
        painter.setPen(palette().color(hasFocus() ? QPalette::Highlight : QPalette::Mid));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

private:
    // The line edit's own margin beside its text, on each side.
    static constexpr int StyleInnerMargin = 2;
};

} // namespace tavrelo
