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

bool isOwnField(QByteArrayView name) {
    return name.startsWith("APP_TAVRELO_");
}

// What the conversion does with a field of the record: the slot it is
// looked for in, if any, and whether it is written after the line's own
// fields (not a box, FREQ, MODE, SUBMODE, nor one of Tavrelo's own).
struct FieldKind {
    int slot = -1;
    bool other = true;
    bool anyValue = false; // a value of blanks takes the slot too
};
FieldKind kindOf(QByteArrayView name) {
    constexpr FieldKind other, placed{-1, false};
    const FieldName* f = fieldNamed(name);
    if (hasRole(f, name, Header) || (!f && isOwnField(name)))
        return placed; // never written with a contact
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
    case Dxcc:
    case Country:
    case Cqz:
    case Ituz:
    case Cont:
        // Looked for by the entity's fill, which must not write a second
        // field of a name the contact has, blank or not
        return {f->field, true, true};
    default:
        return {f->field, false};
    }
}

} // namespace

void digest(RecordView& r) {
    std::fill(std::begin(r.at), std::end(r.at), qint32(-1));
    r.others.clear();
    r.bytes = 0;
    r.entityMade = false;
    // Names seen among the others, by two bits of their length and letters:
    // only a name whose bits are both set is looked for among them.
    quint64 seen = 0;
    for (qsizetype i = 0; i < r.fields.size(); ++i) {
        const AdifField& f = r.fields[i];
        r.bytes += f.name.size() + f.data.size() + 16;
        const FieldKind kind = kindOf(f.name);
        if (kind.slot >= 0 && r.at[kind.slot] < 0 &&
            !(kind.anyValue ? f.data : logfile::asciiTrimmed(f.data)).isEmpty())
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

namespace {

// How a value goes into a file that cannot hold it as it is.
enum class As {
    Text, // letters lose their accents in an ASCII file (é gives e)
    Code, // a call, a report, a mode: kept only as far as ASCII holds it
};

// Writes one record's fields after the end of out: each value as the file
// holds it. Printable ASCII goes as it is; other text as UTF-8, or in an
// ASCII file as far as ASCII holds it, saying what was dropped. Written
// through a pointer into room made for the whole record: appending field
// by field to a QByteArray would cost more than all the rest.
class RecordWriter {
public:
    RecordWriter(QByteArray& out, qsizetype room, bool utf8, Conversion& said)
        : out_(out), start_(out.size()), utf8_(utf8), said_(said) {
        out_.resize(start_ + room);
        w_ = out_.data() + start_;
    }
    void put(QByteArrayView name, QByteArrayView value, As as = As::Text) {
        if (value.isEmpty())
            return;
        if (logfile::isPrintable(value)) {
            raw(name, value);
            return;
        }
        const QString text = QString::fromUtf8(value);
        if (utf8_) {
            raw(name, value.isValidUtf8() ? value : QByteArrayView(text.toUtf8()));
            return;
        }
        const AsciiText ascii = toAdiString(text, as == As::Text, hasRole(name, Multiline));
        if (!ascii.dropped.isEmpty())
            said_.warnings << QStringLiteral("%1: dropped \"%2\", which ADIF text cannot hold")
                                  .arg(QString::fromLatin1(name), ascii.dropped);
        raw(name, ascii.text);
    }
    // A field already written as " <NAME:n>value".
    void written(QByteArrayView field) {
        room(field.size());
        logfile::copyShort(w_, field.data(), field.size());
        w_ += field.size();
    }
    // The record ended by <EOR> and a line break.
    void finish() {
        room(7);
        std::memcpy(w_, " <EOR>\n", 7);
        out_.truncate(w_ + 7 - out_.constData());
    }

private:
    // <NAME:length>value, after a space unless it starts the record.
    void raw(QByteArrayView name, QByteArrayView value) {
        if (value.isEmpty())
            return;
        room(name.size() + value.size() + 24);
        char* w = w_;
        if (w != out_.constData() + start_)
            *w++ = ' ';
        *w++ = '<';
        logfile::copyShort(w, name.data(), name.size());
        w += name.size();
        *w++ = ':';
        w = putNumber(w, value.size());
        *w++ = '>';
        logfile::copyShort(w, value.data(), value.size());
        w_ = w + value.size();
    }
    void room(qsizetype n) {
        const qsizetype at = w_ - out_.constData();
        if (out_.size() - at < n) {
            out_.resize(at + n + 256);
            w_ = out_.data() + at;
        }
    }
    QByteArray& out_;
    const qsizetype start_;
    const bool utf8_;
    Conversion& said_;
    char* w_ = nullptr;
};

// The line's eight values, split at the separators; the separators found,
// which are 7 on a line that gives a contact.
int splitLine(QByteArrayView line, QByteArrayView (&values)[logfile::FieldCount]) {
    const char* const end = line.data() + line.size();
    const char* from = line.data();
    int separators = 0;
    for (const char* p = from; p + 3 <= end;) {
        p = logfile::findNear(p, end, ',');
        if (!p || p + 3 > end)
            break;
        if (p[1] != ' ' || p[2] != ' ') {
            ++p;
            continue;
        }
        if (separators < logfile::FieldCount - 1)
            values[separators] = QByteArrayView(from, p);
        ++separators;
        from = p += 3;
    }
    if (separators == logfile::FieldCount - 1)
        values[separators] = QByteArrayView(from, end);
    return separators;
}

bool isBlank(QByteArrayView v) {
    return logfile::asciiTrimmed(v).isEmpty();
}

} // namespace

bool appendRecord(QByteArrayView line, const ExportOptions& options, const RecordView* record,
                  QByteArray& out, Conversion& said, EntityFiller* entities) {
    const auto slot = [&](RecordView::Slot s) { return record ? record->slot(s) : nullptr; };
    // A line of an older 8-bit program is read as Windows-1252; every value
    // is UTF-8 from here on.
    QByteArray decoded;
    if (!logfile::isPrintable(line) && !line.isValidUtf8()) {
        decoded = logfile::decodeLine(line.data(), line.data() + line.size()).toUtf8();
        line = decoded;
    }
    QByteArrayView f[logfile::FieldCount];
    const int separators = splitLine(line, f);
    if (separators != logfile::FieldCount - 1) {
        said.skipReason =
            QStringLiteral("%1 field separators \",  \" instead of 7").arg(separators);
        return false;
    }
    const auto text = [&](int i) { return QString::fromUtf8(f[i]); };
    char date[8], time[6];
    if (!parseDate(f[0].data(), f[0].data() + f[0].size(), date)) {
        said.skipReason = QStringLiteral("the date \"%1\" does not parse").arg(text(0));
        return false;
    }
    const int timeLength = parseTime(f[1].data(), f[1].data() + f[1].size(), time);
    if (!timeLength) {
        said.skipReason = QStringLiteral("the time \"%1\" does not parse").arg(text(1));
        return false;
    }
    const char* bandText = nullptr;
    QByteArray freq;
    if (!f[2].isEmpty()) {
        bandText = looseBand(f[2], &freq);
        if (!bandText) {
            said.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band").arg(text(2));
            return false;
        }
    }

    RecordWriter w(out, 2 * line.size() + 260 + 2 * (record ? record->bytes : 0), options.utf8,
                   said);
    w.put("QSO_DATE", QByteArrayView(date, 8));
    w.put("TIME_ON", QByteArrayView(time, timeLength));
    if (bandText)
        w.put("BAND", bandText);
    // The record's frequency, else the one typed as the band.
    if (const AdifField* recordFreq = slot(Freq)) {
        const FreqOut given = freqOut(*recordFreq, bandText);
        freq = given.mhz;
        if (freq.isEmpty()) {
            w.put("APP_TAVRELO_FREQ", given.kept);
            ++said.keptAsApplication;
            said.warnings << QStringLiteral("FREQ \"%1\" is not on the band %2 in MHz, kHz or "
                                            "Hz: written as APP_TAVRELO_FREQ")
                                 .arg(QString::fromUtf8(given.kept),
                                      QLatin1String(bandText ? bandText : "given"));
        }
    }
    w.put("FREQ", freq);

    // A box left empty (or holding blanks only) takes the record's value: a
    // later copy of the contact in the same file may have brought it.
    using S = RecordView::Slot;
    const auto boxOr = [&](int box, S own, int intl = -1) {
        if (!isBlank(f[box]))
            return f[box];
        const AdifField* v = intl >= 0 ? slot(S(intl)) : nullptr;
        if (!v)
            v = slot(own);
        return v ? v->data : QByteArrayView();
    };
    const QByteArrayView call = boxOr(3, S::Call);
    char upper[32];
    if (logfile::isPrintable(call) && call.size() <= qsizetype(sizeof upper)) {
        std::transform(call.begin(), call.end(), upper,
                       [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
        w.put("CALL", QByteArrayView(upper, call.size()));
    } else {
        w.put("CALL", QString::fromUtf8(call).toUpper().toUtf8(), As::Code);
    }
    w.put("NAME", boxOr(4, S::Name, S::NameIntl));
    // A grid that went into the QTH box is the record's GRIDSQUARE, not a QTH.
    const AdifField* grid = slot(S::Grid);
    const QByteArrayView qth = logfile::asciiTrimmed(f[5]);
    const bool qthIsGrid = grid && !slot(S::Qth) && !slot(S::QthIntl) &&
                           qth.compare(logfile::asciiTrimmed(grid->data), Qt::CaseInsensitive) == 0;
    if (!qthIsGrid)
        w.put("QTH", boxOr(5, S::Qth, S::QthIntl));
    w.put("RST_SENT", boxOr(6, S::RstSent), As::Code);
    w.put("RST_RCVD", boxOr(7, S::RstRcvd), As::Code);
    if (!grid && isLocator(f[5]))
        w.put("GRIDSQUARE", qth);

    // The record's mode and submode, else the ones given for contacts without.
    RecordMode recordMode;
    modeOfRecord(record, recordMode);
    const bool ownMode = !recordMode.mode.isEmpty();
    w.put("MODE", ownMode ? recordMode.mode : QByteArrayView(options.mode.mode), As::Code);
    w.put("SUBMODE", ownMode ? recordMode.submode : QByteArrayView(options.mode.submode), As::Code);
    said.wroteMode = ownMode || !options.mode.mode.isEmpty();
    if (record) {
        for (const qint32 k : record->others) {
            const AdifField& field = record->fields[k];
            // An ASCII file cannot hold the international fields at all;
            // the UTF-8 one keeps them.
            if (!options.utf8 && isIntl(field.name))
                continue;
            w.put(field.name, field.data);
        }
    }
    if (entities) {
        const EntityFields fromCall =
            record && record->entityMade ? EntityFields{} : entities->fieldsOf(call);
        for (const QByteArrayView field :
             lacking(record && record->entityMade ? record->entity : fromCall, record))
            w.written(field);
    }
    w.finish();
    return true;
}

Conversion convertLine(QByteArrayView line, const ExportOptions& options,
                       const RecordView* record) {
    Conversion c;
    appendRecord(line, options, record, c.record, c);
    return c;
}

Conversion convertLine(const QString& line, const QByteArray& modeField) {
    return convertLine(line.toUtf8(), ExportOptions{{modeField, {}}, false});
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
    summary.fieldsError =
        records.open(logfile::fieldsPath(logPath), options.countries, options.utf8);
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
            Conversion said;
            if (!appendRecord(QByteArrayView(b, e), options, record, out, said,
                              entities ? &*entities : nullptr)) {
                ++summary.skipped;
                note(QStringLiteral("line %1: skipped: %2").arg(lineNumber).arg(said.skipReason));
                return;
            }
            for (const QString& w : said.warnings)
                note(QStringLiteral("line %1: %2").arg(lineNumber).arg(w));
            ++summary.written;
            summary.withoutMode += !said.wroteMode;
            summary.keptAsApplication += said.keptAsApplication;
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
