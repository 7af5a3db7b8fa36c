// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractScrollArea>
#include <QStringList>

#include <memory>

namespace tavrelo {

namespace history {
class Matches;
}

// The history pane. It shows a lookup's matching lines, newest first, one
// row a line, not wrapped; only the rows on screen are ever read from the
// log and drawn, so a million matches cost no more than ten. Rows are
// selected whole, with the mouse or Shift and the arrow keys; Ctrl+A selects
// every row and Ctrl+C copies the selected rows, each ended by CR LF.
class HistoryView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit HistoryView(QWidget* parent);

    void showMatches(std::shared_ptr<const history::Matches> matches);
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
    QString selectedText() const;
    qsizetype currentRow() const { return current_; }
    bool hasSelection() const { return selected_; }
    void selectAll();
    void copy() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void reset();
    void updateScrollBars();
    void moveTo(qsizetype row, bool extendSelection);
    qsizetype rowAt(int y) const;
    int rowHeight() const;
    int visibleRows() const;
    QString rows(qsizetype first, qsizetype last) const;

    std::shared_ptr<const history::Matches> matches_;
    QStringList lines_;
    qsizetype firstLine_ = 0; // the row of lines_[0]
    qsizetype rowCount_ = -1; // rows held while only some are kept, else -1
    qsizetype current_ = 0;   // the caret's row
    qsizetype anchor_ = 0;    // where the selection began
    bool selected_ = false;   // rows anchor_ to current_ are selected
};

} // namespace tavrelo
