// SPDX-License-Identifier: GPL-3.0-or-later
#include "HistoryAccessible.h"

#include "HistoryView.h"

#include <QAccessibleWidget>

#include <algorithm>
#include <climits>

namespace tavrelo {

namespace {

// The pane's text for assistive technology: its rows joined by line feeds,
// read from the pane row by row, so that a screen reader moving line by
// line over a million rows never makes the whole text.
class HistoryAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit HistoryAccessible(HistoryView* view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.multiLine = true;
        s.editable = true;
        s.selectableText = true;
        s.focusable = true;
        return s;
    }

    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || !view()->hasSelection())
            return;
        const qint64 a = view()->offsetOf(view()->anchor());
        const qint64 c = view()->offsetOf(view()->caret());
        *start = toInt(std::min(a, c));
        *end = toInt(std::max(a, c));
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { view()->setCaret(view()->caret()); }
    void setSelection(int, int start, int end) override {
        view()->select(view()->positionOf(start), view()->positionOf(end));
    }
    int cursorPosition() const override { return toInt(view()->offsetOf(view()->caret())); }
    void setCursorPosition(int position) override {
        view()->setCaret(view()->positionOf(position));
    }

    using QAccessibleWidget::text; // the name, value and description
    QString text(int start, int end) const override {
        const qint64 count = view()->characterCount();
        const qint64 from = std::clamp<qint64>(start, 0, count);
        const qint64 to = end < 0 ? count : std::clamp<qint64>(end, from, count);
        if (from >= to)
            return {};
        const TextPosition a = view()->positionOf(from), b = view()->positionOf(to);
        QString out;
        for (qsizetype r = a.row; r <= b.row; ++r) {
            const QString row = view()->rowText(r);
            const qsizetype f = r == a.row ? a.column : 0;
            const qsizetype t = r == b.row ? b.column : row.size();
            out += QStringView(row).mid(f, t - f);
            if (r < b.row)
                out += QLatin1Char('\n');
        }
        return out;
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                         int* end) const override {
        return item(offset, type, start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                             int* end) const override {
        qint64 s, e;
        itemAt(offset, type, s, e);
        if (type == QAccessible::CharBoundary)
            s = std::clamp<qint64>(offset, 0, view()->characterCount());
        if (s <= 0) {
            *start = *end = -1;
            return {};
        }
        return item(int(s - 1), type, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                            int* end) const override {
        qint64 s, e;
        itemAt(offset, type, s, e);
        if (e >= view()->characterCount()) {
            *start = *end = -1;
            return {};
        }
        return item(int(e), type, start, end);
    }

    int characterCount() const override { return toInt(view()->characterCount()); }

    QRect characterRect(int offset) const override {
        const QRect r = view()->characterRect(view()->positionOf(offset));
        return QRect(view()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        return toInt(view()->offsetOf(view()->positionAt(local)));
    }
    void scrollToSubstring(int start, int end) override {
        view()->scrollTo(view()->positionOf(end));
        view()->scrollTo(view()->positionOf(start));
    }
    QString attributes(int, int* start, int* end) const override {
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    HistoryView* view() const { return static_cast<HistoryView*>(widget()); }
    static int toInt(qint64 n) { return int(std::min<qint64>(n, INT_MAX)); }

    // The character, word, line or whole text that holds offset.
    void itemAt(qint64 offset, QAccessible::TextBoundaryType type, qint64& start,
                qint64& end) const {
        const qint64 count = view()->characterCount();
        offset = std::clamp<qint64>(offset, 0, count);
        const TextPosition p = view()->positionOf(offset);
        const qint64 rowStart = offset - p.column;
        switch (type) {
        case QAccessible::CharBoundary:
            start = offset;
            end = std::min(offset + 1, count);
            return;
        case QAccessible::WordBoundary: {
            const auto [s, e] = view()->wordAround(p);
            start = rowStart + s;
            end = rowStart + e;
            return;
        }
        case QAccessible::NoBoundary:
            start = 0;
            end = count;
            return;
        default: // sentences, paragraphs and lines: a row, with its line feed
            start = rowStart;
            end = rowStart + view()->rowText(p.row).size() + (p.row + 1 < view()->rowCount());
            return;
        }
    }
    QString item(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const {
        qint64 s, e;
        itemAt(offset, type, s, e);
        *start = toInt(s);
        *end = toInt(e);
        return text(*start, *end);
    }
};

QAccessibleInterface* historyFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("tavrelo::HistoryView") && object && object->isWidgetType())
        return new HistoryAccessible(static_cast<HistoryView*>(object));
    return nullptr;
}

} // namespace

void installHistoryAccessible() {
    static const bool installed = [] {
        QAccessible::installFactory(historyFactory);
        return true;
    }();
    (void)installed;
}

} // namespace tavrelo
