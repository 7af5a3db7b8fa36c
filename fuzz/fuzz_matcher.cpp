// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the vector search of the history lookup against the plain per-line
// definition of a match, for ASCII and non-ASCII call texts alike.
#include "CallHistory.h"
#include "Oracle.h"

#include <QFile>
#include <QList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t n = std::min<size_t>(data[0] % 12, size - 1);
    const QString call = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(n));
    const char* begin = reinterpret_cast<const char*>(data + 1 + n);
    const char* end = reinterpret_cast<const char*>(data + size);

    const tavrelo::history::CallMatcher matcher(call);
    QList<QByteArray> found;
    matcher.scan(begin, end, [&](const char* b, const char* e) { found << QByteArray(b, e - b); });

    QList<QByteArray> expected;
    for (const QByteArray& line : tavrelo::oracle::plainLines(QByteArray(begin, end - begin))) {
        if (tavrelo::oracle::plainMatch(line, call))
            expected << line;
    }
    if (found != expected)
        std::abort();
    return 0;
}
