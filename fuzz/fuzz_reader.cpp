// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the chunked line reader: whatever the bytes and however small the
// chunks, it must give back exactly the lines of a plain split on CR LF,
// LF and lone CR.
#include "LogReader.h"
#include "Oracle.h"

#include <QFile>
#include <QList>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t chunkSize = 1 + data[0] % 16;
    const QByteArray log(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    static const QString path = QStringLiteral("/dev/shm/tavrelo-fuzz-reader-%1.txt").arg(getpid());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(log) != log.size())
        return 0;
    f.close();

    QList<QByteArray> lines;
    const auto result = tavrelo::logfile::readLogBlocks(
        path,
        [&](const char* b, const char* e) {
            tavrelo::logfile::forEachLine(
                b, e, [&](const char* lb, const char* le) { lines << QByteArray(lb, le - lb); });
        },
        chunkSize);
    if (result.status != tavrelo::logfile::ReadStatus::Read)
        std::abort();

    if (lines != tavrelo::oracle::plainLines(log))
        std::abort();
    return 0;
}
