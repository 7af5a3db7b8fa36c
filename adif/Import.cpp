// SPDX-License-Identifier: GPL-3.0-or-later
#include "Import.h"

#include "Adif.h"
#include "DigestSet.h"
#include "FieldsFile.h"
#include "KeyIndex.h"
#include "OpenLog.h"
#include "ReadAhead.h"
#include "Transaction.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace tavrelo::adif {

namespace {

// Fields that make the contact key, or mark an adding record: never
// something a duplicate adds.
bool addsNothing(QByteArrayView name) {
    return name == "QSO_DATE" || name == "TIME_ON" || name == "BAND" || name == "CALL" ||
           name == QByteArrayView(AddsField);
}

// The names of the fields each contact's records hold, by contact key, for
// the keys of the duplicates only; names as small numbers to keep it small.
class NamesByKey {
public:
    explicit NamesByKey(const KeyIndex& wanted) : wanted_(wanted), bits_(size_t(wanted.size())) {}
    void add(const QByteArray& key, const AdifRecord& record) {
        const qsizetype i = wanted_.indexOf(key);
        if (i < 0)
            return;
        for (const AdifField& f : record.fields) {
            if (!f.data.trimmed().isEmpty())
                set(bits_[size_t(i)], f.name);
        }
    }
    // The boxes that a log line of the contact fills.
    void addLine(const QByteArray& key, const char* begin, const char* end) {
        const qsizetype i = wanted_.indexOf(key);
        if (i < 0)
            return;
        static const char* const boxes[] = {"NAME", "QTH", "RST_SENT", "RST_RCVD"};
        const QByteArrayView line(begin, end - begin);
        qsizetype at = 0;
        for (int k = 0; k < logfile::FieldCount; ++k) {
            const qsizetype next = line.indexOf(logfile::FieldSeparator, at);
            const QByteArrayView value = line.sliced(at, (next < 0 ? line.size() : next) - at);
            if (k >= 4 && !value.trimmed().isEmpty())
                set(bits_[size_t(i)], boxes[k - 4]);
            if (next < 0)
                break;
            at = next + 3;
        }
    }
    // The record's names that the contact's records lack; they count as held from now on.
    QList<QByteArray> lacking(const QByteArray& key, const AdifRecord& record) {
        Bits& bits = bits_[size_t(wanted_.indexOf(key))];
        QList<QByteArray> names;
        for (const AdifField& f : record.fields) {
            if (f.data.trimmed().isEmpty() || addsNothing(f.name) || isSet(bits, f.name))
                continue;
            names.append(f.name.toByteArray());
            set(bits, f.name);
        }
        return names;
    }

private:
    using Bits = std::array<quint64, 4>;
    // A name's number: the names of a file are few, and found by a look
    // along them sooner than by hashing. Only the first 256 are told apart.
    int id(QByteArrayView name) {
        for (size_t i = 0; i < names_.size(); ++i) {
            if (sameName(names_[i], name))
                return int(i);
        }
        if (names_.size() == 256)
            return 256;
        names_.push_back(name.toByteArray());
        return int(names_.size() - 1);
    }
    void set(Bits& bits, QByteArrayView name) {
        const int i = id(name);
        if (i < 256)
            bits[size_t(i / 64)] |= quint64(1) << (i % 64);
    }
    bool isSet(Bits& bits, QByteArrayView name) {
        const int i = id(name);
        return i < 256 && (bits[size_t(i / 64)] >> (i % 64) & 1);
    }

    const KeyIndex& wanted_;
    std::vector<Bits> bits_; // by the key's number
    std::vector<QByteArray> names_;
};

// The contact of a log line, for a message: "2024-Mar-01 12:05 20m ZZ9ZZ".
QString describeContact(QByteArrayView line) {
    // The first four fields, each trimmed, joined by spaces.
    QByteArray out;
    int field = 0;
    for (qsizetype at = 0; at <= line.size() && field < 4; ++field) {
        qsizetype end = line.indexOf(',', at);
        if (end < 0)
            end = line.size();
        if (field > 0)
            out += ' ';
        out += logfile::asciiTrimmed(line.sliced(at, end - at));
        at = end + 1;
    }
    return QString::fromUtf8(out);
}

} // namespace

namespace {

// Records read ahead and made into what the import appends: each one's log
// line and key, one after another, and the bytes and fields of those that
// keep more. A record that gives no contact has a skip reason and no bytes.
// The reading side picks each record's fields; the taking side, the less
// busy one, makes the lines and keys from them.
struct ContactBatch {
    struct Item {
        Picked picked; // views into the reader's buffers, which the batch holds
        qsizetype number = 0;
        qint64 offset = 0;
        // Where its line starts (it ends where the next item's starts), and
        // where its key lies in keys.
        qsizetype line = 0, key = 0, keyEnd = 0;
        // What tells it apart from other contacts of its key, where it lies
        // in tellings: made from MODE, SUBMODE, SAT_NAME and PROP_MODE on
        // the reading side, where the record's bytes were just read.
        qsizetype telling = 0, tellingEnd = 0;
        // When it keeps more than the boxes hold: its bytes in the reader's
        // buffer, when they are as the fields file writes them, or else its
        // fields.
        const char* stored = nullptr;
        qsizetype storedSize = 0;
        qsizetype firstField = 0, fieldCount = 0;
        bool keepsMore() const { return stored || fieldCount > 0; }
        qsizetype skip = -1; // its reason in skipReasons
        bool ended = true;
    };
    QByteArray lines, keys, tellings;
    // The reader's buffers that the items' bytes lie in, held until the
    // batch is filled again: the bytes are not copied.
    std::vector<std::shared_ptr<const QByteArray>> buffers;
    std::vector<AdifField> fields;
    std::vector<Item> items;
    QStringList skipReasons;

    void clear() {
        lines.resize(0); // keeps the room
        keys.resize(0);
        tellings.resize(0);
        buffers.clear();
        fields.clear();
        items.clear();
        skipReasons.clear();
    }
    // Where the record's fields record is to be made from: its bytes, when
    // they are in the fields file's form (storedForm()), or else its
    // fields; either way in the reader's buffer, which the batch holds.
    void addFields(const AdifRecord& record, QByteArrayView stored, Item& item) {
        if (!stored.isEmpty()) {
            item.stored = stored.data();
            item.storedSize = stored.size();
            return;
        }
        item.firstField = qsizetype(fields.size());
        item.fieldCount = record.fields.size();
        fields.insert(fields.end(), record.fields.begin(), record.fields.end());
    }
    // The lines of its records, and the keys from them: made on the taking
    // side, as the reading side is the busier one. A line holds the key's
    // fields as the key has them.
    void makeLines() {
        for (Item& item : items) {
            item.line = lines.size();
            item.key = item.keyEnd = keys.size();
            if (const QString skipReason = appendContact(item.picked, lines, nullptr);
                !skipReason.isEmpty()) {
                item.skip = skipReasons.size();
                skipReasons << skipReason;
                continue;
            }
            logfile::appendLogLineKey(lines.constData() + item.line,
                                      lines.constData() + lines.size() - 2, keys);
            item.keyEnd = keys.size();
        }
    }
    QByteArrayView line(size_t i) const {
        const qsizetype end = i + 1 < items.size() ? items[i + 1].line : lines.size();
        return QByteArrayView(lines).sliced(items[i].line, end - items[i].line);
    }
    // Appends the record's fields record to the fields file's pending bytes,
    // made where it waits, not copied there.
    OsError appendFields(const Item& item, logfile::LogTransaction& log) const {
        logfile::PendingBytes& pending = log.pendingFields();
        QByteArray& tail = pending.tail();
        const qsizetype before = tail.size();
        if (item.stored)
            appendStoredRecord(QByteArrayView(item.stored, item.storedSize), tail);
        else
            appendFieldsRecord(&fields[size_t(item.firstField)], item.fieldCount, tail);
        return pending.settle(before);
    }
    QByteArrayView key(size_t i) const {
        return QByteArrayView(keys).sliced(items[i].key, items[i].keyEnd - items[i].key);
    }
    QByteArrayView telling(size_t i) const {
        return QByteArrayView(tellings).sliced(items[i].telling,
                                               items[i].tellingEnd - items[i].telling);
    }
};

struct ReadTotals {
    qsizetype valuesReadAsCharacters = 0;
};

// Reads and converts the file's records on the reading thread.
QString readContacts(QIODevice& file, ReadAhead<ContactBatch>& ahead, ReadTotals& totals) {
    constexpr size_t BatchRecords = 1024;
    constexpr qsizetype BatchBytes = 16 << 20;
    AdifReader reader(&file);
    AdifRecord record;
    std::unique_ptr<ContactBatch> batch = ahead.spare();
    qint64 recordBytes = 0; // of the batch's records
    while (reader.next(record)) {
        if (batch->buffers.empty() || batch->buffers.back().get() != reader.bufferId())
            batch->buffers.push_back(reader.hold());
        ContactBatch::Item& item = batch->items.emplace_back();
        item.number = record.number;
        item.offset = record.offset;
        item.ended = record.ended;
        // One look at the fields gives what the line is made of, what tells
        // the contact apart and whether it keeps more. The line and the key
        // are made on the taking side.
        item.picked = pick(record);
        const Picked& p = item.picked;
        if (p.keepsMore) {
            batch->addFields(record, storedForm(record), item);
            item.telling = batch->tellings.size();
            appendDiscriminator(
                Telling{p.value[Mode], p.value[Submode], p.value[SatName], p.value[PropMode]},
                batch->tellings);
            item.tellingEnd = batch->tellings.size();
        }
        recordBytes += record.end - record.offset;
        if (batch->items.size() == BatchRecords || recordBytes > BatchBytes) {
            recordBytes = 0;
            if (!ahead.hand(std::move(batch)))
                return {};
            batch = ahead.spare();
        }
    }
    if (!batch->items.empty())
        ahead.hand(std::move(batch));
    totals.valuesReadAsCharacters = reader.valuesReadAsCharacters();
    return reader.readError();
}

// Appends to the fields file what each duplicate of the file (by record
// number, in order) knows that the contact it repeats lacks, marked as
// adding to it; added counts them.
OsError addWhatDuplicatesKnow(QFile& file, const QString& logPath,
                              const std::vector<qsizetype>& duplicates,
                              const KeyIndex& duplicateKeys, logfile::LogTransaction& log,
                              qsizetype& added) {
    QByteArray key;
    AdifRecord record;
    NamesByKey names(duplicateKeys);
    logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            if (logLineKey(b, e, key))
                names.addLine(key, b, e);
        });
    });
    QFile fields(logfile::fieldsPath(logPath));
    if (fields.open(QIODevice::ReadOnly)) {
        AdifReader stored(&fields);
        while (stored.next(record)) {
            if (recordKey(record, key))
                names.add(key, record);
        }
    }
    if (!file.seek(0))
        return {};
    AdifReader again(&file);
    size_t next = 0;
    while (again.next(record) && next < duplicates.size()) {
        if (!recordKey(record, key))
            continue;
        if (record.number != duplicates[next]) {
            names.add(key, record); // a contact of this file, added above
            continue;
        }
        ++next;
        const QList<QByteArray> lacking = names.lacking(key, record);
        if (lacking.isEmpty())
            continue;
        if (const OsError e = log.appendFields(addingRecord(record, lacking)); !e.ok())
            return e;
        ++added;
    }
    return {};
}

} // namespace

ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note, qsizetype noteLimit) {
    qsizetype notes = 0;
    // Whether the next note is to be made: a file of a million duplicates
    // is not told one by one.
    const auto noteWanted = [&](ImportSummary& summary) {
        if (notes < noteLimit) {
            ++notes;
            return true;
        }
        ++summary.notesLeftOut;
        return false;
    };
    ImportSummary summary;
    const QString readAction = QStringLiteral("read the ADIF file");
    QFile file;
    const bool fromStandardInput = adifPath == QLatin1String("-");
    if (fromStandardInput) {
        if (!file.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            summary.error =
                OsError::because(readAction, QStringLiteral("standard input"), file.errorString());
            return summary;
        }
    } else {
        // Only a regular file: a FIFO with no writer would wait forever, and
        // a device such as /dev/zero would never end.
        OsError error;
        const int fd = logfile::openLog(adifPath, O_RDONLY, readAction, error);
        if (fd < 0) {
            summary.error = error;
            return summary;
        }
        if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                       QFileDevice::AutoCloseHandle)) {
            summary.error = OsError::because(readAction, adifPath, file.errorString());
            return summary;
        }
    }

    // The log's lock is held from before its contacts are read until the
    // new ones are in: two imports at once see each other's contacts.
    logfile::LogTransaction log(logPath, recordIdentity);
    if (const OsError begun = log.begin(); !begun.ok()) {
        summary.error = begun;
        return summary;
    }
    summary.recoveryNote = log.recoveryNote();

    logfile::KnownContacts known;
    DigestSet storedRecords; // of the fields file's records in their stored form
    const logfile::ReadResult read = readKnownContacts(logPath, known, &storedRecords);
    if (read.status == logfile::ReadStatus::Failed) {
        summary.error = read.error;
        return summary;
    }

    KeyIndex duplicateKeys;
    // Whether a duplicate may know more than its contact: not when it
    // keeps nothing beyond the boxes, nor when the fields file has its
    // record in the same bytes (a file imported again).
    const auto mayAddFields = [&](const ContactBatch::Item& item) {
        return item.keepsMore() &&
               (!item.stored || !storedRecords.contains(DigestSet::digestOf(
                                    QByteArrayView(item.stored, item.storedSize))));
    };
    std::vector<qsizetype> duplicates; // record numbers
    const auto failed = [&summary](const OsError& e) {
        summary = ImportSummary();
        summary.error = e;
        return summary;
    };
    {
        ReadTotals totals;
        ReadAhead<ContactBatch> ahead(
            [&](ReadAhead<ContactBatch>& a) { return readContacts(file, a, totals); });
        QByteArray newLines;
        while (std::unique_ptr<ContactBatch> batch = ahead.take()) {
            batch->makeLines();
            for (size_t i = 0; i < batch->items.size(); ++i) {
                const ContactBatch::Item& item = batch->items[i];
                summary.lastRecordUnended = summary.lastRecordUnended || !item.ended;
                if (item.skip >= 0) {
                    ++summary.skipped;
                    if (noteWanted(summary))
                        note(QStringLiteral("record %1 (byte %2): skipped: %3")
                                 .arg(item.number)
                                 .arg(item.offset)
                                 .arg(batch->skipReasons[item.skip]));
                    continue;
                }
                if (!known.addIfNew(batch->key(i), batch->telling(i))) {
                    ++summary.duplicates;
                    if (noteWanted(summary))
                        note(QStringLiteral("record %1 (byte %2): duplicate of the contact %3, not "
                                            "added again")
                                 .arg(item.number)
                                 .arg(item.offset)
                                 .arg(describeContact(batch->line(i))));
                    if (mayAddFields(item)) {
                        duplicates.push_back(item.number);
                        duplicateKeys.insert(batch->key(i));
                    }
                    continue;
                }
                ++summary.added;
                newLines += batch->line(i);
                if (item.keepsMore()) {
                    ++summary.records;
                    if (const OsError e = batch->appendFields(item, log); !e.ok())
                        return failed(e);
                }
            }
            if (const OsError e = log.appendLog(newLines); !e.ok())
                return failed(e);
            newLines.resize(0);
            ahead.giveBack(std::move(batch));
        }
        if (const QString e = ahead.error(); !e.isEmpty())
            return failed(OsError::because(readAction, adifPath, e));
        summary.valuesReadAsCharacters = totals.valuesReadAsCharacters;
    }

    // Duplicates that know more than the contact they repeat: what they
    // add goes to the fields file, marked as adding to that contact.
    if (!duplicates.empty() && !fromStandardInput) {
        if (const OsError e = addWhatDuplicatesKnow(file, logPath, duplicates, duplicateKeys, log,
                                                    summary.duplicatesAddingFields);
            !e.ok())
            return failed(e);
    }

    if (const OsError committed = log.commit(); !committed.ok()) {
        summary.error = committed;
        summary.added = 0;
    }
    return summary;
}

} // namespace tavrelo::adif
