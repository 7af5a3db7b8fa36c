// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogReader.h"

#include "OpenLog.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrelo::logfile {

namespace {

// Windows-1252 bytes 0x80 to 0x9F; the rest of the code page is Latin-1.
// The five unassigned bytes map to themselves, as Windows does.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

const QString readAction = QStringLiteral("read the log");

ReadResult failed(const OsError& error) {
    ReadResult r;
    r.status = ReadStatus::Failed;
    r.error = error;
    return r;
}

// The last byte c in [begin, end), or nullptr: the C library's vectorised
// memrchr() where it has one, a plain loop elsewhere.
const char* findLast(const char* begin, const char* end, char c) {
#if defined(__GLIBC__)
    return static_cast<const char*>(memrchr(begin, c, size_t(end - begin)));
#else
    for (const char* p = end; p > begin;) {
        if (*--p == c)
            return p;
    }
    return nullptr;
#endif
}

} // namespace

const char* lineEnd(const char* p, const char* end) {
    const void* nl = memchr(p, '\n', size_t(end - p));
    const char* limit = nl ? static_cast<const char*>(nl) : end;
    // Only the stretch before the LF is searched for a CR, so that a log
    // without any CR is not searched to its end for every line.
    const void* cr = memchr(p, '\r', size_t(limit - p));
    return cr ? static_cast<const char*>(cr) : limit;
}

const char* nextLine(const char* lineEnd, const char* end) {
    if (lineEnd >= end)
        return end;
    if (lineEnd[0] == '\r' && lineEnd + 1 < end && lineEnd[1] == '\n')
        return lineEnd + 2;
    return lineEnd + 1;
}

LineSpan lineAround(const char* blockBegin, const char* blockEnd, const char* p) {
    const char* prevNl = findLast(blockBegin, p, '\n');
    const char* begin = prevNl ? prevNl + 1 : blockBegin;
    if (const char* prevCr = findLast(begin, p, '\r'))
        begin = prevCr + 1;
    return {begin, lineEnd(p, blockEnd)};
}

namespace {

// Just past the last line end of [b, e), or nullptr when there is none. A CR
// as the very last byte counts only at the end of the file: in the middle
// its LF may still follow in the next chunk.
const char* pastLastLineEnd(const char* b, const char* e, bool endOfFile) {
    const char* nl = findLast(b, e, '\n');
    const char* from = nl ? nl + 1 : b;
    const char* crEnd = endOfFile ? e : e - 1;
    if (crEnd > from) {
        if (const char* cr = findLast(from, crEnd, '\r'))
            return cr + 1;
    }
    return nl ? from : nullptr;
}

// Reads [data, data + capacity) full from fd; returns the bytes read, and
// sets error (an errno) and last (the end of the file was reached).
size_t readChunk(int fd, char* data, size_t capacity, int& error, bool& last) {
    size_t size = 0;
    while (size < capacity) {
        const ssize_t n = ::read(fd, data + size, capacity - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0) {
            last = true;
            break;
        }
        size += size_t(n);
    }
    return size;
}

} // namespace

ReadResult readLogBlocks(const QString& path, const BlockHandler& onBlock, size_t chunkSize,
                         const std::atomic<bool>* stop, long long from) {
    OsError openError;
    struct stat st;
    const int fd = openLog(path, O_RDONLY, readAction, openError, nullptr, &st);
    if (fd < 0) {
        if (openError.error == ENOENT) {
            ReadResult r;
            r.status = ReadStatus::Missing;
            return r;
        }
        return failed(openError);
    }

    // Read on the calling thread. (A second thread reading ahead was
    // measured: a little quicker when most lines match, slower for the rare
    // call that is the common case, and one more thread for the window to
    // share its cores with.)
    ReadResult result;
    result.device = st.st_dev;
    result.inode = st.st_ino;
    result.size = st.st_size;
    if (from > 0 && ::lseek(fd, off_t(from), SEEK_SET) < 0) {
        const int err = errno;
        ::close(fd);
        return failed(OsError::fromErrno(readAction, path, err));
    }
    result.end = std::max(from, 0LL);
    std::vector<char> chunk(std::max<size_t>(chunkSize, 1));
    std::vector<char> carry; // a line begun in an earlier chunk
    auto flushCarry = [&] {
        onBlock(carry.data(), carry.data() + carry.size());
        carry.clear();
    };
    for (;;) {
        int error = 0;
        bool last = false;
        const char* b = chunk.data();
        const char* e = b + readChunk(fd, chunk.data(), chunk.size(), error, last);
        result.end += e - b;
        // A CR held back at the end of the last chunk was a line end of
        // its own unless this chunk starts with its LF.
        if (!carry.empty() && carry.back() == '\r' && b < e && *b != '\n')
            flushCarry();
        if (!carry.empty() && b < e) {
            const char* end = lineEnd(b, e);
            const char* upTo = end < e ? nextLine(end, e) : e;
            // A CR at the chunk's end waits for the next chunk.
            const bool whole = end < e && (*end == '\n' || upTo < e || last);
            if (end < e && !whole)
                upTo = e;
            carry.insert(carry.end(), b, upTo);
            b = upTo;
            if (whole)
                flushCarry();
        }
        if (const char* blockEnd = pastLastLineEnd(b, e, last)) {
            onBlock(b, blockEnd);
            b = blockEnd;
        }
        carry.insert(carry.end(), b, e);
        if (last) {
            if (error)
                result = failed(OsError::fromErrno(readAction, path, error));
            else if (!carry.empty())
                flushCarry();
            break;
        }
        if (stop && stop->load(std::memory_order_relaxed)) {
            result.status = ReadStatus::Stopped;
            break;
        }
    }
    ::close(fd);
    return result;
}

qsizetype decodeLineInto(const char* begin, const char* end, QChar* out) {
    const qsizetype n = end - begin;
    bool ascii = true;
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(begin[i]);
        out[i] = QChar(b);
        ascii = ascii && b < 0x80;
    }
    if (ascii)
        return n;
    if (QByteArrayView(begin, end).isValidUtf8()) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        return utf8.appendToBuffer(out, QByteArrayView(begin, n)) - out;
    }
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(begin[i]);
        if (b >= 0x80 && b < 0xA0)
            out[i] = QChar(cp1252High[b - 0x80]);
    }
    return n;
}

OsError readLogBytes(const QString& path, qint64 offset, qint64 size, QByteArray& out) {
    OsError error;
    const int fd = openLog(path, O_RDONLY, readAction, error);
    if (fd < 0)
        return error;
    out.resize(qsizetype(size));
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out.data() + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = OsError::fromErrno(readAction, path, errno);
            break;
        }
        if (n == 0)
            break;
        done += n;
    }
    ::close(fd);
    out.truncate(qsizetype(done));
    return error;
}

namespace {
// Reads up to maxDigits digits at p; -1 when there is none.
int digitsAt(const char*& p, const char* end, int maxDigits) {
    int value = 0, n = 0;
    while (p < end && n < maxDigits && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        ++n;
    }
    return n ? value : -1;
}
} // namespace

namespace {
// The month of a three-letter English name, any case; 0 for none. Looked up
// in a table rather than by comparisons: in a log not in time order the
// months come at random, and every wrong guess of a comparison costs.
constexpr quint32 monthKey(const char* name) {
    return (quint32(quint8(name[0])) << 16 | quint32(quint8(name[1])) << 8 |
            quint32(quint8(name[2]))) |
           0x202020; // lower case, for letters
}
// This multiplier gives each of the twelve names a slot of its own.
constexpr quint32 monthSlot(quint32 key) {
    return (key * 0x2D94Cu) >> 24 & 15;
}
struct MonthTable {
    quint32 key[16] = {};
    int month[16] = {};
};
constexpr MonthTable monthTable = [] {
    const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    MonthTable table;
    for (int m = 0; m < 12; ++m) {
        const quint32 slot = monthSlot(monthKey(names[m]));
        if (table.month[slot])
            throw "two months share a slot"; // stops the build
        table.key[slot] = monthKey(names[m]);
        table.month[slot] = m + 1;
    }
    return table;
}();
int monthOf(const char* name) {
    const quint32 key = monthKey(name);
    const quint32 slot = monthSlot(key);
    return monthTable.key[slot] == key ? monthTable.month[slot] : 0;
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
quint64 packMoment(int year, int month, int day, int hour, int minute, int second) {
    return quint64(year) << 26 | quint64(month) << 22 | quint64(day) << 17 | quint64(hour) << 12 |
           quint64(minute) << 6 | quint64(second);
}
int twoDigitsAt(const char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}
} // namespace

quint64 contactMoment(const char* p, const char* end) {
    // The form Save writes, 2006-Nov-18,  14:05:33, read at fixed places.
    if (end - p >= 20 && p[4] == '-' && p[8] == '-' && p[11] == ',' && p[12] == ' ' &&
        p[13] == ' ' && p[16] == ':' && isDigit(p[0]) && isDigit(p[1]) && isDigit(p[2]) &&
        isDigit(p[3]) && isDigit(p[9]) && isDigit(p[10]) && isDigit(p[14]) && isDigit(p[15]) &&
        isDigit(p[17]) && isDigit(p[18])) {
        const int year = twoDigitsAt(p) * 100 + twoDigitsAt(p + 2);
        const int month = monthOf(p + 5), day = twoDigitsAt(p + 9);
        const int hour = twoDigitsAt(p + 14), minute = twoDigitsAt(p + 17);
        int second = 0;
        bool whole = month && day >= 1 && day <= 31 && hour <= 23 && minute <= 59;
        if (p[19] == ':') {
            whole = whole && end - p >= 22 && isDigit(p[20]) && isDigit(p[21]) &&
                    (end - p == 22 || p[22] == ',' || p[22] == ' ');
            second = whole ? twoDigitsAt(p + 20) : 0;
            whole = whole && second <= 60;
        } else {
            whole = whole && (p[19] == ',' || p[19] == ' ');
        }
        if (whole)
            return packMoment(year, month, day, hour, minute, second);
    }
    auto skipSpaces = [&] {
        while (p < end && *p == ' ')
            ++p;
    };
    skipSpaces();
    const int year = digitsAt(p, end, 4);
    if (year < 0 || end - p < 5 || *p++ != '-')
        return 0;
    const int month = monthOf(p) - 1;
    p += 3;
    if (month < 0 || p == end || *p++ != '-')
        return 0;
    const int day = digitsAt(p, end, 2);
    if (day < 1 || day > 31 || p == end || *p++ != ',')
        return 0;
    skipSpaces();
    const int hour = digitsAt(p, end, 2);
    if (hour < 0 || hour > 23 || p == end || *p++ != ':')
        return 0;
    const int minute = digitsAt(p, end, 2);
    if (minute < 0 || minute > 59)
        return 0;
    int second = 0;
    if (p < end && *p == ':') {
        ++p;
        second = digitsAt(p, end, 2);
        if (second < 0 || second > 60)
            return 0;
    }
    skipSpaces();
    if (p < end && *p != ',')
        return 0;
    return packMoment(year, month + 1, day, hour, minute, second);
}

QString decodeLine(const char* begin, const char* end) {
    QString text(end - begin, Qt::Uninitialized);
    text.truncate(decodeLineInto(begin, end, text.data()));
    return text;
}

} // namespace tavrelo::logfile
