// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the ADIF reader and the mapping of its records to the log's boxes:
// whatever the bytes, the reader ends, every field it gives lies inside the
// file, and a mapped contact never holds a line break or the record's
// separator, so that it stays one record of exactly seven separators.
#include "AdifReader.h"
#include "Import.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file(reinterpret_cast<const char*>(data), qsizetype(size));
    tavrelo::adif::AdifReader reader(file);
    tavrelo::adif::AdifRecord record;
    qsizetype records = 0;
    while (reader.next(record)) {
        if (++records > qsizetype(size) + 1 || record.offset < 0 || record.offset >= file.size())
            std::abort();
        qsizetype bytes = 0;
        for (const auto& f : record.fields)
            bytes += f.data.size();
        if (bytes > file.size())
            std::abort();
        const tavrelo::adif::Mapped m = tavrelo::adif::mapRecord(record);
        if (!m.skipReason.isEmpty())
            continue;
        const QByteArray line = tavrelo::logfile::buildRecord(m.fields);
        if (line.count('\n') != 1 || line.count('\r') != 1 ||
            QString::fromUtf8(line).count(QStringLiteral(",  ")) != 7)
            std::abort();
    }
    return 0;
}
