// SPDX-License-Identifier: GPL-3.0-or-later
#include "HistoryView.h"

#include "CallHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace tavrelo {

namespace {
constexpr int TextMargin = 3; // pixels left of the text
} // namespace

HistoryView::HistoryView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

void HistoryView::showMatches(std::shared_ptr<const history::Matches> matches) {
    matches_ = std::move(matches);
    lines_.clear();
    reset();
}

void HistoryView::showLines(const QStringList& lines) {
    matches_.reset();
    lines_ = lines;
    reset();
}

void HistoryView::keepVisibleRowsOnly() {
    if (!matches_)
        return;
    const qsizetype first = verticalScrollBar()->value();
    const qsizetype last = std::min(rowCount() - 1, first + visibleRows());
    QStringList visible;
    for (qsizetype r = first; r <= last; ++r)
        visible << rowText(r);
    rowCount_ = rowCount();
    matches_.reset();
    lines_ = visible;
    firstLine_ = first;
}

void HistoryView::reset() {
    firstLine_ = 0;
    rowCount_ = -1;
    current_ = anchor_ = 0;
    selected_ = false;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
}

qsizetype HistoryView::rowCount() const {
    if (matches_)
        return matches_->size();
    return rowCount_ >= 0 ? rowCount_ : lines_.size();
}

QString HistoryView::rowText(qsizetype row) const {
    return matches_ ? matches_->row(row) : lines_.value(row - firstLine_);
}

QString HistoryView::rows(qsizetype first, qsizetype last) const {
    if (first > last)
        return {};
    if (matches_)
        return matches_->text(first, last);
    QString text;
    for (qsizetype r = first; r <= last; ++r)
        text += rowText(r) + QLatin1String("\r\n");
    return text;
}

QString HistoryView::text() const {
    return rows(0, rowCount() - 1);
}

QString HistoryView::selectedText() const {
    if (!selected_ || rowCount() == 0)
        return {};
    return rows(std::min(anchor_, current_), std::max(anchor_, current_));
}

void HistoryView::selectAll() {
    if (rowCount() == 0)
        return;
    anchor_ = 0;
    current_ = rowCount() - 1;
    selected_ = true;
    viewport()->update();
}

void HistoryView::copy() const {
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

int HistoryView::rowHeight() const {
    return fontMetrics().height();
}

int HistoryView::visibleRows() const {
    return std::max(1, viewport()->height() / rowHeight());
}

qsizetype HistoryView::rowAt(int y) const {
    const qsizetype row = verticalScrollBar()->value() + y / rowHeight();
    return std::clamp<qsizetype>(row, 0, std::max<qsizetype>(0, rowCount() - 1));
}

void HistoryView::updateScrollBars() {
    const qsizetype rows = rowCount();
    // Scroll bar values are ints: a log of more than two thousand million
    // matching lines is beyond any station.
    verticalScrollBar()->setRange(0, int(std::max<qsizetype>(0, rows - visibleRows())));
    verticalScrollBar()->setPageStep(visibleRows());
    int widest = 0;
    if (matches_) {
        const QFontMetrics fm = fontMetrics();
        widest =
            int(matches_->widestRowBytes()) * fm.averageCharWidth() +
            (matches_->widestRowBytes() >= history::MaxPaneLineBytes
                 ? fm.horizontalAdvance(QStringLiteral(" … [line of 0000000000 bytes cut short]"))
                 : 0);
    } else {
        for (const QString& line : lines_)
            widest = std::max(widest, fontMetrics().horizontalAdvance(line));
    }
    const int width = viewport()->width();
    horizontalScrollBar()->setRange(0, std::max(0, widest + 2 * TextMargin - width));
    horizontalScrollBar()->setPageStep(width);
    horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

void HistoryView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void HistoryView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int height = rowHeight();
    const int ascent = fontMetrics().ascent();
    const int x = TextMargin - horizontalScrollBar()->value();
    const qsizetype first = verticalScrollBar()->value();
    const qsizetype last = std::min(rowCount() - 1, first + visibleRows());
    const qsizetype selFirst = std::min(anchor_, current_), selLast = std::max(anchor_, current_);
    const QPalette& pal = palette();
    for (qsizetype row = first; row <= last; ++row) {
        const QRect band(0, int(row - first) * height, viewport()->width(), height);
        const bool selected = selected_ && row >= selFirst && row <= selLast;
        if (selected)
            painter.fillRect(band, pal.color(QPalette::Highlight));
        else if (row == current_ && hasFocus())
            painter.fillRect(band, pal.color(QPalette::AlternateBase));
        painter.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(x, band.top() + ascent, rowText(row));
        if (row == current_ && hasFocus()) // the caret, at the start of its row
            painter.fillRect(QRect(x - 1, band.top(), 1, height), pal.color(QPalette::Text));
    }
}

void HistoryView::moveTo(qsizetype row, bool extendSelection) {
    if (rowCount() == 0)
        return;
    row = std::clamp<qsizetype>(row, 0, rowCount() - 1);
    if (!extendSelection) {
        anchor_ = row;
        selected_ = false;
    } else {
        if (!selected_)
            anchor_ = current_;
        selected_ = true;
    }
    current_ = row;
    QScrollBar* bar = verticalScrollBar();
    if (current_ < bar->value())
        bar->setValue(int(current_));
    else if (current_ >= bar->value() + visibleRows())
        bar->setValue(int(current_ - visibleRows() + 1));
    viewport()->update();
}

void HistoryView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::SelectAll) {
        selectAll();
        return;
    }
    if (event == QKeySequence::Copy) {
        copy();
        return;
    }
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_Up:
        moveTo(current_ - 1, shift);
        return;
    case Qt::Key_Down:
        moveTo(current_ + 1, shift);
        return;
    case Qt::Key_PageUp:
        moveTo(current_ - visibleRows(), shift);
        return;
    case Qt::Key_PageDown:
        moveTo(current_ + visibleRows(), shift);
        return;
    case Qt::Key_Home:
        moveTo(0, shift);
        return;
    case Qt::Key_End:
        moveTo(rowCount() - 1, shift);
        return;
    case Qt::Key_Left:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        return;
    case Qt::Key_Right:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void HistoryView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    moveTo(rowAt(event->position().toPoint().y()), event->modifiers() & Qt::ShiftModifier);
}

void HistoryView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton)
        moveTo(rowAt(event->position().toPoint().y()), true);
}

} // namespace tavrelo
