// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace tavrelo::adif {

// One field of an ADIF record: its name in upper case, its data as bytes.
struct AdifField {
    QByteArray name;
    QByteArray data;
};

struct AdifRecord {
    qsizetype number = 0; // 1 for the file's first record
    qint64 offset = 0;    // byte offset of its first field in the file
    QList<AdifField> fields;
    bool ended = true; // false for a last record without <EOR>
    // The data of a field, or an empty array when it is not there.
    QByteArray value(const char* name) const;
    bool has(const char* name) const;
};

// Reads the records of an ADI file held in memory, as real programs write
// them: with a header or without one (a file whose first character is '<'
// has none), tags in any case, <F:L> and <F:L:T>, text and line breaks
// between fields and records, and a last <EOR> missing.
//
// Lengths count bytes. Some programs count characters instead: where a value
// holds bytes beyond ASCII and the byte reading leaves stray text before the
// next tag, while the character reading (UTF-8) ends cleanly at whitespace,
// a tag or the end, the character reading is taken, and counted.
class AdifReader {
public:
    explicit AdifReader(QByteArrayView file);

    // The next record; false at the end of the file.
    bool next(AdifRecord& record);

    qsizetype valuesReadAsCharacters() const { return characterReadings_; }

private:
    bool readField(AdifField& field, bool& endOfRecord);

    QByteArrayView file_;
    qsizetype pos_ = 0;
    qsizetype records_ = 0;
    qsizetype characterReadings_ = 0;
};

} // namespace tavrelo::adif
