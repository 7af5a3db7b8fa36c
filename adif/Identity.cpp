// SPDX-License-Identifier: GPL-3.0-or-later
// Which contact a record of a fields file is, and the contacts a log holds.
#include "Import.h"

#include "DigestSet.h"
#include "FieldsFile.h"
#include "ReadAhead.h"
#include "Transaction.h"

#include <QFile>
#include <QFileInfo>

#include <memory>
#include <vector>

namespace tavrelo::adif {

bool recordIdentity(const AdifRecord& record, QByteArray& key, QByteArray& telling) {
    // One look along the fields for the key and the telling alike.
    const Picked p = pick(record);
    if (!keyOf(p, key) || !record.value(AddsField).isEmpty())
        return false;
    telling.resize(0);
    appendDiscriminator(
        Telling{p.value[Mode], p.value[Submode], p.value[SatName], p.value[PropMode]}, telling);
    return true;
}

bool recordIdentity(QByteArrayView bytes, QByteArray& key, QByteArray& telling) {
    AdifReader reader(bytes);
    AdifRecord record;
    return reader.next(record) && recordIdentity(record, key, telling);
}

namespace {

// The identities of the fields file's records, and the digests of their
// bytes, made on threads of their own: reading the file is most of the
// work. The log's lines are read meanwhile.
struct IdentityBatch {
    struct Item {
        bool contact = false; // whether the record names a contact
        logfile::KnownContacts::Digest key;
        quint64 telling = 0;
        DigestSet::Digest stored;
    };
    std::vector<Item> items;
    void clear() { items.clear(); }
};

// A fields file this large is read in two parts at once.
qint64 twoPartsFrom = qint64(32) << 20;

// Where a record seems to start near the middle of a fields file: just
// after an <EOR> and the line break the file writes after it; -1 for a
// small file, or none found. A value may hold those bytes too: the
// first part's reader tells (readIdentities()'s firstAfter).
qint64 middleRecordStart(const QString& fieldsPath) {
    const qint64 size = QFileInfo(fieldsPath).size();
    if (size < twoPartsFrom)
        return -1;
    QFile file(fieldsPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(size / 2))
        return -1;
    const QByteArray bytes = file.read(1 << 20);
    const qsizetype at = bytes.indexOf("<EOR>\r\n<");
    return at < 0 ? -1 : size / 2 + at + 7;
}

// Reads the records from byte from on; with upTo, those that start before
// it, and firstAfter says where the first one after them starts.
QString readIdentities(ReadAhead<IdentityBatch>& ahead, const QString& fieldsPath,
                       bool storedRecords, qint64 from, qint64 upTo = -1,
                       qint64* firstAfter = nullptr) {
    QFile file(fieldsPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return {}; // none yet
    AdifReader reader(&file);
    AdifRecord record;
    QByteArray key, telling;
    std::unique_ptr<IdentityBatch> batch = ahead.spare();
    while (reader.next(record)) {
        if (upTo >= 0 && from + record.offset >= upTo) {
            *firstAfter = from + record.offset;
            break;
        }
        IdentityBatch::Item& item = batch->items.emplace_back();
        item.contact = recordIdentity(record, key, telling);
        if (item.contact) {
            item.key = logfile::KnownContacts::keyDigest(key);
            item.telling = logfile::KnownContacts::tellingDigest(telling);
        }
        if (storedRecords)
            item.stored = DigestSet::digestOf(storedForm(record));
        if (batch->items.size() == 4096) {
            if (!ahead.hand(std::move(batch)))
                return {};
            batch = ahead.spare();
        }
    }
    if (!batch->items.empty())
        ahead.hand(std::move(batch));
    return {};
}

// The log's contacts into known: its lines, and its fields file's records
// read in one part, or in two at once from middle on (middle > 0). False
// when the second part did not start where a record does: what was read
// is then to be dropped and read again in one part.
bool readKnown(const QString& logPath, qint64 middle, logfile::KnownContacts& known,
               DigestSet* storedRecords, logfile::ReadResult& read) {
    const QString fieldsPath = logfile::fieldsPath(logPath);
    const bool stored = storedRecords != nullptr;
    qint64 firstAfter = -1;
    std::vector<std::unique_ptr<ReadAhead<IdentityBatch>>> parts;
    parts.push_back(std::make_unique<ReadAhead<IdentityBatch>>([&](ReadAhead<IdentityBatch>& a) {
        return middle > 0 ? readIdentities(a, fieldsPath, stored, 0, middle, &firstAfter)
                          : readIdentities(a, fieldsPath, stored, 0);
    }));
    if (middle > 0)
        parts.push_back(
            std::make_unique<ReadAhead<IdentityBatch>>([&](ReadAhead<IdentityBatch>& a) {
                return readIdentities(a, fieldsPath, stored, middle);
            }));
    QByteArray key;
    read = logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            if (logLineKey(b, e, key))
                known.addLine(known.keyDigest(key));
        });
    });
    // As many records as lines, mostly.
    if (storedRecords)
        storedRecords->reserve(known.size());
    // The parts' batches as they come, in turn: the set is the same in any
    // order.
    for (size_t done = 0, p = 0; done < parts.size(); p = (p + 1) % parts.size()) {
        if (!parts[p])
            continue;
        std::unique_ptr<IdentityBatch> batch = parts[p]->take();
        if (!batch) {
            parts[p].reset();
            ++done;
            continue;
        }
        for (const IdentityBatch::Item& item : batch->items) {
            if (item.contact)
                known.addRecord(item.key, item.telling);
            if (storedRecords)
                storedRecords->insert(item.stored);
        }
        parts[p]->giveBack(std::move(batch));
    }
    return middle <= 0 || firstAfter == middle;
}

} // namespace

void readKnownInTwoPartsFrom(qint64 fromBytes) {
    twoPartsFrom = fromBytes;
}

logfile::ReadResult readKnownContacts(const QString& logPath, logfile::KnownContacts& known,
                                      DigestSet* storedRecords) {
    logfile::ReadResult read;
    if (!readKnown(logPath, middleRecordStart(logfile::fieldsPath(logPath)), known, storedRecords,
                   read)) {
        known.clear();
        if (storedRecords)
            storedRecords->clear();
        readKnown(logPath, -1, known, storedRecords, read);
    }
    return read;
}

} // namespace tavrelo::adif
