// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the ADIF reader and the mapping of its records to the log's lines:
// whatever the bytes, the reader ends, every field it gives lies inside the
// file, the file read in small pieces gives the same records as read whole,
// the line built on the bytes is the one the boxes give, a record kept as
// it came in the fields file is the one its fields give, and a contact's
// line never holds a line break or the record's separator beyond its
// seven.
#include "AdifReader.h"
#include "FieldsFile.h"
#include "Import.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray file(reinterpret_cast<const char*>(data), qsizetype(size));
    QByteArray copy = file;
    QBuffer device(&copy);
    device.open(QIODevice::ReadOnly);
    tavrelo::adif::AdifReader whole(file);
    tavrelo::adif::AdifReader pieces(&device, size > 0 ? 1 + data[0] % 16 : 1);
    tavrelo::adif::AdifRecord record, other;
    qsizetype records = 0;
    while (whole.next(record)) {
        if (!pieces.next(other) || other.number != record.number || other.offset != record.offset ||
            other.ended != record.ended || other.fields.size() != record.fields.size())
            std::abort();
        for (qsizetype i = 0; i < record.fields.size(); ++i) {
            if (other.fields[i].name != record.fields[i].name ||
                other.fields[i].data != record.fields[i].data)
                std::abort();
        }
        if (++records > qsizetype(size) + 1 || record.offset < 0 || record.offset >= file.size())
            std::abort();
        qsizetype bytes = 0;
        for (const auto& f : record.fields)
            bytes += f.data.size();
        if (bytes > file.size())
            std::abort();
        // A record kept as it came in the fields file is the one its fields
        // give, from either reader's buffer.
        for (const tavrelo::adif::AdifRecord* r : {&record, &other}) {
            QByteArray general;
            tavrelo::adif::appendFieldsRecord(r->fields.constData(), r->fields.size(), general);
            if (tavrelo::adif::fieldsRecord(*r) != general)
                std::abort();
        }
        const tavrelo::adif::Mapped m = tavrelo::adif::mapRecord(record);
        QByteArray line, key;
        if (tavrelo::adif::appendContact(record, line, key) != m.skipReason)
            std::abort();
        if (!m.skipReason.isEmpty())
            continue;
        if (line != tavrelo::logfile::buildRecord(m.fields) || line.count('\n') != 1 ||
            line.count('\r') != 1 || QString::fromUtf8(line).count(QStringLiteral(",  ")) != 7)
            std::abort();
    }
    if (pieces.next(other) || pieces.valuesReadAsCharacters() != whole.valuesReadAsCharacters())
        std::abort();
    return 0;
}
