// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QStringList>

#include <memory>
#include <vector>

class QPlainTextEdit;
class QTextLayout;

namespace tavrelo {

namespace history {
class Matches;
}

// A place in the pane's text: a row and a character (UTF-16 unit) in it.
struct TextPosition {
    qsizetype row = 0;
    qsizetype column = 0;
    auto operator<=>(const TextPosition&) const = default;
};

// The history pane: a multi-line text box holding a lookup's matching
// lines, newest first, one row a line, not wrapped. Only the rows on screen
// are ever read from the lookup's result and laid out, so a million matches
// cost no more than ten. It behaves as a text box: a caret and a selection
// to the character, by mouse and keyboard, Copy, Select All, the X primary
// selection and a context menu. Copying gives the log's own text, long
// lines whole. The first edit (typing, deleting, pasting) turns the pane into
// an ordinary editable document holding the same text; the next lookup
// replaces it, and the log is never touched by it.
class HistoryView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit HistoryView(QWidget* parent);
    ~HistoryView() override;

    // logPath: the log the lines came from, to copy long lines whole.
    void showMatches(std::shared_ptr<const history::Matches> matches, const QString& logPath);
    // Plain lines in place of a history, such as an error.
    void showLines(const QStringList& lines);
    // Lets go of the result shown, keeping only the text of the rows on
    // screen, which stay as they are: a new lookup then reuses the old
    // result's memory rather than adding to it.
    void keepVisibleRowsOnly();

    qsizetype rowCount() const;
    QString rowText(qsizetype row) const;
    // Every row, each ended by CR LF.
    QString text() const;
    // The selection as the log holds it: rows ended by CR LF, long lines
    // whole. Empty, with error set, when a long line could not be read back.
    QString selectedText(QString* error = nullptr) const;
    bool hasSelection() const { return anchor_ != caret_; }
    TextPosition caret() const { return caret_; }
    TextPosition anchor() const { return anchor_; }
    void setCaret(TextPosition position, bool extendSelection = false);
    void select(TextPosition from, TextPosition to);
    void selectAll();
    void copy();
    // Whether the operator has started editing: the text is then in editor().
    bool isEditing() const;
    QPlainTextEdit* editor() const { return editor_; }

    // The text as one string with the rows joined by a line feed, as the
    // accessibility interface offers it.
    qint64 characterCount() const;
    qint64 offsetOf(TextPosition position) const;
    TextPosition positionOf(qint64 offset) const;
    // Where a character is on screen, in viewport coordinates, and which
    // character is at a point of the viewport.
    QRect characterRect(TextPosition position) const;
    TextPosition positionAt(QPoint point) const;
    void scrollTo(TextPosition position);
    // The word around a position: its start and end in the row.
    std::pair<qsizetype, qsizetype> wordAround(TextPosition position) const;

signals:
    // Something the operator should be told, such as a copy that failed.
    void problem(const QString& message);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void reset();
    void updateScrollBars();
    void noteWidth(qreal width);
    int rowHeight() const;
    int visibleRows() const;
    int textLeft() const;
    void layOut(QTextLayout& layout, const QString& text) const;
    TextPosition clamped(TextPosition position) const;
    TextPosition moved(TextPosition from, int key, Qt::KeyboardModifiers modifiers) const;
    bool startsEditing(QKeyEvent* event) const;
    void beginEditing();
    void endEditing();
    void setPrimarySelection();
    void selectionChanged();
    void textReplaced(const QString& oldText);
    QString accessibleText() const;
    // The selected part of one row, as the log holds it.
    bool appendRowPart(QString& out, qsizetype row, qsizetype from, qsizetype to,
                       QString* error) const;

    std::shared_ptr<const history::Matches> matches_;
    QString logPath_;
    QStringList lines_;
    qsizetype firstLine_ = 0; // the row of lines_[0]
    qsizetype rowCount_ = -1; // rows held while only some are kept, else -1
    TextPosition caret_;
    TextPosition anchor_;
    qreal preferredX_ = -1; // where Up and Down keep the caret
    qreal widest_ = 0;      // the widest row drawn so far
    // Where each row starts in the accessible text; filled when first asked.
    mutable std::vector<qint64> rowStarts_;
    // Mouse selection: by character, word or row; and the auto-scroll timer.
    enum class Unit { Character, Word, Row } unit_ = Unit::Character;
    TextPosition pressStart_, pressEnd_;
    QPoint dragPoint_;
    bool dragging_ = false;
    QBasicTimer scrollTimer_;
    QElapsedTimer lastDoubleClick_;
    QPoint doubleClickPoint_;
    QPlainTextEdit* editor_ = nullptr;
};

} // namespace tavrelo
