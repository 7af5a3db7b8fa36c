// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Adif.h"
#include "AdifReader.h"
#include "OsError.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QString>

#include <vector>

namespace tavrelo::adif {

// The fields file beside the log keeps, for every contact that came with
// more than the eight boxes hold, its whole ADIF record: every field as it
// came (application-defined ones too), values as UTF-8, lengths in bytes,
// each record ended by <EOR> and CR LF. A record belongs to the log line
// with the same contact key; one whose line is missing is ignored.
//
// A later record marked APP_TAVRELO_ADDS adds fields to the contact of the
// same key that its first record lacked (a duplicate that knew more).

// The field that marks a record adding to an earlier one.
inline constexpr char AddsField[] = "APP_TAVRELO_ADDS";

// Whether the record has a non-empty field that no box of the log holds.
bool keepsMore(const AdifRecord& record);
// Whether a field's value goes into a box of the log line.
bool isBoxField(QByteArrayView name);

// The record as the fields file stores it.
QByteArray fieldsRecord(const AdifRecord& record);
// Only some of its fields, after the ones that say which contact it is, and
// marked as adding to that contact.
QByteArray addingRecord(const AdifRecord& record, const QList<QByteArray>& names);

// What tells two contacts of the same date, minute, band and call apart:
// the mode (the mode of the SUBMODE when MODE is missing), SAT_NAME and
// PROP_MODE, in upper case, joined by '|'; empty when the record has none.
QByteArray discriminator(const AdifRecord& record);
QByteArray discriminator(const StoredFields& fields);

// The records of the fields file, found by the contact key of a log line:
// an index of every record's key and place, the records themselves read
// from the file only when asked for. The n-th line of a key gets the n-th
// record of that key, merged with the records that add to it.
class FieldsIndex {
public:
    // A missing file is an empty index; a file that cannot be read is an error.
    OsError open(const QString& path);
    bool isEmpty() const { return entries_.empty(); }
    qsizetype size() const { return qsizetype(entries_.size()); }
    // Whether a record may belong to that key (a quick test on its hash).
    bool mayHave(QByteArrayView key) const;
    // The fields of the next record for that key, with what later records
    // add to it; false when there is none.
    bool take(QByteArrayView key, StoredFields& fields);

private:
    struct Entry {
        quint64 hash;
        qint64 offset;
        qint32 length;
        bool adds;
        bool used;
    };
    bool readRecord(const Entry& e, StoredFields& fields, QByteArray& key);
    std::vector<Entry>::iterator firstOf(quint64 hash);

    QFile file_;
    std::vector<Entry> entries_; // sorted by hash, then place
    QByteArray window_;          // bytes of the file read ahead
    qint64 windowStart_ = 0;
};

// The hash FieldsIndex files a key under.
quint64 keyHash(QByteArrayView key);

} // namespace tavrelo::adif
