// SPDX-License-Identifier: GPL-3.0-or-later
#include "ContactKey.h"

#include "LogFile.h"
#include "LogReader.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace tavrelo::logfile {

namespace {

// The key of fields known to be ASCII, appended: what the text path of
// appendContactKey() gives for them, made on the bytes.
void appendAsciiKey(QByteArrayView date, QByteArrayView time, QByteArrayView band,
                    QByteArrayView call, QByteArray& keys) {
    time = time.first(std::min<qsizetype>(time.size(), 5));
    band = asciiTrimmed(band);
    call = asciiTrimmed(call);
    const qsizetype at = keys.size();
    const qsizetype size = date.size() + time.size() + band.size() + call.size() + 3;
    if (keys.capacity() < at + size)
        keys.reserve(std::max(2 * keys.capacity(), at + size));
    keys.resize(at + size);
    char* p = keys.data() + at;
    for (const char ch : date)
        *p++ = ch >= 'A' && ch <= 'Z' ? char(ch + 32) : ch;
    *p++ = '|';
    copyShort(p, time.data(), time.size());
    p += time.size();
    *p++ = '|';
    for (const char ch : band)
        *p++ = ch >= 'A' && ch <= 'Z' ? char(ch + 32) : ch;
    *p++ = '|';
    for (const char ch : call)
        *p++ = ch >= 'a' && ch <= 'z' ? char(ch - 32) : ch;
}

} // namespace

void contactKey(QByteArrayView date, QByteArrayView time, QByteArrayView band, QByteArrayView call,
                QByteArray& key) {
    key.resize(0); // keeps its room for the next key
    appendContactKey(date, time, band, call, key);
}

void appendContactKey(QByteArrayView date, QByteArrayView time, QByteArrayView band,
                      QByteArrayView call, QByteArray& keys) {
    if (isAscii(date) && isAscii(time) && isAscii(band) && isAscii(call)) {
        appendAsciiKey(date, time, band, call, keys);
        return;
    }
    keys +=
        (QString::fromUtf8(date).toLower() + QLatin1Char('|') + QString::fromUtf8(time).left(5) +
         QLatin1Char('|') + QString::fromUtf8(band).trimmed().toLower() + QLatin1Char('|') +
         QString::fromUtf8(call).trimmed().toUpper())
            .toUtf8();
}

bool logLineKey(const char* begin, const char* end, QByteArray& key) {
    key.resize(0); // keeps its room for the next key
    return appendLogLineKey(begin, end, key);
}

bool appendLogLineKey(const char* begin, const char* end, QByteArray& keys) {
    // The first four fields and where they end.
    const char* starts[4] = {begin};
    const char* ends[4] = {};
    int found = 1;
    for (const char* p = begin; found < 4;) {
        p = findNear(p, end, ',');
        if (!p)
            return false;
        if (end - p >= 3 && p[1] == ' ' && p[2] == ' ') {
            ends[found - 1] = p;
            starts[found++] = p + 3;
            p += 3;
        } else {
            ++p;
        }
    }
    const char* callEnd = starts[3];
    while (callEnd + 2 < end && !(callEnd[0] == ',' && callEnd[1] == ' ' && callEnd[2] == ' '))
        ++callEnd;
    ends[3] = callEnd + 2 < end ? callEnd : end;
    if (isAscii(QByteArrayView(begin, ends[3]))) {
        appendAsciiKey(QByteArrayView(starts[0], ends[0]), QByteArrayView(starts[1], ends[1]),
                       QByteArrayView(starts[2], ends[2]), QByteArrayView(starts[3], ends[3]),
                       keys);
        return true;
    }
    // Text beyond ASCII, perhaps in Windows-1252: the fields as text.
    const QStringList parts = decodeLine(begin, end).split(QLatin1String(FieldSeparator));
    appendContactKey(parts[0].toUtf8(), parts[1].toUtf8(), parts[2].toUtf8(), parts[3].toUtf8(),
                     keys);
    return true;
}

} // namespace tavrelo::logfile
