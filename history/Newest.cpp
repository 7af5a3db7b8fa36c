// SPDX-License-Identifier: GPL-3.0-or-later
// The log's shape, and from it the newest rows of a lookup at once.
#include "CallHistory.h"

#include "OpenLog.h"

#include <algorithm>
#include <numeric>
#include <queue>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::history {

logfile::ReadResult prepare(const QString& logPath, const std::atomic<bool>* stop,
                            LogShape* shape) {
    // The log read once, into the system's cache, which the lookups share
    // with every other program; nothing of it is kept here but its shape.
    std::vector<quint64> newestIn;
    quint64 newest = 0;
    qint64 blockOffset = 0;
    const logfile::ReadResult read = logfile::readLogBlocks(
        logPath,
        [&](const char* begin, const char* end) {
            if (!shape)
                return;
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                const auto block = size_t((blockOffset + (b - begin)) / LogShape::ShapeBlock);
                if (newestIn.size() <= block)
                    newestIn.resize(block + 1, 0);
                const quint64 moment = logfile::contactMoment(b, e);
                newestIn[block] = std::max(newestIn[block], moment ? moment : newest);
                newest = std::max(newest, moment);
            });
            blockOffset += end - begin;
        },
        logfile::DefaultChunkSize, stop);
    if (shape && read.status == logfile::ReadStatus::Read) {
        std::vector<quint32> newestFirst(newestIn.size());
        std::iota(newestFirst.begin(), newestFirst.end(), 0u);
        std::sort(newestFirst.begin(), newestFirst.end(), [&](quint32 a, quint32 b) {
            return newestIn[a] != newestIn[b] ? newestIn[a] > newestIn[b] : a > b;
        });
        *shape = LogShape{quint64(read.device), quint64(read.inode), read.size, std::move(newestIn),
                          std::move(newestFirst)};
    }
    return read;
}

namespace {

// Calls onLines(begin, end, offset) once with the lines that start in
// [from, to) of the open log, whole (the last may run on past to), and
// where the first starts; false when the log cannot be read there.
template <typename F> bool linesStartingIn(int fd, qint64 from, qint64 to, F&& onLines) {
    const qint64 at = std::max<qint64>(0, from - 1); // to tell whether a line starts at from
    for (qint64 size = to - at + LogShape::ShapeBlock;; size *= 2) {
        QByteArray bytes(qsizetype(size), Qt::Uninitialized);
        const qint64 got = logfile::readAt(fd, bytes.data(), size, at);
        if (got < 0)
            return false;
        const char* begin = bytes.constData();
        const char* end = begin + got;
        // A line that started before from belongs to the block before.
        const char* first =
            from == 0 ? begin : logfile::nextLine(logfile::lineEnd(begin, end), end);
        // The last line that starts before to must end within the bytes
        // read, and its CR not be the last of them, unless the log ends.
        const char* last = first;
        const char* lastEnd = first;
        for (const char* b = first; b < end && at + (b - begin) < to;) {
            last = b;
            lastEnd = logfile::lineEnd(b, end);
            b = logfile::nextLine(lastEnd, end);
        }
        if (got == size && last < end && lastEnd >= end - 1)
            continue;
        onLines(first, last < end ? lastEnd : last, at + (first - begin));
        return true;
    }
}

} // namespace

std::optional<LookupResult> lookUpNewest(const QString& logPath, const QString& call,
                                         const LogShape& shape, qsizetype rows,
                                         const std::atomic<bool>* stop) {
    // At most this much of the blocks is read here: a text found in few
    // lines is the whole lookup's to show. And at most so much appended
    // since the shape was taken, all of which is read.
    constexpr qint64 MostBytes = qint64(2) << 20, MostAppended = qint64(8) << 20;
    if (shape.newestIn.empty())
        return std::nullopt;
    OsError error;
    struct stat st;
    const int fd = logfile::openLog(logPath, O_RDONLY, QStringLiteral("read"), error, nullptr, &st);
    if (fd < 0)
        return std::nullopt;
    if (quint64(st.st_dev) != shape.device || quint64(st.st_ino) != shape.inode ||
        st.st_size < shape.size || st.st_size - shape.size > MostAppended) {
        ::close(fd);
        return std::nullopt;
    }
    const CallMatcher matcher(call);
    struct Line {
        qint64 offset;
        quint64 moment;
        QByteArray bytes;
    };
    std::vector<Line> found;
    std::priority_queue<quint64> notYetNewer; // moments of found lines
    qsizetype newer = 0;                      // found lines newer than every line not looked at
    bool unplaced = false;
    // The lines of a stretch that hold the text. A line whose moment does
    // not parse takes the one of the matching line before it, as in the
    // whole lookup: the first one of the stretch cannot be placed.
    const auto lookAt = [&](qint64 from, qint64 to) {
        return linesStartingIn(fd, from, to, [&](const char* begin, const char* end, qint64 at) {
            quint64 previous = 0;
            matcher.scan(begin, end, [&](const char* b, const char* e) {
                if (const quint64 moment = logfile::contactMoment(b, e))
                    previous = moment;
                unplaced = unplaced || previous == 0;
                found.push_back({at + (b - begin), previous, QByteArray(b, e - b)});
                notYetNewer.push(previous);
            });
        });
    };
    // The lines appended since the shape was taken first, then the blocks
    // newest first, until enough lines are newer than any not looked at.
    bool read = lookAt(shape.size, st.st_size);
    qint64 looked = 0;
    size_t next = 0;
    const auto newestNotLooked = [&] {
        return next < shape.newestFirst.size() ? shape.newestIn[shape.newestFirst[next]] : 0;
    };
    for (;;) {
        while (!notYetNewer.empty() && notYetNewer.top() > newestNotLooked()) {
            notYetNewer.pop();
            ++newer;
        }
        if (!read || unplaced || newer >= rows || next == shape.newestFirst.size() ||
            looked >= MostBytes || (stop && *stop))
            break;
        // A run of blocks newest first that lie one before the other (as
        // in a log in time order) is read at once, up to RunBlocks.
        constexpr size_t RunBlocks = 64;
        const quint32 last = shape.newestFirst[next];
        quint32 first = last;
        for (++next; next < shape.newestFirst.size() && last - first + 1 < RunBlocks &&
                     shape.newestFirst[next] + 1 == first;
             ++next)
            first = shape.newestFirst[next];
        const qint64 from = qint64(first) * LogShape::ShapeBlock;
        const qint64 to = std::min((qint64(last) + 1) * LogShape::ShapeBlock, shape.size);
        read = lookAt(from, to);
        looked += to - from;
    }
    ::close(fd);
    if (!read || unplaced || (stop && *stop))
        return std::nullopt;
    // Those lines, in the file's order, as the whole lookup finds them. A
    // line as new as the newest not looked at is first only after them in
    // the file: after the latest block of that moment not looked at.
    const quint64 notLooked = newestNotLooked();
    const qint64 after = next < shape.newestFirst.size()
                             ? (qint64(shape.newestFirst[next]) + 1) * LogShape::ShapeBlock
                             : 0;
    std::erase_if(found, [&](const Line& l) {
        return l.moment < notLooked || (l.moment == notLooked && l.offset < after);
    });
    if (found.empty())
        return std::nullopt;
    std::sort(found.begin(), found.end(),
              [](const Line& a, const Line& b) { return a.offset < b.offset; });
    LookupResult result;
    result.partial = true;
    if (!result.matches->readFrom(logPath))
        return std::nullopt;
    result.matches->collectKeys();
    for (const Line& l : found)
        result.matches->add(l.bytes.constData(), l.bytes.constData() + l.bytes.size(), l.offset);
    result.read.status = logfile::ReadStatus::Read;
    result.read.device = st.st_dev;
    result.read.inode = st.st_ino;
    result.read.size = result.read.end = st.st_size;
    result.matches->order(stop);
    result.matches->finishOrder(stop);
    return result;
}

} // namespace tavrelo::history
