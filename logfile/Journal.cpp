// SPDX-License-Identifier: GPL-3.0-or-later
#include "Journal.h"

#include "LogFile.h"
#include "OpenLog.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace tavrelo::logfile {

namespace {

constexpr quint64 HashFactor = 0x9E3779B97F4A7C15ull;

inline quint64 mix(quint64 h, quint64 w) {
    h = (h ^ w) * HashFactor;
    return h ^ (h >> 29);
}

// Eight bytes at a time, then the last few one by one.
quint64 hashTail(quint64 h, const char* data, qsizetype i, qsizetype size) {
    for (; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, data + i, 8);
        h = mix(h, w);
    }
    for (; i < size; ++i)
        h = mix(h, static_cast<unsigned char>(data[i]));
    return h ^ (h >> 32);
}

constexpr char Magic[] = "Tavrelo journal 3\n";

QByteArray hex(quint64 v) {
    return QByteArray::number(v, 16).rightJustified(16, '0');
}

// Four bytes a value, least first, in base64, appended a few at a time: a
// large append has millions.
void appendPacked(QByteArray& out, const std::vector<quint32>& values) {
    QByteArray bytes;
    for (size_t at = 0; at < values.size(); at += 3 * 1024) {
        const size_t n = std::min<size_t>(3 * 1024, values.size() - at);
        bytes.resize(qsizetype(n * 4));
        char* w = bytes.data();
        for (size_t i = at; i < at + n; ++i) {
            for (int b = 0; b < 4; ++b)
                *w++ = char(values[i] >> (8 * b));
        }
        out += bytes.toBase64();
    }
}

bool unpack(const QByteArray& text, std::vector<quint32>& values) {
    const QByteArray bytes = QByteArray::fromBase64(text);
    if (bytes.size() % 4 != 0)
        return false;
    values.resize(size_t(bytes.size() / 4));
    for (size_t i = 0; i < values.size(); ++i) {
        quint32 v = 0;
        for (int b = 0; b < 4; ++b)
            v |= quint32(quint8(bytes[qsizetype(4 * i) + b])) << (8 * b);
        values[i] = v;
    }
    return true;
}

void writePart(QByteArray& out, const char* name, const JournalPart& p) {
    out += QByteArray(name) + ' ' + QByteArray::number(p.before) + ' ' +
           QByteArray::number(p.size) + '\n';
    appendPacked(out, p.chunks);
    out += '\n';
    appendPacked(out, p.pages);
    out += '\n';
}

bool readPart(const QList<QByteArray>& lines, int at, const char* name, JournalPart& p) {
    const QList<QByteArray> words = lines.value(at).split(' ');
    if (words.size() != 3 || words[0] != name)
        return false;
    bool ok[2];
    p.before = words[1].toLongLong(&ok[0]);
    p.size = words[2].toLongLong(&ok[1]);
    const qint64 firstPage = (p.before + Page - 1) / Page * Page;
    const qint64 pages =
        p.before + p.size > firstPage ? (p.before + p.size - firstPage + Page - 1) / Page : 0;
    return ok[0] && ok[1] && p.before >= 0 && p.size >= 0 &&
           unpack(lines.value(at + 1), p.chunks) && unpack(lines.value(at + 2), p.pages) &&
           qint64(p.pages.size()) == pages &&
           std::all_of(p.pages.begin(), p.pages.end(),
                       [&](quint32 i) { return i < p.chunks.size(); });
}

bool allNul(const char* data, qsizetype size) {
    return std::all_of(data, data + size, [](char c) { return c == 0; });
}

} // namespace

// Four chains side by side over a block, 32 bytes at a time, then joined:
// the processor works on all four at once. Short pieces hash eight bytes at
// a time.
quint64 blockHash(const char* data, qsizetype size) {
    quint64 h = quint64(size) * HashFactor ^ 0x6a09e667f3bcc908ull;
    if (size < 128)
        return hashTail(h, data, 0, size);
    quint64 a = h, b = h ^ 0x243f6a8885a308d3ull, c = h ^ 0x13198a2e03707344ull,
            d = h ^ 0xa4093822299f31d0ull;
    qsizetype i = 0;
    for (; i + 32 <= size; i += 32) {
        quint64 w[4];
        std::memcpy(w, data + i, 32);
        a = mix(a, w[0]);
        b = mix(b, w[1]);
        c = mix(c, w[2]);
        d = mix(d, w[3]);
    }
    h = mix(mix(mix(a, b), c), d);
    return hashTail(h, data, i, size);
}

quint32 chunkHash(const char* data, qsizetype size) {
    return quint32(blockHash(data, size));
}

QString journalPath(const QString& logPath) {
    return besideLog(logPath, QLatin1Char('.') + QString::fromLatin1(machineName()) +
                                  QStringLiteral(".journal"));
}

QString legacyJournalPath(const QString& logPath) {
    return besideLog(logPath, QStringLiteral(".journal"));
}

QString canonicalLogPath(const QString& logPath) {
    const QFileInfo info(logPath);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

QByteArray machineName() {
    static const QByteArray name = [] {
        for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            QFile f(QString::fromLatin1(path));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QByteArray id = f.read(64).trimmed();
            if (id.size() >= 12 && std::all_of(id.begin(), id.end(), [](char c) {
                    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                }))
                return id.left(12);
        }
        // No machine id: the host's name stands in for it.
        QFile host(QStringLiteral("/proc/sys/kernel/hostname"));
        const QByteArray h = host.open(QIODevice::ReadOnly) ? host.readAll().trimmed() : "";
        return hex(blockHash(h.constData(), h.size())).left(12);
    }();
    return name;
}

QByteArray journalText(const Journal& j) {
    QByteArray out = Magic;
    out.reserve(qsizetype(256 + (j.log.chunks.size() + j.fields.chunks.size() + j.log.pages.size() +
                                 j.fields.pages.size()) *
                                    16 / 3));
    out += "machine " + j.machine + ' ' + QByteArray::number(j.logInode) + ' ' +
           j.logPath.toUtf8().toBase64() + '\n';
    writePart(out, "log", j.log);
    writePart(out, "fields", j.fields);
    out += "check " + hex(blockHash(out.constData(), out.size())) + '\n';
    return out;
}

bool parseJournal(const QByteArray& text, Journal& j) {
    const qsizetype check = text.lastIndexOf("check ");
    if (!text.startsWith(Magic) || check < 0 || !text.endsWith('\n') ||
        text.mid(check + 6, 16) != hex(blockHash(text.constData(), check)))
        return false;
    const QList<QByteArray> lines = text.left(check).split('\n');
    const QList<QByteArray> machine = lines.value(1).split(' ');
    if (machine.size() != 4 || machine[0] != "machine")
        return false;
    j.machine = machine[1];
    bool ok = false;
    j.logInode = machine[2].toULongLong(&ok);
    j.logPath = QString::fromUtf8(QByteArray::fromBase64(machine[3]));
    return ok && readPart(lines, 2, "log", j.log) && readPart(lines, 5, "fields", j.fields);
}

// Every byte after the recorded size is compared with the journal, chunk by
// chunk; nothing is taken on trust. A page of NULs from some point to its
// end is a page the disk lost (a file that grew without its data): the
// append's, torn. A run of NULs that ends inside a page is a hole a torn
// write left; what follows it in that page cannot be checked, and counts
// as the append's only when a later chunk is shown to be its own (other
// programs append at the end, never in the middle of it). The part of a
// chunk that the file ends in holds no line end (see Page): the end of a
// write of ours cut short.
Inspection inspect(int fd, const JournalPart& p) {
    Inspection result;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        result.found = Found::Foreign;
        return result;
    }
    result.fileSize = st.st_size;
    result.exact = st.st_size == p.before + p.size;
    if (p.size == 0)
        result.found = Found::Complete; // nothing was to be appended there
    else if (st.st_size <= p.before)
        result.found = st.st_size == p.before ? Found::Nothing : Found::Foreign;
    if (p.size == 0 || st.st_size <= p.before)
        return result;

    const qint64 end = std::min<qint64>(st.st_size, p.before + p.size);
    const qint64 firstPage = (p.before + Page - 1) / Page * Page;
    QByteArray window; // the bytes from windowStart on
    qint64 windowStart = p.before;
    // The bytes [from, to), read in pieces of 1 MiB as the walk needs them.
    const auto bytesAt = [&](qint64 from, qint64 to) -> const char* {
        if (from < windowStart || to > windowStart + window.size()) {
            windowStart = from;
            window.resize(
                qsizetype(std::min<qint64>(end - from, std::max<qint64>(to - from, 1 << 20))));
            if (readAt(fd, window.data(), window.size(), from) != window.size())
                return nullptr;
        }
        return window.constData() + (from - windowStart);
    };
    bool lost = false;
    bool unproven = false; // bytes after a hole, until a chunk of ours follows
    size_t index = 0;
    for (qint64 at = p.before; at < end;) {
        const qint64 pageEnd = std::min<qint64>((at / Page + 1) * Page, end);
        const char* bytes = bytesAt(at, pageEnd);
        if (!bytes) {
            result.found = Found::Foreign;
            return result;
        }
        const char* lineEnd =
            static_cast<const char*>(std::memchr(bytes, '\n', size_t(pageEnd - at)));
        const qint64 chunkEnd = lineEnd ? at + (lineEnd - bytes) + 1 : pageEnd;
        const bool whole = lineEnd || chunkEnd % Page == 0 || chunkEnd == p.before + p.size;
        const bool ours =
            !whole || (index < p.chunks.size() && chunkHash(bytes, chunkEnd - at) == p.chunks[index]);
        if (!ours || *bytes == 0) {
            // A lost page (NULs to its end), or a hole a torn write left
            // in it: the walk goes on at the chunk the next page starts
            // with. Anything else is not the append's.
            if (!std::memchr(bytes, 0, size_t(pageEnd - at))) {
                result.found = Found::Foreign;
                return result;
            }
            unproven = unproven || !allNul(bytes, pageEnd - at);
            lost = true;
            at = pageEnd;
            if (at < end)
                index = p.pages[size_t((at - firstPage) / Page)];
            continue;
        }
        // else: the part of a chunk the file ends in, without a line end.
        unproven = unproven && !whole;
        ++index;
        at = chunkEnd;
    }
    if (unproven || (lost && st.st_size > p.before + p.size)) {
        // Bytes after a hole that nothing of ours vouches for, or a torn
        // append with other bytes behind it: none of it can go.
        result.found = Found::Foreign;
        return result;
    }
    result.found = end == p.before + p.size && !lost ? Found::Complete : Found::Torn;
    return result;
}

} // namespace tavrelo::logfile
