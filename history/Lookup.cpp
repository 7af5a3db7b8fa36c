// SPDX-License-Identifier: GPL-3.0-or-later
// Lookups: the log read through for the lines that hold a text.
#include "CallHistory.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace tavrelo::history {

namespace {

// A log of this many bytes from where a lookup starts has its second half
// read on a thread of its own meanwhile: two processors read a log in about
// half the time.
qint64 splitFrom = qint64(16) << 20;

// Adds the matching lines from offset on to matches, in file order; offset
// ends where the reading did.
logfile::ReadResult scanFrom(const QString& logPath, const CallMatcher& matcher, Matches& matches,
                             qint64& offset, const std::atomic<bool>* stop) {
    return logfile::readLogBlocks(
        logPath,
        [&](const char* begin, const char* end) {
            matcher.scan(begin, end, [&](const char* b, const char* e) {
                matches.add(b, e, offset + (b - begin));
            });
            offset += end - begin;
        },
        logfile::DefaultChunkSize, stop, offset);
}

// Where the first line at or after position at starts; -1 when none does
// within a few MiB.
qint64 lineStartFrom(const QString& logPath, qint64 at) {
    QByteArray bytes;
    for (qint64 from = at; from < at + (qint64(4) << 20); from += bytes.size()) {
        if (!logfile::readLogBytes(logPath, from, 64 << 10, bytes).ok() || bytes.isEmpty())
            return -1;
        if (const qsizetype nl = bytes.indexOf('\n'); nl >= 0)
            return from + nl + 1;
    }
    return -1;
}

// The same as scanFrom(), the log's second half read on a thread of its own
// meanwhile, when it is large.
logfile::ReadResult scanOn(const QString& logPath, const QString& call, const CallMatcher& matcher,
                           Matches& matches, qint64& offset, const std::atomic<bool>* stop) {
    struct stat st;
    if (::stat(QFile::encodeName(logPath).constData(), &st) != 0 || st.st_size - offset < splitFrom)
        return scanFrom(logPath, matcher, matches, offset, stop);
    const qint64 middle = lineStartFrom(logPath, offset + (st.st_size - offset) / 2);
    if (middle <= offset || middle >= st.st_size)
        return scanFrom(logPath, matcher, matches, offset, stop);

    // The second half's lines, found as the first half's are, added after
    // them once both are read.
    Matches later;
    later.collectKeys();
    qint64 halfEnd = middle;
    logfile::ReadResult half;
    std::atomic<bool> halfStop{false};
    std::thread second([&] {
        const CallMatcher own(call); // a matcher keeps state as it searches
        half = logfile::readLogBlocks(
            logPath,
            [&](const char* begin, const char* end) {
                own.scan(begin, end, [&](const char* b, const char* e) {
                    later.add(b, e, halfEnd + (b - begin));
                });
                halfEnd += end - begin;
                if (stop && *stop)
                    halfStop = true;
            },
            logfile::DefaultChunkSize, &halfStop, middle);
    });
    // The first half, up to the middle.
    std::atomic<bool> firstStop{false};
    logfile::ReadResult first = logfile::readLogBlocks(
        logPath,
        [&](const char* begin, const char* end) {
            const char* cut = begin + std::min<qint64>(end - begin, middle - offset);
            matcher.scan(begin, cut, [&](const char* b, const char* e) {
                matches.add(b, e, offset + (b - begin));
            });
            offset += cut - begin;
            if (offset >= middle || (stop && *stop))
                firstStop = true;
        },
        logfile::DefaultChunkSize, &firstStop, offset);
    second.join();
    if (first.status == logfile::ReadStatus::Failed || first.status == logfile::ReadStatus::Missing)
        return first;
    if (offset < middle) { // stopped, or the log cut short meanwhile
        if (first.status == logfile::ReadStatus::Stopped && !(stop && *stop))
            first.status = logfile::ReadStatus::Read;
        return first;
    }
    if (half.status == logfile::ReadStatus::Failed || half.status == logfile::ReadStatus::Missing)
        return half;
    matches.append(later);
    offset = halfEnd;
    return half;
}

} // namespace

void splitLookups(qint64 fromBytes) {
    splitFrom = fromBytes;
}

logfile::ReadResult prepare(const QString& logPath, const std::atomic<bool>* stop,
                            LogShape* shape) {
    // The log read once, into the system's cache, which the lookups share
    // with every other program; nothing of it is kept here but its shape.
    std::vector<quint64> newestBefore{0};
    quint64 newest = 0;
    qint64 blockOffset = 0;
    const logfile::ReadResult read = logfile::readLogBlocks(
        logPath,
        [&](const char* begin, const char* end) {
            if (!shape)
                return;
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                const qint64 start = blockOffset + (b - begin);
                while (qint64(newestBefore.size()) * LogShape::ShapeBlock <= start)
                    newestBefore.push_back(newest);
                newest = std::max(newest, logfile::contactMoment(b, e));
            });
            blockOffset += end - begin;
        },
        logfile::DefaultChunkSize, stop);
    if (shape && read.status == logfile::ReadStatus::Read) {
        while (qint64(newestBefore.size()) * LogShape::ShapeBlock <= read.size)
            newestBefore.push_back(newest);
        *shape =
            LogShape{quint64(read.device), quint64(read.inode), read.size, std::move(newestBefore)};
    }
    return read;
}

std::optional<LookupResult> lookUpNewest(const QString& logPath, const QString& call,
                                         const LogShape& shape, qsizetype rows,
                                         const std::atomic<bool>* stop) {
    // The last MiB first; a text found in fewer lines than rows there is
    // looked for further back too (a call worked now and then), when that
    // reaches back past older lines.
    constexpr qint64 LastBytes = qint64(1) << 20, FurtherBytes = qint64(8) << 20;
    struct stat st;
    if (shape.newestBefore.empty() || ::stat(QFile::encodeName(logPath).constData(), &st) != 0 ||
        quint64(st.st_dev) != shape.device || quint64(st.st_ino) != shape.inode ||
        st.st_size < shape.size)
        return std::nullopt;
    // Where to look from, on a stretch's start the shape knows: at most
    // back bytes from the end, and all that was appended since.
    const auto startFor = [&](qint64 back) {
        const qint64 from = std::min(std::max<qint64>(0, st.st_size - back), shape.size);
        return from - from % LogShape::ShapeBlock;
    };
    const auto newestBefore = [&](qint64 from) {
        return shape.newestBefore[size_t(from / LogShape::ShapeBlock)];
    };
    const CallMatcher matcher(call);
    // The matching lines, in order, from the first line that starts at or
    // after from on, that are as new as every line before from. A line
    // whose moment does not parse takes the one of the matching line before
    // it, as in the whole lookup: one before any other there cannot be
    // placed.
    const auto scanTail = [&](qint64 from) -> std::optional<LookupResult> {
        LookupResult result;
        result.partial = true;
        if (!result.matches->readFrom(logPath))
            return std::nullopt;
        result.matches->collectKeys();
        const quint64 oldest = newestBefore(from);
        quint64 previous = 0;
        bool unplaced = false;
        // Read from the byte before, to tell whether a line starts right at
        // from; one that started before is the shape's, and passed over.
        qint64 blockOffset = std::max<qint64>(0, from - 1);
        bool lineStart = from == 0;
        result.read = logfile::readLogBlocks(
            logPath,
            [&](const char* begin, const char* end) {
                const char* b = begin;
                if (!lineStart) {
                    const char* e = logfile::lineEnd(b, end);
                    lineStart = e < end;
                    b = logfile::nextLine(e, end);
                }
                matcher.scan(b, end, [&](const char* lb, const char* le) {
                    if (const quint64 moment = logfile::contactMoment(lb, le))
                        previous = moment;
                    else
                        unplaced = unplaced || (previous == 0 && oldest > 0);
                    if (previous >= oldest)
                        result.matches->add(lb, le, blockOffset + (lb - begin));
                });
                blockOffset += end - begin;
            },
            logfile::DefaultChunkSize, stop, std::max<qint64>(0, from - 1));
        if (result.read.status != logfile::ReadStatus::Read || unplaced)
            return std::nullopt;
        result.matches->order(stop);
        result.matches->finishOrder(stop);
        return result;
    };
    const qint64 from = startFor(LastBytes);
    if (st.st_size - from > FurtherBytes)
        return std::nullopt; // much appended since the log was read whole
    std::optional<LookupResult> result = scanTail(from);
    if (!result)
        return std::nullopt;
    if (const qint64 further = startFor(FurtherBytes);
        result->count() < rows && newestBefore(further) < newestBefore(from)) {
        if (auto more = scanTail(further); more && more->read.end == result->read.end)
            result = std::move(more);
    }
    if (result->count() == 0)
        return std::nullopt;
    return result;
}

LookupResult lookUp(const QString& logPath, const QString& call, const std::atomic<bool>* stop,
                    bool orderNow, Scanned* scanned) {
    const CallMatcher matcher(call);
    auto matches = std::make_shared<Matches>();
    matches->collectKeys();
    LookupResult result;
    if (!matches->readFrom(logPath)) {
        result.read = logfile::readLogBlocks(logPath, [](const char*, const char*) {});
        if (scanned)
            *scanned = {};
        return result; // missing, or the reason it cannot be read
    }
    const QString folded = call.toCaseFolded();
    // Blocks come in file order, each one right after the last.
    qint64 blockOffset = 0;
    if (scanned && narrows(*scanned, call) && matches->sameLog(*scanned->matches)) {
        // The lines the text before found hold every line before where it
        // ended that holds this one.
        const bool same =
            scanned->matches->forEachLine([&](const char* b, const char* e, qint64 offset) {
                matcher.scan(b, e, [&](const char*, const char*) { matches->add(b, e, offset); });
            });
        if (same) {
            blockOffset = scanned->to;
        } else {
            matches = std::make_shared<Matches>();
            matches->collectKeys();
            matches->readFrom(logPath);
        }
    }
    result.read = scanOn(logPath, call, matcher, *matches, blockOffset, stop);
    if (scanned) {
        const bool looked = result.read.status == logfile::ReadStatus::Read ||
                            result.read.status == logfile::ReadStatus::Stopped;
        *scanned = looked && matches->size() <= NarrowedLines
                       ? Scanned{folded, blockOffset, matches}
                       : Scanned{};
    }
    if (result.read.status == logfile::ReadStatus::Read) {
        matches->order(stop);
        if (orderNow)
            matches->finishOrder(stop);
    }
    result.matches = std::move(matches);
    return result;
}

} // namespace tavrelo::history
