#pragma once

#include "LogReader.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace tavrelo::history {

// A lookup needs a call sign of at least this many characters.
constexpr qsizetype MinCallLength = 3;

// A matching line longer than this is shown cut short, with a note of its
// length: laying out megabytes of one line would freeze the window for seconds.
constexpr qsizetype MaxPaneLineBytes = 4000;

inline bool isLongEnough(const QString& call) {
    return call.size() >= MinCallLength;
}

// Finds the lines of a log that contain a call text, without regard to case,
// anywhere in the line. ASCII texts are matched on the raw bytes with ASCII
// case folding, so only matching lines are ever decoded; texts with letters
// beyond ASCII are matched on decoded lines with Unicode case folding.
class CallMatcher {
public:
    explicit CallMatcher(const QString& call);

    using LineHandler = std::function<void(const char* begin, const char* end)>;

    // Calls onMatch for every matching line of a block of whole lines
    // (see logfile::readLogBlocks), in file order, without its line end.
    void scan(const char* begin, const char* end, const LineHandler& onMatch) const;

    // Whether one line, without its end, matches: the plain definition that
    // scan() must agree with.
    bool matchesLine(const char* begin, const char* end) const;

private:
    const char* findAscii(const char* begin, const char* end) const;
    void scanAscii(const char* begin, const char* end, const LineHandler& onMatch) const;
    void scanUnicode(const char* begin, const char* end, const LineHandler& onMatch) const;

    QString folded_;    // the call text, case-folded
    QByteArray needle_; // the same as bytes, when it is ASCII
    bool ascii_ = true;
};

struct LookupResult {
    QString paneText; // matching lines, the last in the file first, each ended by CR LF
    qsizetype matches = 0;
    logfile::ReadResult read;
};

// Reads the whole log and collects every line that contains the call text.
LookupResult lookUp(const QString& logPath, const QString& call);

} // namespace tavrelo::history
