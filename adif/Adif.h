// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "CountryFile.h"
#include "EntityFiller.h"
#include "FieldNames.h"
#include "LogReader.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tavrelo::adif {

inline constexpr char AdifVersion[] = "3.1.4";

// 2006-Nov-18 gives 20061118; nothing for a date that does not parse or
// lies before 1930, the earliest ADIF date.
std::optional<QByteArray> qsoDate(const QString& logDate);
// 14:05:33 gives 140533, 14:05 gives 1405.
std::optional<QByteArray> timeOn(const QString& logTime);
// The ADIF band name, in lower case: 40M gives 40m, 70CM gives 70cm.
std::optional<QByteArray> band(const QString& logBand);
// The same on bytes: ADIF's name of the band, or null.
const char* bandName(QByteArrayView text);
// A band as an operator types it: an ADIF band (40m, 40M), a band without
// its unit or with a space (40, 40 m, 70 cm), or a frequency in MHz (7.074).
// Gives ADIF's name of the band, or null; a frequency also goes to freq.
const char* looseBand(QByteArrayView text, QByteArray* freq = nullptr);
// The ADIF band that holds a frequency in MHz, or null; the edges belong
// to the band.
const char* bandOfFrequency(double mhz);
// The mode as ADIF names it, upper case, if it is one of ADIF's modes.
std::optional<QByteArray> mode(const QString& name);

// One field of a contact's record in the fields file.
struct StoredField {
    QByteArray name;  // upper case
    QByteArray value; // UTF-8
};
using StoredFields = QList<StoredField>;

// A contact's record as the export joins it to its line: its fields, and
// where the ones the conversion looks for are, found in one pass by
// digest() (on the thread that reads the records, not the one that writes).
struct RecordView {
    using Slot = Field; // the fields the conversion looks for
    static constexpr int SlotCount = FieldCount;
    // Names in upper case, values as UTF-8; they point into memory that
    // whoever fills the view keeps.
    QVarLengthArray<AdifField, 24> fields;
    // The first field of each slot's name whose value is not blank, or -1.
    qint32 at[SlotCount];
    // The fields written after the line's own, the first of each name with
    // a value: not a box, FREQ, MODE, SUBMODE, nor one of Tavrelo's own.
    QVarLengthArray<qint32, 24> others;
    qsizetype bytes = 0; // its names and values, and room for their tags
    // Its call's entity fields, when they were made where it was read.
    EntityFields entity;
    bool entityMade = false;

    const AdifField* slot(Slot s) const { return at[s] < 0 ? nullptr : &fields[at[s]]; }
};
// Fills in what the view says about its fields.
void digest(RecordView& record);
// The same for stored fields, the view pointing into them.
void digest(const StoredFields& fields, RecordView& record);

// The log's date, 2006-Nov-18 (any case), as ADIF's 20061118; false when
// it is no date.
bool parseDate(const char* b, const char* e, char (&out)[8]);
// The log's UTC, HH:MM or HH:MM:SS: its digits without the colons, and
// how many; 0 when it is no time.
int parseTime(const char* b, const char* e, char (&out)[6]);

// A mode or submode as ADIF names it: FT8 is a mode, FT4 a submode of MFSK,
// USB one of SSB. Any case.

struct ModeName {
    QByteArray mode;
    QByteArray submode; // empty for a mode
};
std::optional<ModeName> modeOf(const QString& name);

// Whether text is a Maidenhead locator of 4, 6 or 8 characters (FN42,
// JO62qm, JO62qm15).
bool isLocator(QByteArrayView text);

// What the export writes besides the log's own fields.
struct ExportOptions {
    ModeName mode;     // for contacts whose record gives none
    bool utf8 = false; // values as UTF-8, lengths in bytes; otherwise ASCII
    // Fills DXCC, COUNTRY, CQZ, ITUZ and CONT that a contact lacks from its
    // call, when given; a value that came with the contact is never changed.
    const dxcc::CountryFile* countries = nullptr;
};

// Text as an ADI string: ASCII 32 to 126. Letters with accents lose them
// (é gives e, ü gives u; ß gives ss); any other character is dropped.
struct AsciiText {
    QByteArray text;
    QString dropped; // the characters that had no ASCII form
};
// A multiline field keeps its line breaks (CR LF).
AsciiText toAdiString(const QString& text, bool transliterate, bool lineBreaks = false);

// <NAME:length>data, the length counted in the data's bytes.
QByteArray field(const char* name, const QByteArray& data);
// The same appended to a record, after a space unless it starts a line.
void appendField(QByteArray& out, const char* name, const QByteArray& data);

// <NAME:length>value and a space, the length in bytes: a field as the
// fields file's records hold it.
void appendStoredField(QByteArray& out, QByteArrayView name, QByteArrayView value);

// Writes n in decimal through a pointer into room made beforehand (at most
// 20 bytes): appending byte by byte to a QByteArray would cost more than
// all the rest. Returns where the number ends.
inline char* putNumber(char* w, qsizetype n) {
    if (n >= 0 && n < 10) {
        *w = char('0' + n);
        return w + 1;
    }
    char digits[20];
    int k = 0;
    do {
        digits[k++] = char('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (k > 0)
        *w++ = digits[--k];
    return w;
}

// The file's header, ended by <EOH> and a line break.
QByteArray header(const QDateTime& createdUtc, const QString& programVersion);

// What converting one log line to one ADIF record gave, or why it gives no
// contact.
struct Conversion {
    QByteArray record;               // convertLine(): ended by <EOR> and a line break
    QString skipReason;              // why the line gives no contact
    QStringList warnings;            // what was changed on the way
    qsizetype keptAsApplication = 0; // values written as they came under APP_TAVRELO_ fields
    bool wroteMode = false;          // whether the record has a MODE
};
// Appends the record of one log line (its bytes, without the line end) to
// out, joined with the contact's fields record when it has one: every field
// of the record, but the line's eight values win over the record's. False,
// with out untouched, for a line that gives no contact. The ASCII and the
// UTF-8 file differ only in how a value beyond ASCII is written.
// With entities, the fields of the call's entity that the contact lacks
// are written too.
bool appendRecord(QByteArrayView line, const ExportOptions& options, const RecordView* record,
                  QByteArray& out, Conversion& said, EntityFiller* entities = nullptr);
// The same as a record of its own; empty when the line gives no contact.
Conversion convertLine(QByteArrayView line, const ExportOptions& options,
                       const RecordView* record = nullptr);
Conversion convertLine(const QString& line, const QByteArray& modeField);

} // namespace tavrelo::adif

namespace tavrelo::adif {

struct ExportSummary {
    qsizetype written = 0; // contacts
    qsizetype skipped = 0; // lines that gave no contact
    logfile::ReadResult read;
    int writeError = 0;              // errno of a failed write, 0 if none
    qsizetype withoutMode = 0;       // contacts written without a MODE
    qsizetype keptAsApplication = 0; // values written as they came under APP_TAVRELO_ fields
    OsError fieldsError;             // the fields file could not be read
};

// Streams a log into ADIF: the header, then one record per line that gives a
// contact, joined with its record in the fields file beside the log.
// write() takes the next bytes and returns 0 or an errno; note() receives
// every skipped line and warning, with its line number.
ExportSummary exportLog(const QString& logPath, const ExportOptions& options,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note);
ExportSummary exportLog(const QString& logPath, const QByteArray& modeField,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note);

} // namespace tavrelo::adif
