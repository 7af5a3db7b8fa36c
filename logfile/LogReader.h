// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LogFile.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>

namespace tavrelo::logfile {

enum class ReadStatus {
    Read,    // the whole log was read
    Missing, // there is no log (deleted or renamed while the program runs)
    Failed,  // the log exists but could not be read; see error
    Stopped, // the reader was asked to stop before the end
};

struct ReadResult {
    ReadStatus status = ReadStatus::Read;
    OsError error;
    // The file that was read (when it could be opened): its identity, its
    // size when opened, and the offset just past the last byte read.
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long end = 0;
};

// Whether every byte is below 0x80, looked at eight at a time.
inline bool isAscii(QByteArrayView bytes) {
    const char* p = bytes.data();
    qsizetype n = bytes.size();
    quint64 seen = 0;
    for (; n >= 8; p += 8, n -= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        seen |= w;
    }
    for (; n > 0; ++p, --n)
        seen |= static_cast<unsigned char>(*p);
    return (seen & 0x8080808080808080ull) == 0;
}

// The first c from p on before end, or null: a plain look at the few bytes
// of a field first, where a call of memchr would take longer, then memchr.
inline const char* findNear(const char* p, const char* end, char c) {
    for (const char* near = p + std::min<qsizetype>(end - p, 16); p < near; ++p) {
        if (*p == c)
            return p;
    }
    return p < end ? static_cast<const char*>(std::memchr(p, c, size_t(end - p))) : nullptr;
}

// Copies n bytes: a few fixed-size moves for the few bytes of a box's text,
// where a call of memcpy would take longer than the copying.
inline void copyShort(char* to, const char* from, qsizetype n) {
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(to, from, size_t(n));
            return;
        }
        quint64 a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        quint32 a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// The view without the ASCII whitespace (space, tab, line breaks) at its
// ends, as QByteArrayView::trimmed() gives it, without a call.
inline QByteArrayView asciiTrimmed(QByteArrayView v) {
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!v.isEmpty() && space(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && space(v.back()))
        v.chop(1);
    return v;
}

// Whether every byte is printable ASCII, 32 to 126: eight bytes at a time,
// a byte below 32 or above 126 setting its top bit in the test word. Words
// are looked at in pairs and the answer taken once for the pair: a record
// of a few hundred bytes is seldom anything else.
inline bool isPrintable(QByteArrayView bytes) {
    constexpr quint64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const auto bad = [](quint64 w) { return ((w - 32 * ones) & ~w) | (w + ones) | w; };
    const char* b = bytes.data();
    const char* const e = b + bytes.size();
    for (; e - b >= 16; b += 16) {
        quint64 w[2];
        std::memcpy(w, b, 16);
        if ((bad(w[0]) | bad(w[1])) & highs)
            return false;
    }
    if (e - b >= 8) {
        quint64 w;
        std::memcpy(&w, b, 8);
        if (bad(w) & highs)
            return false;
        b += 8;
    }
    for (; b < e; ++b) {
        if (static_cast<unsigned char>(*b) < 32 || static_cast<unsigned char>(*b) > 126)
            return false;
    }
    return true;
}

// A line ends with CR LF, LF, or a lone CR (as old editors wrote).

// Reads size bytes of the log from offset into out: fewer only where the
// log ends first.
OsError readLogBytes(const QString& path, qint64 offset, qint64 size, QByteArray& out);

// When a contact was made, from its line's first two fields (2006-Nov-18
// and 14:05 or 14:05:33): 0 when they are not a date and a time, else a
// number of 38 bits that orders as the moments do, the year, month, day,
// hour, minute and second from the highest bits down (12, 4, 5, 5, 6, 6).
quint64 contactMoment(const char* begin, const char* end);

// Receives a run of whole lines, [begin, end). Every line in it is ended,
// except that the log's last line may have no end at all.
using BlockHandler = std::function<void(const char* begin, const char* end)>;

// Reads the log from start to end in chunks with read(), never mapping it,
// and never blocking on a FIFO or device put in the log's place (an error),
// so that an editor truncating the file during a scan cannot crash us.
// Memory stays at one chunk, or at the longest line if that is longer.
// Chunks are small enough to stay in the processor's cache while scanned.
// A set stop flag ends the reading after the current chunk (Stopped).
// from: the offset to start at, the start of a line, for a reader that
// follows the log as it grows.
constexpr size_t DefaultChunkSize = 512 * 1024;
ReadResult readLogBlocks(const QString& path, const BlockHandler& onBlock,
                         size_t chunkSize = DefaultChunkSize,
                         const std::atomic<bool>* stop = nullptr, long long from = 0);

// Calls onLine for every line of a block, without its line end.
template <typename F> void forEachLine(const char* begin, const char* end, F&& onLine);

// A log line as text: UTF-8 when it is valid UTF-8, otherwise Windows-1252,
// as written by older 8-bit programs.
QString decodeLine(const char* begin, const char* end);
// The same, written to out, which has room for end - begin characters (a
// byte never gives more than one UTF-16 unit); returns the units written.
qsizetype decodeLineInto(const char* begin, const char* end, QChar* out);

// The line that contains position p of a block, without its line end.
struct LineSpan {
    const char* begin;
    const char* end;
};
LineSpan lineAround(const char* blockBegin, const char* blockEnd, const char* p);
// The end of the line that holds p: its CR or LF, or end.
const char* lineEnd(const char* p, const char* end);
// The start of the line after the one that ends at lineEnd.
const char* nextLine(const char* lineEnd, const char* end);

template <typename F> void forEachLine(const char* begin, const char* end, F&& onLine) {
    const char* p = begin;
    while (p < end) {
        const char* e = lineEnd(p, end);
        onLine(p, e);
        p = nextLine(e, end);
    }
}

} // namespace tavrelo::logfile
