// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the record builder against a plain reference: eight fields in, one
// line out, ended by CR LF, with no other line break nor any other control
// character in it.
#include "LogFile.h"

#include <QFile>
#include <QList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is eight fields of UTF-8, separated by 0x1F bytes.
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\x1f');
    tavrelo::logfile::Fields fields;
    for (int i = 0; i < tavrelo::logfile::FieldCount; ++i)
        fields[size_t(i)] = QString::fromUtf8(parts.value(i));

    const QByteArray record = tavrelo::logfile::buildRecord(fields);

    QString expected;
    for (int i = 0; i < tavrelo::logfile::FieldCount; ++i) {
        QString f = fields[size_t(i)];
        f.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
        expected += (i ? QStringLiteral(",  ") : QString()) + f;
    }
    if (record != expected.toUtf8() + "\r\n")
        std::abort();
    if (record.count('\n') != 1 || record.count('\r') != 1)
        std::abort();
    for (qsizetype i = 0; i + 2 < record.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(record[i]);
        if (c < 0x20 || c == 0x7f)
            std::abort();
    }
    return 0;
}
