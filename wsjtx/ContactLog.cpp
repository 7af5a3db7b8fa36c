// SPDX-License-Identifier: GPL-3.0-or-later
#include "ContactLog.h"

#include "AdifReader.h"
#include "FieldsFile.h"
#include "Import.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

#include <QSet>

#include <atomic>
#include <cstring>

namespace tavrelo::wsjtx {

QList<Contact> contactsOfAdif(const QByteArray& adif, QStringList& skipped) {
    QList<Contact> contacts;
    adif::AdifReader reader(adif);
    adif::AdifRecord record;
    while (reader.next(record)) {
        Contact c;
        const QString reason = adif::appendContact(record, c.record, c.key);
        if (reason.isEmpty()) {
            c.telling = adif::discriminator(record);
            if (adif::keepsMore(record))
                c.fields = adif::fieldsRecord(record);
            contacts.append(c);
        } else
            skipped.append(reason);
    }
    return contacts;
}

ContactLog::ContactLog(const QString& path) : path_(path) {}

namespace {

// The last bytes of what was read, to know the place again next time.
constexpr qsizetype TailSize = 64;

void keepTail(QByteArray& tail, const char* begin, const char* end) {
    if (end - begin >= TailSize) {
        tail = QByteArray(end - TailSize, TailSize);
        return;
    }
    tail.append(begin, end - begin);
    if (tail.size() > TailSize)
        tail = tail.right(TailSize);
}

} // namespace

OsError ContactLog::readNewKeys() {
    // The log is read on from where the last look stopped, once the bytes
    // just before that place are found as they were: it has grown at its
    // end only, as the window and other copies append to it. Otherwise
    // (another file, or one cut short or edited) it is read again from its
    // start.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool follow = attempt == 0 && readTo_ > 0;
        logfile::KnownContacts fresh;
        logfile::KnownContacts& known = follow ? known_ : fresh;
        QByteArray key, tail;
        bool placeFound = !follow;
        std::atomic<bool> stop = false;
        const logfile::ReadResult r = logfile::readLogBlocks(
            path_,
            [&](const char* begin, const char* end) {
                if (stop)
                    return;
                keepTail(tail, begin, end);
                if (!placeFound) {
                    if (end - begin < tail_.size() ||
                        std::memcmp(begin, tail_.constData(), size_t(tail_.size())) != 0) {
                        stop = true;
                        return;
                    }
                    placeFound = true;
                    begin += tail_.size();
                }
                logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                    if (adif::logLineKey(b, e, key))
                        known.addLine(known.keyDigest(key));
                });
            },
            logfile::DefaultChunkSize, &stop, follow ? readTo_ - tail_.size() : 0);
        if (r.status == logfile::ReadStatus::Failed)
            return r.error;
        if (r.status == logfile::ReadStatus::Missing) {
            known_.clear(); // the log was deleted or renamed: a new one begins
            readTo_ = 0;
            tail_.clear();
            return readNewRecords(true);
        }
        if (follow && (!placeFound || r.device != device_ || r.inode != inode_))
            continue;
        if (!follow)
            known_ = std::move(fresh);
        device_ = r.device;
        inode_ = r.inode;
        readTo_ = r.end;
        tail_ = tail;
        return readNewRecords(!follow);
    }
    return {};
}

OsError ContactLog::readNewRecords(bool fromStart) {
    // The fields file grows at its end only, a whole append at a time,
    // under the log's lock, which is held here; a file shorter than what
    // was read is read again from its start.
    QFile file(logfile::fieldsPath(path_));
    if (!file.open(QIODevice::ReadOnly)) {
        fieldsReadTo_ = 0;
        return file.exists()
                   ? OsError::because(QStringLiteral("read"), file.fileName(), file.errorString())
                   : OsError();
    }
    if (fromStart || file.size() < fieldsReadTo_)
        fieldsReadTo_ = 0;
    if (!file.seek(fieldsReadTo_))
        return OsError::because(QStringLiteral("read"), file.fileName(), file.errorString());
    adif::AdifReader reader(&file);
    adif::AdifRecord record;
    QByteArray key, telling;
    while (reader.next(record)) {
        if (adif::recordIdentity(record, key, telling))
            known_.addRecord(known_.keyDigest(key), known_.tellingDigest(telling));
    }
    fieldsReadTo_ = file.size();
    return {};
}

ContactLog::Outcome ContactLog::save() {
    Outcome outcome;
    if (queue_.isEmpty())
        return outcome;
    // The lock is held from before the log's keys are read until the
    // contacts are in, so that a contact another program logs meanwhile is
    // seen.
    logfile::LogTransaction log(path_, adif::recordIdentity);
    if (const OsError begun = log.begin(); !begun.ok()) {
        outcome.error = begun;
        return outcome;
    }
    outcome.recoveryNote = log.recoveryNote();
    if (const OsError read = readNewKeys(); !read.ok()) {
        outcome.error = read;
        return outcome;
    }
    QList<Contact> toWrite;
    logfile::KnownContacts inBatch;
    OsError error;
    QHash<QByteArray, QSet<QByteArray>> written = written_;
    const auto namesOf = [](const QByteArray& fields) {
        QSet<QByteArray> names;
        adif::AdifReader reader(fields);
        adif::AdifRecord record;
        while (reader.next(record)) {
            for (const adif::AdifField& f : record.fields) {
                if (!f.data.trimmed().isEmpty())
                    names.insert(f.name.toByteArray());
            }
        }
        return names;
    };
    for (const Contact& c : std::as_const(queue_)) {
        if (known_.holds(c.key, c.telling) || !inBatch.addIfNew(c.key, c.telling)) {
            outcome.duplicates.append(c.record);
            // The fields that a contact logged this session lacks.
            if (!c.fields.isEmpty() && written.contains(c.key + '\n' + c.telling)) {
                QSet<QByteArray>& have = written[c.key + '\n' + c.telling];
                adif::AdifReader reader(c.fields);
                adif::AdifRecord record;
                QList<QByteArray> lacking;
                if (reader.next(record)) {
                    for (const adif::AdifField& f : record.fields) {
                        const QByteArray name = f.name.toByteArray();
                        if (!f.data.trimmed().isEmpty() && !have.contains(name) &&
                            !adif::isBoxField(name)) {
                            lacking.append(name);
                            have.insert(name);
                        }
                    }
                }
                if (!lacking.isEmpty() && error.ok())
                    error = log.appendFields(adif::addingRecord(record, lacking));
            }
            continue;
        }
        written[c.key + '\n' + c.telling] = namesOf(c.fields);
        toWrite.append(c);
        if (error.ok())
            error = log.appendLog(c.record);
        if (error.ok() && !c.fields.isEmpty())
            error = log.appendFields(c.fields);
    }
    if (error.ok())
        error = log.commit();
    if (!error.ok()) {
        outcome.error = error;
        queue_ = toWrite; // the duplicates are done with; the rest waits
        return outcome;
    }
    written_ = written;
    for (const Contact& c : std::as_const(toWrite)) {
        known_.addIfNew(c.key, c.telling);
        outcome.saved.append(c.record);
    }
    queue_.clear();
    return outcome;
}

} // namespace tavrelo::wsjtx
