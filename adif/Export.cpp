// SPDX-License-Identifier: GPL-3.0-or-later
// A log and its fields file written as ADIF.
#include "Adif.h"

#include "AdifReader.h"

#include "Clock.h"
#include "ContactKey.h"
#include "EntityFiller.h"
#include "FieldsFile.h"
#include "LogFile.h"
#include "Transaction.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace tavrelo::adif {

namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

} // namespace

Conversion convertLine(const QString& line, const QByteArray& modeField) {
    return convertLine(line, ExportOptions{{modeField, {}}, false});
}

namespace {

bool isOwnField(QByteArrayView name) {
    return name.startsWith("APP_TAVRELO_");
}

bool printable(const char* b, const char* e) {
    return logfile::isPrintable(QByteArrayView(b, e - b));
}

// What the conversion does with a field of the record: the slot it is
// looked for in, if any, and whether it is written after the line's own
// fields (not a box, FREQ, MODE, SUBMODE, nor one of Tavrelo's own). By
// length and first letter: most names are none of the looked-for ones.
struct FieldKind {
    int slot = -1;
    bool other = true;
};
FieldKind kindOf(QByteArrayView name) {
    constexpr FieldKind other, placed{-1, false};
    if (isOwnField(name) || hasRole(name, Header))
        return placed; // never written with a contact
    const FieldName* f = fieldNamed(name);
    if (!f || f->field < 0)
        return other;
    switch (f->field) {
    case QsoDate:
    case TimeOn:
    case Band:
        return placed; // the line's own
    case NameIntl:
    case QthIntl:
    case Grid:
        return {f->field, true}; // looked for, and written as they came
    case SatName:
    case PropMode:
        return other;
    default:
        return {f->field, false};
    }
}

} // namespace

void digest(RecordView& r, bool printableKnown) {
    std::fill(std::begin(r.at), std::end(r.at), qint32(-1));
    r.others.clear();
    r.printable = true;
    r.utf8 = true;
    r.bytes = 0;
    // Names seen among the others, by two bits of their length and letters:
    // only a name whose bits are both set is looked for among them.
    quint64 seen = 0;
    for (qsizetype i = 0; i < r.fields.size(); ++i) {
        const AdifField& f = r.fields[i];
        r.bytes += f.name.size() + f.data.size() + 16;
        if (!printableKnown && r.printable) {
            r.printable = printable(f.data.data(), f.data.data() + f.data.size());
            r.utf8 = r.printable || QUtf8StringView(f.data).isValidUtf8();
        } else if (!r.printable && r.utf8) {
            r.utf8 = QUtf8StringView(f.data).isValidUtf8();
        }
        const FieldKind kind = kindOf(f.name);
        if (kind.slot >= 0 && r.at[kind.slot] < 0 && !logfile::asciiTrimmed(f.data).isEmpty())
            r.at[kind.slot] = qint32(i);
        if (!kind.other || f.data.isEmpty())
            continue;
        const quint64 h = f.name.isEmpty()
                              ? 0
                              : (quint64(f.name.size()) * 0x9E3779B97F4A7C15ull ^
                                 quint8(f.name.front()) * 0xC2B2AE3D27D4EB4Full ^
                                 quint8(f.name.back()) * 0x165667B19E3779F9ull ^
                                 quint8(f.name[f.name.size() / 2]) * 0x27D4EB2F165667C5ull);
        const quint64 bits = (quint64(1) << (h >> 58)) | (quint64(1) << ((h >> 52) & 63));
        if ((seen & bits) == bits && std::any_of(r.others.begin(), r.others.end(), [&](qint32 k) {
                return sameName(r.fields[k].name, f.name);
            }))
            continue;
        seen |= bits;
        r.others.append(qint32(i));
    }
}

void digest(const StoredFields& fields, RecordView& record) {
    record.fields.clear();
    for (const StoredField& f : fields)
        record.fields.append({f.name, f.value});
    digest(record);
}

namespace {

// What a record's FREQ gives the export. ADIF's FREQ is in MHz; other
// programs have written it in kHz or in Hz: a value that lies on the line's
// band (the operator may have changed the band since the record came) as
// MHz, kHz or Hz goes out as MHz. One that lies on no band the line allows
// goes out as it came under APP_TAVRELO_FREQ, never dropped.
struct FreqOut {
    QByteArray mhz;      // FREQ to write; empty when none fits
    QByteArrayView kept; // else the record's own text
};
FreqOut freqOut(const AdifField& freq, const char* bandText) {
    const QByteArrayView text = freq.data.trimmed();
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (ok && value > 0) {
        for (const double scale : {1.0, 1e-3, 1e-6}) {
            const char* band = bandOfFrequency(value * scale);
            if (band && (!bandText || qstrcmp(band, bandText) == 0)) {
                if (scale == 1.0)
                    return {text.toByteArray(), {}};
                QByteArray mhz = QByteArray::number(value * scale, 'f', 6);
                while (mhz.endsWith('0') && !mhz.endsWith(".0"))
                    mhz.chop(1);
                return {mhz, {}};
            }
        }
        if (!bandText)
            return {text.toByteArray(), {}}; // no band to hold it to
    }
    return {{}, text};
}

// Whether a field is one of the _INTL ones, whose UTF-8 an ASCII file
// cannot hold: asked of every field of every record an export writes.
bool isIntl(QByteArrayView name) {
    return name.size() >= 5 && std::memcmp(name.data() + name.size() - 5, "_INTL", 5) == 0;
}

// The mode and submode the record gives, if any: a SUBMODE without a MODE
// gives the mode it belongs to, made in derived.
struct RecordMode {
    QByteArrayView mode, submode; // mode empty when the record gives none
    QByteArray derived;
};
void modeOfRecord(const RecordView* record, RecordMode& m) {
    const AdifField* mode = record ? record->slot(Mode) : nullptr;
    const AdifField* sub = record ? record->slot(Submode) : nullptr;
    if (mode) {
        m.mode = mode->data;
        m.submode = sub ? sub->data : QByteArrayView();
    } else if (sub) {
        if (const auto known = modeOf(QString::fromUtf8(sub->data))) {
            m.derived = known->mode;
            m.mode = m.derived;
            m.submode = sub->data;
        }
    }
}

} // namespace

Conversion convertLine(const QString& line, const ExportOptions& options,
                       const StoredFields* record) {
    if (!record)
        return convertLine(line, options, static_cast<const RecordView*>(nullptr));
    RecordView view;
    digest(*record, view);
    return convertLine(line, options, &view);
}

Conversion convertLine(const QString& line, const ExportOptions& options,
                       const RecordView* record) {
    const auto slot = [&](RecordView::Slot s) { return record ? record->slot(s) : nullptr; };
    Conversion result;
    const QStringList f = line.split(QLatin1String(logfile::FieldSeparator));
    if (f.size() != logfile::FieldCount) {
        result.skipReason =
            QStringLiteral("%1 field separators \",  \" instead of 7").arg(f.size() - 1);
        return result;
    }
    const std::optional<QByteArray> date = qsoDate(f[0]);
    if (!date) {
        result.skipReason = QStringLiteral("the date \"%1\" does not parse").arg(f[0]);
        return result;
    }
    const std::optional<QByteArray> time = timeOn(f[1]);
    if (!time) {
        result.skipReason = QStringLiteral("the time \"%1\" does not parse").arg(f[1]);
        return result;
    }
    const char* bandText = nullptr;
    QByteArray typedFreq;
    if (!f[2].isEmpty()) {
        bandText = looseBand(f[2].toUtf8(), &typedFreq);
        if (!bandText) {
            result.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band").arg(f[2]);
            return result;
        }
    }

    QByteArray& r = result.record;
    r.reserve(line.size() + 160);
    // A value as the output holds it: UTF-8, or ASCII with a warning for
    // what it cannot hold.
    const auto put = [&](const char* name, const QString& value, bool transliterate) {
        if (options.utf8) {
            if (!value.isEmpty())
                appendField(r, name, value.toUtf8());
            return;
        }
        const AsciiText ascii = toAdiString(value, transliterate);
        if (!ascii.dropped.isEmpty())
            result.warnings << QStringLiteral("%1: dropped \"%2\", which ADIF text cannot hold")
                                   .arg(QLatin1String(name), ascii.dropped);
        if (!ascii.text.isEmpty())
            appendField(r, name, ascii.text);
    };
    appendField(r, "QSO_DATE", *date);
    appendField(r, "TIME_ON", *time);
    if (bandText)
        appendField(r, "BAND", bandText);
    // The record's frequency, else the one typed as the band.
    if (const AdifField* freq = slot(Freq)) {
        const FreqOut out = freqOut(*freq, bandText);
        if (!out.mhz.isEmpty()) {
            appendField(r, "FREQ", out.mhz);
        } else {
            appendField(r, "APP_TAVRELO_FREQ", out.kept.toByteArray());
            ++result.keptAsApplication;
            result.warnings << QStringLiteral("FREQ \"%1\" is not on the band %2 in MHz, kHz or "
                                              "Hz: written as APP_TAVRELO_FREQ")
                                   .arg(QString::fromUtf8(out.kept),
                                        QLatin1String(bandText ? bandText : "given"));
        }
    } else if (!typedFreq.isEmpty()) {
        appendField(r, "FREQ", typedFreq);
    }
    // A box left empty (or holding blanks only) takes the record's value: a
    // later copy of the contact in the same file may have brought it.
    using S = RecordView::Slot;
    const auto boxOr = [&](int box, S own, int intl = -1) {
        if (!f[box].trimmed().isEmpty())
            return f[box];
        const AdifField* v = intl >= 0 ? slot(S(intl)) : nullptr;
        if (!v)
            v = slot(own);
        return v ? QString::fromUtf8(v->data) : QString();
    };
    put("CALL", f[3].toUpper(), false);
    put("NAME", boxOr(4, S::Name, S::NameIntl), true);
    // A grid that went into the QTH box is the record's GRIDSQUARE, not a QTH.
    const AdifField* grid = slot(S::Grid);
    const bool qthIsGrid =
        grid && !slot(S::Qth) && !slot(S::QthIntl) &&
        f[5].trimmed().compare(QString::fromUtf8(grid->data).trimmed(), Qt::CaseInsensitive) == 0;
    if (!qthIsGrid)
        put("QTH", boxOr(5, S::Qth, S::QthIntl), true);
    put("RST_SENT", boxOr(6, S::RstSent), false);
    put("RST_RCVD", boxOr(7, S::RstRcvd), false);
    if (!grid && isLocator(f[5].toUtf8()))
        appendField(r, "GRIDSQUARE", f[5].trimmed().toLatin1());

    RecordMode recordMode;
    modeOfRecord(record, recordMode);
    if (!recordMode.mode.isEmpty()) {
        put("MODE", QString::fromUtf8(recordMode.mode), false);
        if (!recordMode.submode.isEmpty())
            put("SUBMODE", QString::fromUtf8(recordMode.submode), false);
    } else if (!options.mode.mode.isEmpty()) {
        appendField(r, "MODE", options.mode.mode);
        if (!options.mode.submode.isEmpty())
            appendField(r, "SUBMODE", options.mode.submode);
    }
    if (record) {
        for (const qint32 k : record->others) {
            const AdifField& field = record->fields[k];
            // An ASCII file cannot hold the international fields at all;
            // the UTF-8 one keeps them.
            if (!options.utf8 && isIntl(field.name))
                continue;
            const QByteArray n = field.name.toByteArray();
            put(n.constData(), QString::fromUtf8(field.data), true);
        }
    }
    r += " <EOR>\n";
    return result;
}

namespace {

// <NAME:length>data, after a space unless it starts the record.
char* putField(char* w, const char* name, size_t nameLength, const char* b, const char* e,
               bool first, bool toUpper = false) {
    if (!first)
        *w++ = ' ';
    *w++ = '<';
    logfile::copyShort(w, name, qsizetype(nameLength));
    w += nameLength;
    *w++ = ':';
    w = putNumber(w, e - b);
    *w++ = '>';
    if (!toUpper) {
        logfile::copyShort(w, b, e - b);
        return w + (e - b);
    }
    for (const char* p = b; p < e; ++p)
        *w++ = upper(*p);
    return w;
}

} // namespace

bool convertAsciiLine(const char* begin, const char* end, const QByteArray& modeField,
                      QByteArray& out) {
    return convertAsciiLine(begin, end, ExportOptions{{modeField, {}}, false}, out);
}

bool convertAsciiLine(const char* begin, const char* end, const ExportOptions& options,
                      QByteArray& out, const StoredFields* record) {
    if (!record)
        return convertAsciiLine(begin, end, options, out, static_cast<const RecordView*>(nullptr));
    RecordView view;
    digest(*record, view);
    return convertAsciiLine(begin, end, options, out, &view);
}

bool convertAsciiLine(const char* begin, const char* end, const ExportOptions& options,
                      QByteArray& out, const RecordView* record, bool* wroteMode) {
    // Only printable ASCII: anything else may need a warning or a
    // transliteration, which convertLine() gives.
    if (!printable(begin, end))
        return false;
    // The record's values as they are: printable ASCII for an ASCII file,
    // UTF-8 for a UTF-8 one.
    if (record && !(options.utf8 ? record->utf8 : record->printable))
        return false;
    const auto slot = [&](RecordView::Slot s) { return record ? record->slot(s) : nullptr; };
    const char* fields[logfile::FieldCount + 1];
    int count = 0;
    fields[count++] = begin;
    for (const char* p = begin; p + 3 <= end;) {
        p = logfile::findNear(p, end, ',');
        if (!p || p + 3 > end)
            break;
        if (p[1] == ' ' && p[2] == ' ') {
            if (count == logfile::FieldCount)
                return false;
            fields[count++] = p + 3;
            p += 3;
        } else {
            ++p;
        }
    }
    if (count != logfile::FieldCount)
        return false;
    fields[logfile::FieldCount] = end + 3;
    auto fieldEnd = [&](int i) { return fields[i + 1] - 3; };

    char date[8], time[6];
    if (!parseDate(fields[0], fieldEnd(0), date))
        return false;
    const int timeLength = parseTime(fields[1], fieldEnd(1), time);
    if (!timeLength)
        return false;
    const char* bandText = nullptr;
    QByteArray typedFreq;
    if (fields[2] != fieldEnd(2)) {
        bandText = looseBand(QByteArrayView(fields[2], fieldEnd(2)), &typedFreq);
        if (!bandText)
            return false;
    }
    // The record's mode and submode, else the ones given for contacts without.
    RecordMode recordMode;
    modeOfRecord(record, recordMode);
    const bool ownMode = !recordMode.mode.isEmpty();
    const QByteArrayView modeField = ownMode ? recordMode.mode : QByteArrayView(options.mode.mode);
    const QByteArrayView submodeField =
        ownMode ? recordMode.submode : QByteArrayView(options.mode.submode);
    const QByteArrayView qth(fields[5], fieldEnd(5));
    const AdifField* recordGrid = slot(Grid);
    const bool typedGrid = !recordGrid && isLocator(qth);
    const bool qthIsGrid =
        recordGrid && !slot(Qth) && !slot(QthIntl) &&
        qth.trimmed().compare(recordGrid->data.trimmed(), Qt::CaseInsensitive) == 0;
    // The record's frequency, else the one typed as the band; one that goes
    // out as an application field takes the other way, which says so.
    QByteArray freq = typedFreq;
    if (const AdifField* f = slot(Freq)) {
        FreqOut out = freqOut(*f, bandText);
        if (out.mhz.isEmpty())
            return false;
        freq = std::move(out.mhz);
    }
    // Room for the line's text, the tags and their lengths.
    const qsizetype start = out.size();
    out.resize(start + 2 * (end - begin) + modeField.size() + submodeField.size() + 260 +
               2 * (record ? record->bytes : 0));
    char* w = out.data() + start;
    w = putField(w, "QSO_DATE", 8, date, date + 8, true);
    w = putField(w, "TIME_ON", 7, time, time + timeLength, false);
    if (bandText)
        w = putField(w, "BAND", 4, bandText, bandText + qstrlen(bandText), false);
    if (!freq.isEmpty())
        w = putField(w, "FREQ", 4, freq.data(), freq.data() + freq.size(), false);
    using S = RecordView::Slot;
    static const char* const names[] = {"CALL", "NAME", "QTH", "RST_SENT", "RST_RCVD"};
    static const size_t nameLengths[] = {4, 4, 3, 8, 8};
    static constexpr int own[] = {S::Call, S::Name, S::Qth, S::RstSent, S::RstRcvd};
    static constexpr int intl[] = {-1, S::NameIntl, S::QthIntl, -1, -1};
    for (int i = 3; i < logfile::FieldCount; ++i) {
        if (i == 5 && qthIsGrid)
            continue;
        const char* b = fields[i];
        const char* e = fieldEnd(i);
        if (std::all_of(b, e, [](char c) { return c == ' '; })) {
            // An empty box, or one of blanks, takes the record's value.
            const AdifField* v = intl[i - 3] >= 0 ? slot(S(intl[i - 3])) : nullptr;
            if (!v)
                v = slot(S(own[i - 3]));
            b = v ? v->data.data() : e;
            e = v ? b + v->data.size() : e;
        }
        if (b != e)
            w = putField(w, names[i - 3], nameLengths[i - 3], b, e, false, i == 3);
    }
    if (typedGrid) {
        const QByteArrayView trimmed = qth.trimmed();
        w = putField(w, "GRIDSQUARE", 10, trimmed.data(), trimmed.data() + trimmed.size(), false);
    }
    if (!modeField.isEmpty())
        w = putField(w, "MODE", 4, modeField.data(), modeField.data() + modeField.size(), false);
    if (wroteMode)
        *wroteMode = !modeField.isEmpty();
    if (!submodeField.isEmpty())
        w = putField(w, "SUBMODE", 7, submodeField.data(),
                     submodeField.data() + submodeField.size(), false);
    if (record) {
        for (const qint32 k : record->others) {
            const AdifField& f = record->fields[k];
            if (!options.utf8 && isIntl(f.name))
                continue;
            w = putField(w, f.name.data(), size_t(f.name.size()), f.data.data(),
                         f.data.data() + f.data.size(), false);
        }
    }
    memcpy(w, " <EOR>\n", 7);
    w += 7;
    out.truncate(w - out.constData());
    return true;
}

} // namespace tavrelo::adif

namespace tavrelo::adif {

ExportSummary exportLog(const QString& logPath, const QByteArray& modeField,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note) {
    return exportLog(logPath, ExportOptions{{modeField, {}}, false}, created, programVersion, write,
                     note);
}

ExportSummary exportLog(const QString& logPath, const ExportOptions& options,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note) {
    ExportSummary summary;
    FieldsIndex records;
    summary.fieldsError = records.open(logfile::fieldsPath(logPath));
    if (!summary.fieldsError.ok())
        return summary;
    QByteArray out = header(created, programVersion);
    qsizetype lineNumber = 0;
    auto flush = [&] {
        if (summary.writeError == 0 && !out.isEmpty())
            summary.writeError = write(out);
        out.clear();
    };
    QByteArray key;
    std::optional<EntityFiller> entities;
    if (options.countries)
        entities.emplace(*options.countries, options.utf8);
    summary.read = logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            ++lineNumber;
            const RecordView* record =
                !records.isEmpty() && logfile::logLineKey(b, e, key) ? records.take(key) : nullptr;
            bool wroteMode = false;
            const qsizetype recordStart = out.size();
            const auto filled = [&] {
                if (entities)
                    entities->fill(out, recordStart);
            };
            if (convertAsciiLine(b, e, options, out, record, &wroteMode)) {
                filled();
                ++summary.written;
                summary.withoutMode += !wroteMode;
                if (out.size() >= 64 * 1024)
                    flush();
                return;
            }
            const Conversion c = convertLine(logfile::decodeLine(b, e), options, record);
            if (c.record.isEmpty()) {
                ++summary.skipped;
                note(QStringLiteral("line %1: skipped: %2").arg(lineNumber).arg(c.skipReason));
                return;
            }
            for (const QString& w : c.warnings)
                note(QStringLiteral("line %1: %2").arg(lineNumber).arg(w));
            ++summary.written;
            summary.keptAsApplication += c.keptAsApplication;
            if (!c.record.contains("<MODE:"))
                ++summary.withoutMode;
            out += c.record;
            filled();
            if (out.size() >= 64 * 1024)
                flush();
        });
    });
    flush();
    // The fields file may fail only now, read as the lines ask for it.
    if (summary.fieldsError.ok())
        summary.fieldsError = records.error();
    return summary;
}

} // namespace tavrelo::adif
