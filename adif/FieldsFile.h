// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Adif.h"
#include "AdifReader.h"
#include "KnownContacts.h"
#include "OsError.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
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
using logfile::AddsField;

// Whether the record has a non-empty field that no box of the log holds.
bool keepsMore(const AdifRecord& record);
// Whether a field's value goes into a box of the log line.
bool isBoxField(QByteArrayView name);

// The record as the fields file stores it.
QByteArray fieldsRecord(const AdifRecord& record);
void appendFieldsRecord(const AdifRecord& record, QByteArray& out);
// The same from fields that lie in one buffer in the order a reader gave
// them (a reader's own, or one copy of the bytes they lay in).
void appendFieldsRecord(const AdifField* fields, qsizetype count, QByteArray& out);
// The bytes of a record as an AdifReader read it, from its first field's
// name to its last value's end, when they are written as the fields file
// writes them: ASCII, tags without a type, lengths without leading zeros,
// one space between fields. Its record is then '<', these bytes and
// " <EOR>\r\n". An empty view when they are not, or when the record was
// not made by a reader (AdifRecord::compact is the reader's).
QByteArrayView storedForm(const AdifRecord& record);
// The fields record of such bytes, appended to out.
void appendStoredRecord(QByteArrayView stored, QByteArray& out);
// Only some of its fields, after the ones that say which contact it is, and
// marked as adding to that contact.
QByteArray addingRecord(const AdifRecord& record, const QList<QByteArray>& names);

// What tells two contacts of the same date, minute, band and call apart:
// the mode (the mode of the SUBMODE when MODE is missing), SAT_NAME and
// PROP_MODE, in upper case, joined by '|'; empty when the record has none.
QByteArray discriminator(const AdifRecord& record);
QByteArray discriminator(const StoredFields& fields);
// The same appended to out.
void appendDiscriminator(const AdifRecord& record, QByteArray& out);
// The same from the first MODE, SUBMODE, SAT_NAME and PROP_MODE fields.
struct Telling {
    QByteArrayView mode, submode, sat, prop;
};
void appendDiscriminator(const Telling& fields, QByteArray& out);

// Whether a field of that name (in any case) stands anywhere in the file
// open on fd, from its start to its end; it may stand in a value too: a yes
// may be wrong, a no is sure. A large file is looked through in two halves
// at once. Returns false with err set to an errno when a read fails.
bool mentionsName(int fd, QByteArrayView name, int& err);

class RecordFeed;

// The records of the fields file, found by the contact key of a log line.
// The n-th line of a key gets the n-th record of that key, merged with the
// records that add to it. While lines are asked for in the order of their
// records (a log and its fields file written together), each is the next
// record of the file, read ahead and parsed on a thread of its own: no
// index is needed. From the first line that is not, and from the start when
// the file holds records that add to others, an index of every record's
// key and place finds them, the records read from the file when asked for.

class FieldsIndex {
public:
    FieldsIndex();
    ~FieldsIndex();
    FieldsIndex(const FieldsIndex&) = delete;
    FieldsIndex& operator=(const FieldsIndex&) = delete;

    // A missing file is an empty index; a file that cannot be read is an error.
    // With countries, the records read ahead come with their calls' entity
    // fields (EntityFiller, RecordView::entityMade), made on the reading
    // thread while it is ahead of the records' use.
    OsError open(const QString& path, const dxcc::CountryFile* countries = nullptr,
                 bool utf8 = false);
    bool isEmpty() const { return entries_.empty() && !inStep_; }
    // What failed reading the file after open(), if anything: the records
    // not read are not joined.
    OsError error() const { return error_; }
    // The next record for that key, with what later records add to it;
    // null when there is none. It stays valid until the next call.
    const RecordView* take(QByteArrayView key);

private:
    struct Entry {
        quint64 hash;
        qint64 offset;
        qint32 length;
        qint32 next = -1; // the next entry of the same hash bucket, in file order
        bool adds = false;
        bool used = false;
        bool keyHasAdds = false;
    };
    bool readRecord(const Entry& e, StoredFields& fields, bool primary);
    qint32 firstOf(quint64 hash) const;
    OsError buildIndex();
    enum class InStep { Taken, AllTaken, Parted };
    InStep takeInStep(quint64 hash, const RecordView*& record);
    bool takeByIndex(quint64 hash);
    static QString readAction();
    static constexpr qint64 MaxRecordBytes = qint64(1) << 30;

    QString path_;
    OsError error_;
    // In step: lines come in the order of their records, and each is the
    // next record read; the index is not made (yet).
    bool inStep_ = false;
    size_t takenInStep_ = 0;
    std::unique_ptr<RecordFeed> feed_; // the records read ahead, while in step

    QFile file_;
    // The file read again in order, for the records asked for in order.
    QFile sequential_;
    std::optional<AdifReader> reader_;
    AdifRecord record_;
    bool readerAtEnd_ = false;
    std::vector<Entry> entries_; // in file order
    std::vector<qint32> buckets_;
    quint64 mask_ = 0;
    size_t cursor_ = 0; // where the next record in file order is
    // Records before the cursor that are still left: while there are any,
    // the record at the cursor is not surely the first one left of its key.
    size_t passedOver_ = 0;
    QByteArray window_; // bytes of the file read ahead
    qint64 windowStart_ = 0;
    QByteArray current_;      // the record handed out, its names in upper case
    QList<QByteArray> added_; // values of the records that add to it
    StoredFields fields_;     // the record handed out by the index
    RecordView view_;         // the same as the export reads it
};

// The hash FieldsIndex files a key under.
quint64 keyHash(QByteArrayView key);

} // namespace tavrelo::adif
