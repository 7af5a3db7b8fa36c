// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "Contact.h"
#include "DigestSet.h"
#include "KnownContacts.h"
#include "LogFile.h"
#include "LogReader.h"

#include <QStringList>

#include <functional>
#include <limits>

namespace tavrelo::adif {

// Every contact in a log: its lines, and what its fields file tells apart;
// fails only when the log exists but cannot be read. storedRecords, when
// given, receives the digests of the fields file's records in their
// stored form (see storedForm()).
logfile::ReadResult readKnownContacts(const QString& logPath, logfile::KnownContacts& known,
                                      DigestSet* storedRecords = nullptr);
// A fields file of fromBytes or more is read in two parts at once by
// readKnownContacts(); for tests and benchmarks.
void readKnownInTwoPartsFrom(qint64 fromBytes);
// The key and telling of a fields record (see logfile::KnownContacts);
// false for a record that names no contact or adds to one.
bool recordIdentity(const AdifRecord& record, QByteArray& key, QByteArray& telling);
// The same of a record's bytes, as the log's merge asks for them
// (logfile::RecordIdentity).
bool recordIdentity(QByteArrayView record, QByteArray& key, QByteArray& telling);

struct ImportSummary {
    qsizetype added = 0;
    qsizetype duplicates = 0;
    qsizetype skipped = 0;
    qsizetype valuesReadAsCharacters = 0;
    qsizetype records = 0;                // of the added, those with a fields record
    qsizetype duplicatesAddingFields = 0; // of the duplicates, those that added fields
    QStringList fieldsNotKept;            // names of fields not kept, each once
    QString recoveryNote;                 // an unfinished earlier append put right
    bool lastRecordUnended = false;
    qsizetype notesLeftOut = 0; // notes beyond the limit, not made
    OsError error;              // the ADIF file could not be read, or the log not written
};

// Appends the contacts of an ADIF file to the log, and their whole records
// to the fields file beside it, all or nothing: one append under the log's
// lock, synced before it counts. A record already in the log, or earlier in
// the file, is a duplicate: its line is not added, but the fields its
// contact's records lack are. note() receives the first noteLimit skipped
// and duplicate records with their numbers and byte offsets; the summary
// counts the rest. The file is read and parsed in
// pieces on a thread of its own, and what is to be appended waits in a
// temporary file: memory holds the keys.
// adifPath "-" reads standard input; anything but a regular file is refused.
ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note,
                         qsizetype noteLimit = std::numeric_limits<qsizetype>::max());

} // namespace tavrelo::adif
