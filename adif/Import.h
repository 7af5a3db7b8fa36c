// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "ContactKey.h"
#include "ContactSet.h"
#include "KeySet.h"
#include "LogFile.h"
#include "LogReader.h"

#include <QStringList>

#include <functional>

namespace tavrelo::adif {

// One ADIF record as the eight boxes of a contact, or why it gives none.
struct Mapped {
    logfile::Fields fields;
    QString skipReason; // empty when fields hold a contact
};
// QSO_DATE, TIME_ON, BAND (or the band of FREQ), CALL, NAME (NAME_INTL
// first), QTH (QTH_INTL first, else GRIDSQUARE), RST_SENT, RST_RCVD. Missing
// fields give empty boxes; a contact needs a CALL, a QSO_DATE and a TIME_ON
// that parse, and a band that ADIF knows.
Mapped mapRecord(const AdifRecord& record);

// The same contact appended to out as one log record, exactly as
// buildRecord(mapRecord(record).fields) gives it, with its key in key; the
// common all-ASCII record on its bytes. Returns why the record gives no
// contact, with out untouched, or an empty string.
QString appendContact(const AdifRecord& record, QByteArray& out, QByteArray& key);

// The log's contact key, with the log's format.
using logfile::appendContactKey;
using logfile::contactKey;
using logfile::logLineKey;

// The contact key of an ADIF record, as its log line would give it; false
// when the record gives no contact.
bool recordKey(const AdifRecord& record, QByteArray& key);

// Every contact in a log, by key, with what tells contacts of one key apart
// (MODE, SUBMODE, SAT_NAME, PROP_MODE from its record in the fields file),
// for isDuplicate(); fails only when the log exists but cannot be read. A
// record whose log line is missing is no contact.
logfile::ReadResult readKnownContacts(const QString& logPath, ContactSet& known);
// Whether a contact is one of the known ones: the same key, unless both
// say what they were and differ. A new one becomes known. hash is
// ContactSet::hashOf(key).
bool isDuplicate(ContactSet& known, QByteArrayView key, QByteArrayView discriminator, quint64 hash);

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
    OsError error; // the ADIF file could not be read, or the log not written
};

// Appends the contacts of an ADIF file to the log, and their whole records
// to the fields file beside it, all or nothing: one append under the log's
// lock, synced before it counts. A record already in the log, or earlier in
// the file, is a duplicate: its line is not added, but the fields its
// contact's records lack are. note() receives every skipped and duplicate
// record with its number and byte offset. The file is read and parsed in
// pieces on a thread of its own, and what is to be appended waits in a
// temporary file: memory holds the keys.
// adifPath "-" reads standard input; anything but a regular file is refused.
ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note);

} // namespace tavrelo::adif
