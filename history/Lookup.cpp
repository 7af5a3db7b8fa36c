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
