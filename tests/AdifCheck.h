// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A check of exported ADIF for the tests and the fuzz targets.

#include <QByteArray>
#include <QString>

namespace tavrelo::testing {

// What is wrong with one exported ADIF record, or nothing: each tag's
// length ends its value where the next tag or the <EOR> starts, and an
// ASCII record holds printable ASCII only (and CR LF, which multiline
// fields keep); a UTF-8 record's values are UTF-8. Read on its own,
// sharing nothing with the program's reader.
inline QString adifRecordFault(const QByteArray& record, bool utf8) {
    if (!record.endsWith(" <EOR>\n"))
        return QStringLiteral("no <EOR> at the end");
    const QByteArray body = record.chopped(7);
    qsizetype pos = 0;
    while (pos < body.size()) {
        if (body[pos] != '<')
            return QStringLiteral("no tag at %1").arg(pos);
        const qsizetype colon = body.indexOf(':', pos), close = body.indexOf('>', pos);
        if (colon < 0 || close < colon)
            return QStringLiteral("a tag without its length at %1").arg(pos);
        bool ok = false;
        const qsizetype length = body.mid(colon + 1, close - colon - 1).toLongLong(&ok);
        if (!ok || close + 1 + length > body.size())
            return QStringLiteral("a length past the record at %1").arg(pos);
        const QByteArray value = body.mid(close + 1, length);
        pos = close + 1 + length;
        if (pos < body.size() && (body[pos] != ' ' || pos + 1 == body.size()))
            return QStringLiteral("a value runs on at %1").arg(pos);
        pos += pos < body.size() ? 1 : 0;
        if (utf8 && !QUtf8StringView(value).isValidUtf8())
            return QStringLiteral("a value that is not UTF-8: %1").arg(QString::fromLatin1(value));
        const QByteArray withoutLineBreaks = QByteArray(value).replace("\r\n", "");
        for (const char c : withoutLineBreaks) {
            if (!utf8 && (c < 32 || c > 126))
                return QStringLiteral("a byte beyond ASCII: %1").arg(QString::fromLatin1(value));
        }
    }
    return {};
}

} // namespace tavrelo::testing
