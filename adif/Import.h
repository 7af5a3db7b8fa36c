// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "LogFile.h"
#include "LogReader.h"

#include <QSet>
#include <QStringList>

#include <functional>
#include <optional>

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

// The ADIF band that holds a frequency in MHz, if any.
std::optional<QByteArray> bandOfFrequency(double mhz);

// What makes two contacts the same: date, UTC to the minute, band, call.
QByteArray contactKey(const logfile::Fields& fields);

struct ImportSummary {
    qsizetype added = 0;
    qsizetype duplicates = 0;
    qsizetype skipped = 0;
    qsizetype valuesReadAsCharacters = 0;
    QStringList fieldsNotKept; // names of fields with no box, each once
    bool lastRecordUnended = false;
    OsError error; // the ADIF file could not be read, or the log not written
};

// Appends the contacts of an ADIF file to the log, all at once: one append
// under the log's lock, synced before it counts. A record already in the
// log, or earlier in the file, is a duplicate and skipped. note() receives
// every skipped record with its number, byte offset and reason.
ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note);

} // namespace tavrelo::adif
