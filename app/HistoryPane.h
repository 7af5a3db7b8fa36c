#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QPlainTextEdit;

namespace tavrelo {

// Puts a lookup's result into the history pane. A first slice of lines goes
// in at once; a long result is appended slice by slice between events, so a
// keystroke never waits while tens of thousands of lines are laid out. A new
// result replaces one still being appended.
class HistoryPane : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype SliceLines = 500;

    HistoryPane(QPlainTextEdit* pane, QObject* parent);

    // text: lines ended by CR LF, the first line to stand on top.
    void show(const QString& text);
    bool isFilling() const { return pos_ < pending_.size(); }

private:
    void appendSlice();
    qsizetype sliceEnd(qsizetype from) const;

    QPlainTextEdit* pane_;
    QString pending_;
    qsizetype pos_ = 0;
    QTimer timer_;
};

} // namespace tavrelo
