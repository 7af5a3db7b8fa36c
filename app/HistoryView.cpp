// SPDX-License-Identifier: GPL-3.0-or-later
#include "HistoryView.h"

#include "CallHistory.h"
#include "HistoryAccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace tavrelo {

namespace {
constexpr int TextMargin = 3; // pixels left of the text
// A screen reader is told the new text of at most this many rows at once.
constexpr qsizetype AnnouncedRows = 1000;
} // namespace

HistoryView::HistoryView(QWidget* parent) : QAbstractScrollArea(parent) {
    installHistoryAccessible();
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

HistoryView::~HistoryView() = default;

void HistoryView::showMatches(std::shared_ptr<const history::Matches> matches,
                              const QString& logPath) {
    const QString old = QAccessible::isActive() ? accessibleText() : QString();
    endEditing();
    matches_ = std::move(matches);
    logPath_ = logPath;
    lines_.clear();
    reset();
    textReplaced(old);
}

void HistoryView::showLines(const QStringList& lines) {
    const QString old = QAccessible::isActive() ? accessibleText() : QString();
    endEditing();
    matches_.reset();
    lines_ = lines;
    reset();
    textReplaced(old);
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
    rowStarts_.clear();
}

void HistoryView::reset() {
    firstLine_ = 0;
    rowCount_ = -1;
    caret_ = anchor_ = {};
    preferredX_ = -1;
    widest_ = 0;
    rowStarts_.clear();
    dragging_ = false;
    scrollTimer_.stop();
    // Plain lines are few: their widths are known at once.
    if (!matches_) {
        const QFontMetricsF fm(font());
        for (const QString& line : std::as_const(lines_))
            widest_ = std::max(widest_, fm.horizontalAdvance(line));
    }
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
    if (row < 0 || row >= rowCount())
        return {};
    return matches_ ? matches_->row(row) : lines_.value(row - firstLine_);
}

QString HistoryView::text() const {
    if (matches_)
        return matches_->text();
    QString text;
    for (qsizetype r = 0; r < rowCount(); ++r)
        text += rowText(r) + QLatin1String("\r\n");
    return text;
}

bool HistoryView::appendRowPart(QString& out, qsizetype row, qsizetype from, qsizetype to,
                                QString* error) const {
    if (matches_) {
        // A row cut short for the pane: a selection reaching into its note
        // takes the rest of the line from the log.
        if (const auto cut = matches_->cutRow(row); cut && to > cut->shown) {
            QString whole;
            if (const OsError e = matches_->wholeRow(row, logPath_, whole); !e.ok()) {
                if (error)
                    *error = e.message();
                return false;
            }
            out += QStringView(whole).mid(std::min(from, cut->shown));
            return true;
        }
    }
    out += QStringView(rowText(row)).mid(from, to - from);
    return true;
}

QString HistoryView::selectedText(QString* error) const {
    if (!hasSelection())
        return {};
    const TextPosition a = std::min(anchor_, caret_), b = std::max(anchor_, caret_);
    QString out;
    for (qsizetype r = a.row; r <= b.row; ++r) {
        const qsizetype from = r == a.row ? a.column : 0;
        const qsizetype to = r == b.row ? b.column : rowText(r).size();
        if (!appendRowPart(out, r, from, to, error))
            return {};
        if (r < b.row)
            out += QLatin1String("\r\n");
    }
    return out;
}

TextPosition HistoryView::clamped(TextPosition p) const {
    if (rowCount() == 0)
        return {};
    p.row = std::clamp<qsizetype>(p.row, 0, rowCount() - 1);
    p.column = std::clamp<qsizetype>(p.column, 0, rowText(p.row).size());
    return p;
}

void HistoryView::setCaret(TextPosition position, bool extendSelection) {
    caret_ = clamped(position);
    if (!extendSelection)
        anchor_ = caret_;
    scrollTo(caret_);
    selectionChanged();
}

void HistoryView::select(TextPosition from, TextPosition to) {
    anchor_ = clamped(from);
    caret_ = clamped(to);
    scrollTo(caret_);
    selectionChanged();
}

void HistoryView::selectAll() {
    if (rowCount() == 0)
        return;
    const qsizetype last = rowCount() - 1;
    select({0, 0}, {last, rowText(last).size()});
    setPrimarySelection();
}

void HistoryView::copy() {
    QString error;
    const QString text = selectedText(&error);
    if (!error.isEmpty()) {
        emit problem(error + QStringLiteral("\n\nNothing was copied."));
        return;
    }
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void HistoryView::setPrimarySelection() {
    QClipboard* clipboard = QApplication::clipboard();
    if (!clipboard->supportsSelection() || !hasSelection())
        return;
    QString error;
    const QString text = selectedText(&error);
    if (error.isEmpty())
        clipboard->setText(text, QClipboard::Selection);
}

void HistoryView::selectionChanged() {
    viewport()->update();
    if (!QAccessible::isActive())
        return;
    const qint64 caret = offsetOf(caret_);
    QAccessibleTextCursorEvent moved(this, int(caret));
    QAccessible::updateAccessibility(&moved);
    const qint64 anchor = offsetOf(anchor_);
    QAccessibleTextSelectionEvent selected(this, int(std::min(anchor, caret)),
                                           int(std::max(anchor, caret)));
    QAccessible::updateAccessibility(&selected);
}

QString HistoryView::accessibleText() const {
    QString text;
    const qsizetype rows = std::min(rowCount(), AnnouncedRows);
    for (qsizetype r = 0; r < rows; ++r) {
        if (r > 0)
            text += QLatin1Char('\n');
        text += rowText(r);
    }
    return text;
}

void HistoryView::textReplaced(const QString& oldText) {
    if (!QAccessible::isActive())
        return;
    QAccessibleTextUpdateEvent event(this, 0, oldText, accessibleText());
    QAccessible::updateAccessibility(&event);
}

qint64 HistoryView::characterCount() const {
    const qsizetype rows = rowCount();
    if (rows == 0)
        return 0;
    if (rowStarts_.size() != size_t(rows) + 1) {
        rowStarts_.assign(size_t(rows) + 1, 0);
        for (qsizetype r = 0; r < rows; ++r)
            rowStarts_[size_t(r) + 1] = rowStarts_[size_t(r)] + rowText(r).size() + 1;
    }
    return rowStarts_.back() - 1; // no line feed after the last row
}

qint64 HistoryView::offsetOf(TextPosition p) const {
    if (rowCount() == 0)
        return 0;
    characterCount();
    p = clamped(p);
    return rowStarts_[size_t(p.row)] + p.column;
}

TextPosition HistoryView::positionOf(qint64 offset) const {
    const qint64 count = characterCount();
    if (count == 0 && rowCount() == 0)
        return {};
    offset = std::clamp<qint64>(offset, 0, count);
    const auto next = std::upper_bound(rowStarts_.begin(), rowStarts_.end() - 1, offset);
    const qsizetype row = qsizetype(next - rowStarts_.begin()) - 1;
    return clamped({row, qsizetype(offset - rowStarts_[size_t(row)])});
}

int HistoryView::rowHeight() const {
    return fontMetrics().height();
}

int HistoryView::visibleRows() const {
    return std::max(1, viewport()->height() / rowHeight());
}

int HistoryView::textLeft() const {
    return TextMargin - horizontalScrollBar()->value();
}

void HistoryView::layOut(QTextLayout& layout, const QString& text) const {
    layout.setText(text);
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    // Log lines run left to right on every desktop; each line's own text
    // is still shaped as usual.
    option.setTextDirection(Qt::LeftToRight);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(1e7);
        line.setPosition(QPointF(0, 0));
    }
    layout.endLayout();
}

void HistoryView::noteWidth(qreal width) {
    if (width <= widest_)
        return;
    widest_ = width;
    // Not from within a paint: the scroll bar answers on its own time.
    QMetaObject::invokeMethod(
        this, [this] { updateScrollBars(); }, Qt::QueuedConnection);
}

void HistoryView::updateScrollBars() {
    const qsizetype rows = rowCount();
    // Scroll bar values are ints: a log of more than two thousand million
    // matching lines is beyond any station.
    verticalScrollBar()->setRange(0, int(std::max<qsizetype>(0, rows - visibleRows())));
    verticalScrollBar()->setPageStep(visibleRows());
    // As wide as the widest row drawn so far, with room for the caret.
    const int width = viewport()->width();
    const int widest = int(std::ceil(widest_)) + 2 * TextMargin + 1;
    horizontalScrollBar()->setRange(0, std::max(0, widest - width));
    horizontalScrollBar()->setPageStep(width);
    horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

void HistoryView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (editor_)
        editor_->setGeometry(rect());
}

void HistoryView::scrollContentsBy(int, int) {
    viewport()->update();
}

void HistoryView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void HistoryView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void HistoryView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int height = rowHeight();
    const qsizetype first = verticalScrollBar()->value();
    const qsizetype last = std::min(rowCount() - 1, first + visibleRows());
    const TextPosition a = std::min(anchor_, caret_), b = std::max(anchor_, caret_);
    const QPalette& pal = palette();
    painter.setPen(pal.color(QPalette::Text));
    QTextCharFormat selectedFormat;
    selectedFormat.setBackground(pal.brush(QPalette::Highlight));
    selectedFormat.setForeground(pal.brush(QPalette::HighlightedText));
    for (qsizetype row = first; row <= last; ++row) {
        const QString text = rowText(row);
        QTextLayout layout;
        layOut(layout, text);
        const qreal width = layout.lineCount() ? layout.lineAt(0).naturalTextWidth() : 0;
        noteWidth(width);
        const QPointF at(textLeft(), qreal(row - first) * height);
        QList<QTextLayout::FormatRange> selections;
        if (hasSelection() && row >= a.row && row <= b.row) {
            const qsizetype from = row == a.row ? a.column : 0;
            const qsizetype to = row == b.row ? b.column : text.size();
            selections.append({int(from), int(to - from), selectedFormat});
            // A selected line end shows as a little highlight past the text.
            if (row < b.row)
                painter.fillRect(
                    QRectF(at.x() + width, at.y(), fontMetrics().averageCharWidth(), height),
                    pal.brush(QPalette::Highlight));
        }
        layout.draw(&painter, at, selections);
        if (row == caret_.row && hasFocus())
            layout.drawCursor(&painter, at, int(caret_.column));
    }
}

QRect HistoryView::characterRect(TextPosition p) const {
    p = clamped(p);
    QTextLayout layout;
    const QString text = rowText(p.row);
    layOut(layout, text);
    if (!layout.lineCount())
        return {};
    const QTextLine line = layout.lineAt(0);
    const qreal x = line.cursorToX(int(p.column));
    const qreal next = p.column < text.size() ? line.cursorToX(int(p.column) + 1)
                                              : x + fontMetrics().averageCharWidth();
    const int top = int(p.row - verticalScrollBar()->value()) * rowHeight();
    return QRect(QPoint(textLeft() + int(std::floor(std::min(x, next))), top),
                 QPoint(textLeft() + int(std::ceil(std::max(x, next))) - 1, top + rowHeight() - 1));
}

TextPosition HistoryView::positionAt(QPoint point) const {
    if (rowCount() == 0)
        return {};
    const qsizetype row =
        verticalScrollBar()->value() + qsizetype(std::floor(double(point.y()) / rowHeight()));
    if (row < 0)
        return {0, 0};
    if (row >= rowCount())
        return {rowCount() - 1, rowText(rowCount() - 1).size()};
    QTextLayout layout;
    layOut(layout, rowText(row));
    if (!layout.lineCount())
        return {row, 0};
    return {row, layout.lineAt(0).xToCursor(point.x() - textLeft())};
}

void HistoryView::scrollTo(TextPosition p) {
    QScrollBar* bar = verticalScrollBar();
    if (p.row < bar->value())
        bar->setValue(int(p.row));
    else if (p.row >= bar->value() + visibleRows())
        bar->setValue(int(p.row - visibleRows() + 1));
    if (rowCount() == 0)
        return;
    QTextLayout layout;
    layOut(layout, rowText(p.row));
    if (!layout.lineCount())
        return;
    const QTextLine line = layout.lineAt(0);
    if (line.naturalTextWidth() > widest_) {
        widest_ = line.naturalTextWidth();
        updateScrollBars();
    }
    const int x = int(line.cursorToX(int(p.column)));
    QScrollBar* h = horizontalScrollBar();
    const int width = viewport()->width() - 2 * TextMargin;
    if (x < h->value())
        h->setValue(x - width / 4);
    else if (x > h->value() + width)
        h->setValue(x - width * 3 / 4);
}

} // namespace tavrelo
