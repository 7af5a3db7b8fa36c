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

std::pair<qsizetype, qsizetype> HistoryView::wordAround(TextPosition p) const {
    p = clamped(p);
    const QString text = rowText(p.row);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(p.column);
    qsizetype start = p.column;
    if (!(finder.isAtBoundary() &&
          finder.boundaryReasons().testFlag(QTextBoundaryFinder::StartOfItem)))
        start = finder.toPreviousBoundary();
    if (start < 0)
        return {p.column, p.column};
    finder.setPosition(start);
    const qsizetype end = finder.toNextBoundary();
    return {start, end < 0 ? text.size() : end};
}

TextPosition HistoryView::moved(TextPosition from, int key, Qt::KeyboardModifiers modifiers) const {
    const bool byWord = modifiers & Qt::ControlModifier;
    const qsizetype last = rowCount() - 1;
    QTextLayout layout;
    layOut(layout, rowText(from.row));
    const qsizetype length = layout.text().size();
    auto xOfCaret = [&] {
        return preferredX_ >= 0 ? preferredX_ : layout.lineAt(0).cursorToX(int(from.column));
    };
    auto atX = [&](qsizetype row, qreal x) -> TextPosition {
        row = std::clamp<qsizetype>(row, 0, last);
        QTextLayout other;
        layOut(other, rowText(row));
        return {row, other.lineCount() ? other.lineAt(0).xToCursor(x) : 0};
    };
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    switch (key) {
    case Qt::Key_Left:
        if (from.column > 0)
            return {from.row, layout.previousCursorPosition(int(from.column), mode)};
        return from.row > 0 ? TextPosition{from.row - 1, rowText(from.row - 1).size()} : from;
    case Qt::Key_Right:
        if (from.column < length)
            return {from.row, layout.nextCursorPosition(int(from.column), mode)};
        return from.row < last ? TextPosition{from.row + 1, 0} : from;
    case Qt::Key_Up:
        return from.row > 0 ? atX(from.row - 1, xOfCaret()) : TextPosition{0, 0};
    case Qt::Key_Down:
        return from.row < last ? atX(from.row + 1, xOfCaret()) : TextPosition{last, length};
    case Qt::Key_PageUp:
        return atX(from.row - visibleRows(), xOfCaret());
    case Qt::Key_PageDown:
        return atX(from.row + visibleRows(), xOfCaret());
    case Qt::Key_Home:
        return byWord ? TextPosition{0, 0} : TextPosition{from.row, 0};
    case Qt::Key_End:
        return byWord ? TextPosition{last, rowText(last).size()} : TextPosition{from.row, length};
    default:
        return from;
    }
}

bool HistoryView::startsEditing(QKeyEvent* event) const {
    if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut) ||
        event->matches(QKeySequence::DeleteStartOfWord) ||
        event->matches(QKeySequence::DeleteEndOfWord))
        return true;
    switch (event->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return true;
    default:
        break;
    }
    const Qt::KeyboardModifiers others =
        event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier | Qt::GroupSwitchModifier);
    const QString text = event->text();
    return others == Qt::NoModifier && !text.isEmpty() && text.at(0).isPrint();
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
    if (rowCount() > 0 && startsEditing(event)) {
        beginEditing();
        QKeyEvent again(event->type(), event->key(), event->modifiers(), event->text(),
                        event->isAutoRepeat(), event->count());
        QCoreApplication::sendEvent(editor_, &again);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End: {
        if (rowCount() == 0)
            return;
        const bool vertical = event->key() == Qt::Key_Up || event->key() == Qt::Key_Down ||
                              event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown;
        if (!vertical)
            preferredX_ = -1;
        const TextPosition to = moved(caret_, event->key(), event->modifiers());
        if (vertical && preferredX_ < 0) {
            QTextLayout layout;
            layOut(layout, rowText(caret_.row));
            preferredX_ = layout.lineAt(0).cursorToX(int(caret_.column));
        }
        const bool shift = event->modifiers() & Qt::ShiftModifier;
        setCaret(to, shift);
        if (shift)
            setPrimarySelection();
        return;
    }
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void HistoryView::mousePressEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    if (event->button() == Qt::MiddleButton && rowCount() > 0 &&
        QApplication::clipboard()->supportsSelection()) {
        // As in any text box on X: the primary selection is pasted there.
        setCaret(positionAt(point));
        beginEditing();
        editor_->insertPlainText(QApplication::clipboard()->text(QClipboard::Selection));
        return;
    }
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    preferredX_ = -1;
    const TextPosition at = positionAt(point);
    dragging_ = true;
    dragPoint_ = point;
    if (lastDoubleClick_.isValid() &&
        lastDoubleClick_.elapsed() < QApplication::doubleClickInterval() &&
        (point - doubleClickPoint_).manhattanLength() < QApplication::startDragDistance()) {
        // A third click: the whole row, its line end included.
        lastDoubleClick_.invalidate();
        unit_ = Unit::Row;
        pressStart_ = {at.row, 0};
        pressEnd_ = clamped({at.row + 1, 0});
        if (pressEnd_ == TextPosition{at.row, 0})
            pressEnd_ = {at.row, rowText(at.row).size()};
        select(pressStart_, pressEnd_);
        return;
    }
    unit_ = Unit::Character;
    setCaret(at, event->modifiers() & Qt::ShiftModifier);
    pressStart_ = pressEnd_ = anchor_;
}

void HistoryView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || rowCount() == 0)
        return QAbstractScrollArea::mouseDoubleClickEvent(event);
    const QPoint point = event->position().toPoint();
    const TextPosition at = positionAt(point);
    const auto [start, end] = wordAround(at);
    pressStart_ = {at.row, start};
    pressEnd_ = {at.row, end};
    unit_ = Unit::Word;
    dragging_ = true;
    select(pressStart_, pressEnd_);
    lastDoubleClick_.start();
    doubleClickPoint_ = point;
}

void HistoryView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton))
        return;
    dragPoint_ = event->position().toPoint();
    const TextPosition at = positionAt(dragPoint_);
    switch (unit_) {
    case Unit::Character:
        setCaret(at, true);
        break;
    case Unit::Word: {
        const auto [start, end] = wordAround(at);
        if (at < pressStart_)
            select(pressEnd_, {at.row, start});
        else
            select(pressStart_, {at.row, std::max(end, at.column)});
        break;
    }
    case Unit::Row:
        if (at.row < pressStart_.row)
            select(pressEnd_, {at.row, 0});
        else if (at.row + 1 < rowCount())
            select(pressStart_, {at.row + 1, 0});
        else
            select(pressStart_, {at.row, rowText(at.row).size()});
        break;
    }
    // Dragged past an edge: the view scrolls on while the button is held.
    if (viewport()->rect().contains(dragPoint_))
        scrollTimer_.stop();
    else if (!scrollTimer_.isActive())
        scrollTimer_.start(50, this);
}

void HistoryView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mouseReleaseEvent(event);
    dragging_ = false;
    scrollTimer_.stop();
    setPrimarySelection();
}

void HistoryView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != scrollTimer_.timerId())
        return QAbstractScrollArea::timerEvent(event);
    if (!dragging_ || !(QApplication::mouseButtons() & Qt::LeftButton)) {
        scrollTimer_.stop();
        return;
    }
    const QRect area = viewport()->rect();
    if (dragPoint_.x() < area.left())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (dragPoint_.x() > area.right())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    // Above or below: the selection reaches one row further, and the view
    // follows it.
    QMouseEvent move(QEvent::MouseMove, QPointF(dragPoint_), mapToGlobal(QPointF(dragPoint_)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    mouseMoveEvent(&move);
}

void HistoryView::contextMenuEvent(QContextMenuEvent* event) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copyAction = menu->addAction(QStringLiteral("&Copy"), this, &HistoryView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    QAction* pasteAction = menu->addAction(QStringLiteral("&Paste"), this, [this] {
        beginEditing();
        editor_->paste();
    });
    pasteAction->setShortcut(QKeySequence::Paste);
    pasteAction->setEnabled(rowCount() > 0 && !QApplication::clipboard()->text().isEmpty());
    menu->addSeparator();
    QAction* all = menu->addAction(QStringLiteral("Select All"), this, &HistoryView::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(rowCount() > 0);
    menu->popup(event->globalPos());
}

bool HistoryView::isEditing() const {
    return editor_ && !editor_->isHidden();
}

void HistoryView::beginEditing() {
    if (isEditing())
        return;
    if (!editor_) {
        editor_ = new QPlainTextEdit(this);
        editor_->setLineWrapMode(QPlainTextEdit::NoWrap);
        editor_->setTabChangesFocus(true);
        editor_->setHorizontalScrollBarPolicy(horizontalScrollBarPolicy());
        editor_->setVerticalScrollBarPolicy(verticalScrollBarPolicy());
        editor_->setAccessibleName(accessibleName());
        editor_->setLayoutDirection(Qt::LeftToRight);
    }
    // What the pane shows, long lines whole where the log still holds them.
    QString text;
    qint64 caretAt = 0, anchorAt = 0;
    const qsizetype rows = rowCount();
    for (qsizetype r = 0; r < rows; ++r) {
        QString row = rowText(r);
        qsizetype shown = row.size();
        if (matches_) {
            if (const auto cut = matches_->cutRow(r)) {
                QString whole;
                if (matches_->wholeRow(r, logPath_, whole).ok()) {
                    row = whole;
                    shown = cut->shown;
                }
            }
        }
        if (r == caret_.row)
            caretAt = text.size() + std::min(caret_.column, shown);
        if (r == anchor_.row)
            anchorAt = text.size() + std::min(anchor_.column, shown);
        text += row;
        if (r + 1 < rows)
            text += QLatin1Char('\n');
    }
    editor_->setPlainText(text);
    QTextCursor cursor(editor_->document());
    cursor.setPosition(int(anchorAt));
    cursor.setPosition(int(caretAt), QTextCursor::KeepAnchor);
    editor_->setTextCursor(cursor);
    editor_->setGeometry(rect());
    editor_->show();
    editor_->raise();
    editor_->verticalScrollBar()->setValue(verticalScrollBar()->value());
    editor_->horizontalScrollBar()->setValue(horizontalScrollBar()->value());
    // Focus given to the pane (a click, Tab) goes to the text being edited.
    setFocusProxy(editor_);
    editor_->setFocus(Qt::OtherFocusReason);
}

void HistoryView::endEditing() {
    if (!isEditing())
        return;
    const bool hadFocus = editor_->hasFocus();
    setFocusProxy(nullptr);
    editor_->hide();
    editor_->clear();
    if (hadFocus)
        setFocus(Qt::OtherFocusReason);
}

} // namespace tavrelo
