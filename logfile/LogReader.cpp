#include "LogReader.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tavrelo::logfile {

namespace {

// Small enough to stay in the processor's cache while it is scanned.
constexpr size_t ChunkSize = 256 * 1024;

// Windows-1252 bytes 0x80 to 0x9F; the rest of the code page is Latin-1.
// The five unassigned bytes map to themselves, as Windows does.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

ReadResult failed(const QString& path, int err) {
    ReadResult r;
    r.status = ReadStatus::Failed;
    r.error = LogError{QStringLiteral("read"), path, err, QString::fromLocal8Bit(std::strerror(err))};
    return r;
}

} // namespace

LineSpan lineAround(const char* blockBegin, const char* blockEnd, const char* p) {
    const void* prevNl = memrchr(blockBegin, '\n', size_t(p - blockBegin));
    const char* begin = prevNl ? static_cast<const char*>(prevNl) + 1 : blockBegin;
    const void* nl = memchr(p, '\n', size_t(blockEnd - p));
    const char* end = nl ? static_cast<const char*>(nl) : blockEnd;
    if (end > begin && end[-1] == '\r' && nl)
        --end;
    return {begin, end};
}

ReadResult readLogBlocks(const QString& path, const BlockHandler& onBlock) {
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT) {
            ReadResult r;
            r.status = ReadStatus::Missing;
            return r;
        }
        return failed(path, errno);
    }

    std::vector<char> buffer(ChunkSize);
    size_t filled = 0; // bytes of an unfinished line kept at the front
    ReadResult result;
    for (;;) {
        if (filled == buffer.size())
            buffer.resize(buffer.size() * 2); // a line longer than the buffer
        const ssize_t n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result = failed(path, errno);
            break;
        }
        if (n == 0) {
            if (filled > 0)
                onBlock(buffer.data(), buffer.data() + filled);
            break;
        }
        const char* fresh = buffer.data() + filled;
        filled += size_t(n);
        const void* lastNl = memrchr(fresh, '\n', size_t(n));
        if (!lastNl)
            continue;
        const char* blockEnd = static_cast<const char*>(lastNl) + 1;
        onBlock(buffer.data(), blockEnd);
        const size_t rest = size_t(buffer.data() + filled - blockEnd);
        memmove(buffer.data(), blockEnd, rest);
        filled = rest;
    }
    ::close(fd);
    return result;
}

bool isValidUtf8(const char* begin, const char* end) {
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const auto* e = reinterpret_cast<const unsigned char*>(end);
    while (p < e) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int len;
        unsigned min;
        unsigned cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (e - p < len)
            return false;
        for (int i = 1; i < len; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += len;
    }
    return true;
}

QString decodeLine(const char* begin, const char* end) {
    const qsizetype n = end - begin;
    if (isValidUtf8(begin, end))
        return QString::fromUtf8(begin, n);
    QString text(n, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(begin[i]);
        out[i] = (b >= 0x80 && b < 0xA0) ? QChar(cp1252High[b - 0x80]) : QChar(b);
    }
    return text;
}

} // namespace tavrelo::logfile
