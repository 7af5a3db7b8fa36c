// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LogReader.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <vector>

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

private:
    // Whether one decoded line holds a call text beyond ASCII.
    bool matchesDecoded(const char* begin, const char* end) const;
    const char* findAscii(const char* begin, const char* end) const;
    qsizetype rarestByte(const char* begin, const char* end) const;
    void scanAscii(const char* begin, const char* end, const LineHandler& onMatch) const;
    void scanUnicode(const char* begin, const char* end, const LineHandler& onMatch) const;

    QString folded_;    // the call text, case-folded
    QByteArray needle_; // the same as bytes, when it is ASCII
    bool ascii_ = true;
    mutable qsizetype anchor_ = -1; // the needle's byte the portable search looks for
};

// The lines of a log that matched a call text, as their places in the log:
// eight bytes a line, in blocks of 1 MiB; a row's bytes are read from the
// log when it is shown (only as much of a long line as the pane shows), so
// memory does not grow with the log. The log only grows at its end; should
// it be replaced, cut short or rewritten meanwhile, a row says so instead of
// showing what now stands there. Rows are newest first (see order()).
class Matches {
public:
    qsizetype size() const { return count_; }

    // The history's row r: decoded as UTF-8, else Windows-1252, a line too
    // long for the pane cut short with a note of its length.
    QString row(qsizetype r) const;
    // Rows first to last, each ended by CR LF: the history pane's text.
    QString text(qsizetype first, qsizetype last) const;
    QString text() const { return size() ? text(0, size() - 1) : QString(); }

    // A row cut short for the pane: the characters shown before the note,
    // and where the whole line lies in the log.
    struct CutRow {
        qsizetype shown = 0;
        qint64 offset = 0;
        qint64 length = 0;
        size_t hash = 0;
    };
    std::optional<CutRow> cutRow(qsizetype r) const;
    // The whole line of a cut row, read again from the log by its offset.
    // Fails, saying so, when the log no longer holds that very line there.
    OsError wholeRow(qsizetype r, const QString& logPath, QString& text) const;

    // The log the lines are read from; false when it cannot be opened.
    bool readFrom(const QString& logPath);
    // Whether other's lines were found in the log these are read from, as
    // it was then or grown since.
    bool sameLog(const Matches& other) const {
        return path_ == other.path_ && device_ == other.device_ && inode_ == other.inode_ &&
               size_ >= other.size_;
    }
    // Each line whole, in file order, read again from the log, with where it
    // starts; false, at once, when the log no longer holds one as it was.
    bool forEachLine(const std::function<void(const char*, const char*, qint64)>& onLine) const;
    // Adds the next matching line, without its line end; offset: where it
    // starts in the log.
    void add(const char* begin, const char* end, qint64 offset);
    // Adds the lines another found in the part of the log right after
    // these, as if each had been added here; both collect keys, or neither.
    // later is left without its lines' places.
    void append(Matches& later);
    // Puts the rows newest first by the contacts' date and time, the later
    // line in the file first among equal times. A line whose date and time
    // do not parse keeps its place after the line before it in the file. A
    // log in time order (as Save writes it) is just the file reversed, and
    // costs one look at each line. Otherwise the first and last screens of
    // rows are known at once, and the rest once finishOrder() has run, on
    // the same thread, right after: a row between them waits for it.
    void order(const std::atomic<bool>* stop = nullptr);
    void finishOrder(const std::atomic<bool>* stop = nullptr);
    // Has add() note each line's moment, for order(): eight bytes a line
    // more until the order is made, in blocks like the lines' places; they
    // belong to the thread that scans and orders.
    void collectKeys() { collecting_ = true; }

    Matches() = default;
    ~Matches();
    Matches(const Matches&) = delete;
    Matches& operator=(const Matches&) = delete;

    // Places, keys and order live in blocks of this size, taken from a pool
    // that keeps the blocks of earlier lookups: a lookup writes into pages
    // the process already has, instead of faulting in fresh ones. Small
    // blocks leave little of their last one unused.
    static constexpr size_t BlockBytes = size_t(1) << 20;
    static constexpr int ChunkBits = 17; // a block holds 2^17 lines' places or keys

private:
    static constexpr qsizetype IndexChunk = qsizetype(1) << ChunkBits;
    static constexpr qsizetype OrderChunk = qsizetype(BlockBytes / sizeof(quint32));
    static_assert(IndexChunk * sizeof(quint64) == BlockBytes);
    struct Log {
        explicit Log(const Matches& m);
        ~Log();
        Log(const Log&) = delete;
        Log& operator=(const Log&) = delete;
        int fd = -1;
    };
    // The bytes the pane needs of a line, read from the log; empty when
    // the log changed.
    QByteArray kept(const Log& log, qsizetype line) const;
    QString row(const Log& log, qsizetype r) const;
    qsizetype keptSize(qsizetype line) const {
        return qsizetype(index_[size_t(line / IndexChunk)][line % IndexChunk] & KeptMask);
    }
    static constexpr quint64 KeptMask = (quint64(1) << 13) - 1;
    // A hash of a long line's bytes, and an 11-bit check of the kept bytes
    // of every line, to tell that they changed.
    static size_t hashOf(const char* begin, qsizetype size);
    static quint64 checkOf(const char* begin, qsizetype size);
    struct LongLine {
        qsizetype line;
        qint64 length;
        qint64 offset;
        size_t hash;
    };
    const LongLine* longLine(qsizetype line) const;
    qsizetype lineOfRow(qsizetype r) const {
        if (!outOfOrder_)
            return size() - 1 - r;
        if (r < qsizetype(head_.size()))
            return head_[size_t(r)];
        if (r >= size() - qsizetype(tail_.size()))
            return tail_[size_t(size() - 1 - r)];
        return middleLine(r);
    }
    qsizetype middleLine(qsizetype r) const;
    // Blocks from the pool that keeps those of earlier lookups.
    static char* takeBlock();
    static void giveBlock(void* block);
    // The next line's order key, and later's keys after these lines'.
    void noteKey(const char* begin, const char* end);
    void appendKeys(Matches& later);
    void dropKeys();
    // The order keys of every line, for a reader that sorts for itself.
    std::vector<quint64*> makeKeys() const;
    // Sorts the keys of every line into order_, each of their blocks given
    // back once the order is past it.
    void fillOrder(std::vector<quint64*> keys) const;
    static constexpr size_t EdgeRows = 256; // rows ordered before the rest

    // The log, and what it was when read.
    QString path_;
    quint64 device_ = 0, inode_ = 0;
    qint64 size_ = 0;
    // Per line: its offset in the log << 24 | 11 bits of a hash of the
    // bytes the pane needs << 13 | how many they are.
    std::vector<quint64*> index_;
    std::vector<LongLine> longLines_;
    // When the file is not in time order: the lines of the first and the
    // last rows, and of every row, oldest first, in blocks from the pool
    // once sorted (written by the lookup's thread before orderReady_ is
    // set, or by the reader itself when the sort was superseded).
    bool collecting_ = false;
    std::vector<quint64*> keys_; // line by line, as index_, while collected
    quint64 previousMoment_ = 0;
    bool inOrder_ = true;
    bool outOfOrder_ = false;
    std::vector<quint32> head_, tail_;
    mutable std::vector<quint32*> order_;
    bool orderPending_ = false;
    std::promise<void> orderPromise_;
    std::shared_future<void> orderReady_;
    mutable bool orderKnown_ = false;
    qsizetype count_ = 0;
};

struct LookupResult {
    std::shared_ptr<Matches> matches = std::make_shared<Matches>();
    logfile::ReadResult read;
    bool partial = false; // only the newest rows, the whole result to follow
    qsizetype count() const { return matches->size(); }
    QString paneText() const { return matches->text(); }
};

// Makes the matcher use the search that serves every processor, as it does
// where there is no x86 vector search; for tests and benchmarks.
void usePortableSearch(bool on);
// Lookups of logs of fromBytes or more read the second half on a second
// thread; for tests and benchmarks (fromBytes past any log's size reads
// every log on one).
void splitLookups(qint64 fromBytes);
// Results of fromLines or more lines are put in order on two threads; for
// tests. Returns the number before.
qsizetype splitOrders(qsizetype fromLines);

// What the log was when last read whole: which file, how long, and for
// each block of ShapeBlock bytes how new a line that starts in it can be:
// the newest moment of its lines, where a line whose moment does not parse
// counts as new as the newest line before it (in a lookup, it takes the
// moment of the matching line before it).
struct LogShape {
    quint64 device = 0, inode = 0;
    qint64 size = 0;
    static constexpr qint64 ShapeBlock = qint64(4) << 10;
    std::vector<quint64> newestIn;    // [i]: of the lines starting in block i
    std::vector<quint32> newestFirst; // the blocks, newest first
};
// Reads the log through once, so that it is in the page cache, and notes
// its shape.
logfile::ReadResult prepare(const QString& logPath, const std::atomic<bool>* stop = nullptr,
                            LogShape* shape = nullptr);

// The newest rows of a log, at once: the blocks the shape tells are the
// newest are looked through, newest first, until rows lines that hold the
// text are newer than any line of the blocks not looked at. Those lines
// are the first rows of the whole result, whatever the rest of the log
// holds; fewer when a few MiB did not turn up as many. The log must be the
// one shape describes, grown only at its end (the lines appended since are
// looked at first). Nothing when no such line turns up; the whole lookup
// says it all anyway, its older rows after these.
std::optional<LookupResult> lookUpNewest(const QString& logPath, const QString& call,
                                         const LogShape& shape, qsizetype rows,
                                         const std::atomic<bool>* stop = nullptr);

// What a lookup looked through, finished or stopped: its text, how far into
// the log, and the lines it found there.
struct Scanned {
    QString folded; // the text, case-folded
    qint64 to = 0;
    std::shared_ptr<const Matches> matches;
};
// A lookup for a text that holds the scanned one (a call typed on) looks
// again only at the lines it found, when they are at most this many, and
// at the log from where it ended: while a call is typed fast, the log is
// read about once.
constexpr qsizetype NarrowedLines = 4096;
// Whether a lookup of call can narrow what scanned found, as far as the
// texts tell (the log is asked too, when the lookup starts).
inline bool narrows(const Scanned& scanned, const QString& call) {
    return scanned.matches && call.toCaseFolded().contains(scanned.folded);
}

// Reads the whole log and finds every line that contains the call text. A
// set stop flag ends it early, with the status Stopped. orderNow false
// leaves the rows between the first and last screens to be put in order by
// the caller's matches->finishOrder(), once the result is on its way.
// scanned, when given, is what the lookup before looked through, and is
// then made what this one did.
LookupResult lookUp(const QString& logPath, const QString& call,
                    const std::atomic<bool>* stop = nullptr, bool orderNow = true,
                    Scanned* scanned = nullptr);

} // namespace tavrelo::history
