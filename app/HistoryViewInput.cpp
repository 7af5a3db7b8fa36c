// SPDX-License-Identifier: GPL-3.0-or-later
// The history pane's keys, mouse and editing: how the operator moves,
// selects and copies in it, and turns it into a box to edit a line.
#include "HistoryView.h"

#include "CallHistory.h"
#include "HistoryAccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace tavrelo {

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
