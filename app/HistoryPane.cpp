#include "HistoryPane.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace tavrelo {

HistoryPane::HistoryPane(QPlainTextEdit* pane, QObject* parent) : QObject(parent), pane_(pane) {
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, &HistoryPane::appendSlice);
}

qsizetype HistoryPane::sliceEnd(qsizetype from) const {
    qsizetype end = from;
    for (qsizetype n = 0; n < SliceLines && end < pending_.size(); ++n) {
        const qsizetype nl = pending_.indexOf(QLatin1Char('\n'), end);
        end = nl < 0 ? pending_.size() : nl + 1;
    }
    return end;
}

void HistoryPane::show(const QString& text) {
    timer_.stop();
    pending_ = text;
    pos_ = sliceEnd(0);
    pane_->setPlainText(pos_ == pending_.size() ? pending_ : pending_.left(pos_));
    if (isFilling())
        timer_.start();
    else
        pending_.clear();
}

void HistoryPane::appendSlice() {
    const qsizetype end = sliceEnd(pos_);
    QTextDocument* document = pane_->document();
    const bool undo = document->isUndoRedoEnabled();
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(pending_.mid(pos_, end - pos_));
    document->setUndoRedoEnabled(undo);
    pos_ = end;
    if (!isFilling()) {
        timer_.stop();
        pending_.clear();
        pos_ = 0;
    }
}

} // namespace tavrelo
