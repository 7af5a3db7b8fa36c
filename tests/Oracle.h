// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Plain, independent definitions of what the log reader and the history
// matcher must compute, for the tests and fuzz targets to check them
// against. Written byte by byte on purpose: they share no helper with the
// code they check.

#include "LogReader.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace tavrelo::oracle {

// The lines of a log: a line ends with CR LF, LF or a lone CR; the last
// line may have no end.
inline QList<QByteArray> plainLines(const QByteArray& log) {
    QList<QByteArray> lines;
    QByteArray line;
    for (qsizetype i = 0; i < log.size(); ++i) {
        const char c = log[i];
        if (c == '\r' || c == '\n') {
            lines << line;
            line.clear();
            if (c == '\r' && i + 1 < log.size() && log[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.isEmpty())
        lines << line;
    return lines;
}

// Whether a line contains the call text, case ignored: an ASCII call on the
// raw bytes with A-Z folded, any other call on the decoded line.
inline bool plainMatch(const QByteArray& line, const QString& call) {
    bool ascii = true;
    for (const QChar c : call)
        ascii = ascii && c.unicode() < 0x80;
    if (!ascii)
        return logfile::decodeLine(line.constBegin(), line.constEnd())
            .contains(call, Qt::CaseInsensitive);
    const QByteArray needle = call.toLatin1();
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (qsizetype start = 0; start + needle.size() <= line.size(); ++start) {
        qsizetype k = 0;
        while (k < needle.size() && lower(line[start + k]) == lower(needle[k]))
            ++k;
        if (k == needle.size())
            return true;
    }
    return false;
}

} // namespace tavrelo::oracle
