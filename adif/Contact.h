// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "ContactKey.h"
#include "FieldNames.h"
#include "LogFile.h"
#include "LogReader.h"

#include <QString>

#include <array>

namespace tavrelo::adif {

// What an ADIF record's contact is: the fields that make its log line and
// its key, and those that tell contacts of one key apart.

// The record's fields that have a slot, the first of each name, and
// whether it has a field with a value that no box holds: all in one look.
struct Picked {
    using Slot = Field;
    static constexpr int SlotCount = FieldCount;

    std::array<QByteArrayView, SlotCount> value{};
    std::array<bool, SlotCount> has{};
    bool keepsMore = false;

    // A field that is there but empty counts as missing.
    bool filled(Slot slot) const {
        return has[slot] && !logfile::asciiTrimmed(value[slot]).isEmpty();
    }
    QByteArrayView either(Slot first, Slot second) const {
        return filled(first) ? value[first] : value[second];
    }
};
Picked pick(const AdifRecord& record);

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
// The same from the fields picked; keys, when given, receives the key.
QString appendContact(const Picked& picked, QByteArray& out, QByteArray* keys);

// The log's contact key, with the log's format.
using logfile::appendContactKey;
using logfile::contactKey;
using logfile::logLineKey;

// The contact key of an ADIF record, as its log line would give it; false
// when the record gives no contact.
bool recordKey(const AdifRecord& record, QByteArray& key);
// The same from the fields already picked.
bool keyOf(const Picked& picked, QByteArray& key);

} // namespace tavrelo::adif
