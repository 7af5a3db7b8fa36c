// SPDX-License-Identifier: GPL-3.0-or-later
#include "Import.h"

#include "Adif.h"
#include "Clock.h"

#include <QDate>
#include <QFile>
#include <QTime>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>

namespace tavrelo::adif {

namespace {

struct BandRange {
    const char* band;
    double low, high; // MHz
};
// The band plan of ADIF 3.1.4.
constexpr BandRange bandPlan[] = {
    {"2190m", 0.1357, 0.1378},   {"630m", 0.472, 0.479},      {"560m", 0.501, 0.504},
    {"160m", 1.8, 2.0},          {"80m", 3.5, 4.0},           {"60m", 5.06, 5.45},
    {"40m", 7.0, 7.3},           {"30m", 10.1, 10.15},        {"20m", 14.0, 14.35},
    {"17m", 18.068, 18.168},     {"15m", 21.0, 21.45},        {"12m", 24.890, 24.99},
    {"10m", 28.0, 29.7},         {"8m", 40.0, 45.0},          {"6m", 50.0, 54.0},
    {"5m", 54.000001, 69.9},     {"4m", 70.0, 71.0},          {"2m", 144.0, 148.0},
    {"1.25m", 222.0, 225.0},     {"70cm", 420.0, 450.0},      {"33cm", 902.0, 928.0},
    {"23cm", 1240.0, 1300.0},    {"13cm", 2300.0, 2450.0},    {"9cm", 3300.0, 3500.0},
    {"6cm", 5650.0, 5925.0},     {"3cm", 10000.0, 10500.0},   {"1.25cm", 24000.0, 24250.0},
    {"6mm", 47000.0, 47200.0},   {"4mm", 75500.0, 81000.0},   {"2.5mm", 119980.0, 123000.0},
    {"2mm", 134000.0, 149000.0}, {"1mm", 241000.0, 250000.0}, {"submm", 300000.0, 7500000.0}};

const char* const keptFields[] = {"QSO_DATE", "TIME_ON",    "BAND",      "FREQ",
                                  "CALL",     "NAME",       "NAME_INTL", "QTH",
                                  "QTH_INTL", "GRIDSQUARE", "RST_SENT",  "RST_RCVD"};

// A box's text from a field: decoded (UTF-8, else Windows-1252), on one
// line, and never holding the record's separator.
QString boxText(const QByteArray& data) {
    QString text = logfile::decodeLine(data.constBegin(), data.constEnd());
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    while (text.contains(QLatin1String(logfile::FieldSeparator)))
        text.replace(QLatin1String(logfile::FieldSeparator), QStringLiteral(", "));
    return text;
}

bool allDigits(const QByteArray& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(const QByteArray& digits, qsizetype from, qsizetype count) {
    int n = 0;
    for (qsizetype i = from; i < from + count; ++i)
        n = n * 10 + (digits[i] - '0');
    return n;
}

QByteArray either(const AdifRecord& r, const char* first, const char* second) {
    return r.has(first) && !r.value(first).isEmpty() ? r.value(first) : r.value(second);
}

} // namespace

std::optional<QByteArray> bandOfFrequency(double mhz) {
    for (const BandRange& b : bandPlan) {
        if (mhz >= b.low && mhz <= b.high)
            return QByteArray(b.band);
    }
    return std::nullopt;
}

Mapped mapRecord(const AdifRecord& record) {
    Mapped m;
    const QByteArray call = record.value("CALL").trimmed();
    if (call.isEmpty()) {
        m.skipReason = QStringLiteral("no CALL");
        return m;
    }
    const QByteArray date = record.value("QSO_DATE").trimmed();
    const QDate d = date.size() == 8 && allDigits(date)
                        ? QDate(number(date, 0, 4), number(date, 4, 2), number(date, 6, 2))
                        : QDate();
    if (!d.isValid() || d.year() < 1930) {
        m.skipReason =
            QStringLiteral("no QSO_DATE that parses (\"%1\")").arg(QString::fromLatin1(date));
        return m;
    }
    const QByteArray time = record.value("TIME_ON").trimmed();
    const bool timeForm = (time.size() == 4 || time.size() == 6) && allDigits(time);
    const QTime t = timeForm ? QTime(number(time, 0, 2), number(time, 2, 2),
                                     time.size() == 6 ? number(time, 4, 2) : 0)
                             : QTime();
    if (!t.isValid()) {
        m.skipReason =
            QStringLiteral("no TIME_ON that parses (\"%1\")").arg(QString::fromLatin1(time));
        return m;
    }
    QByteArray bandName;
    if (record.has("BAND")) {
        const auto b = band(QString::fromLatin1(record.value("BAND")));
        if (!b) {
            m.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band")
                               .arg(QString::fromLatin1(record.value("BAND")));
            return m;
        }
        bandName = *b;
    } else if (record.has("FREQ")) {
        bool ok = false;
        const double mhz = record.value("FREQ").trimmed().toDouble(&ok);
        const auto b = ok ? bandOfFrequency(mhz) : std::nullopt;
        if (!b) {
            m.skipReason = QStringLiteral("the frequency \"%1\" is in no ADIF band")
                               .arg(QString::fromLatin1(record.value("FREQ")));
            return m;
        }
        bandName = *b;
    }
    static const clock::MonthTable months = clock::makeMonthTable();
    const QDateTime when(d, t, QTimeZone::utc());
    m.fields[0] = clock::datum(when, months);
    m.fields[1] = time.size() == 6 ? clock::uhrzeit2(when) : clock::uhrzeit(when);
    m.fields[2] = QString::fromLatin1(bandName);
    m.fields[3] = boxText(call);
    m.fields[4] = boxText(either(record, "NAME_INTL", "NAME"));
    m.fields[5] =
        boxText(record.has("QTH_INTL") || record.has("QTH") ? either(record, "QTH_INTL", "QTH")
                                                            : record.value("GRIDSQUARE"));
    m.fields[6] = boxText(record.value("RST_SENT"));
    m.fields[7] = boxText(record.value("RST_RCVD"));
    return m;
}

QByteArray contactKey(const logfile::Fields& f) {
    return (f[0].toLower() + QLatin1Char('|') + f[1].left(5) + QLatin1Char('|') +
            f[2].trimmed().toLower() + QLatin1Char('|') + f[3].trimmed().toUpper())
        .toUtf8();
}

ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note) {
    ImportSummary summary;
    QFile file(adifPath);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly)) {
        summary.error =
            errno ? OsError::fromErrno(QStringLiteral("read the ADIF file"), adifPath, errno)
                  : OsError::because(QStringLiteral("read the ADIF file"), adifPath,
                                     file.errorString());
        return summary;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        summary.error =
            OsError::because(QStringLiteral("read the ADIF file"), adifPath, file.errorString());
        return summary;
    }

    // The contacts the log holds already.
    QSet<QByteArray> known;
    const logfile::ReadResult read =
        logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                const QStringList parts =
                    logfile::decodeLine(b, e).split(QLatin1String(logfile::FieldSeparator));
                if (parts.size() < 4)
                    return;
                logfile::Fields f;
                for (int i = 0; i < 4; ++i)
                    f[size_t(i)] = parts[i];
                known.insert(contactKey(f));
            });
        });
    if (read.status == logfile::ReadStatus::Failed) {
        summary.error = read.error;
        return summary;
    }

    QSet<QByteArray> notKept;
    QByteArray batch;
    AdifReader reader(bytes);
    AdifRecord record;
    while (reader.next(record)) {
        for (const AdifField& f : record.fields) {
            if (std::find_if(std::begin(keptFields), std::end(keptFields),
                             [&](const char* k) { return f.name == k; }) == std::end(keptFields))
                notKept.insert(f.name);
        }
        if (!record.ended)
            summary.lastRecordUnended = true;
        const Mapped m = mapRecord(record);
        if (!m.skipReason.isEmpty()) {
            ++summary.skipped;
            note(QStringLiteral("record %1 (byte %2): skipped: %3")
                     .arg(record.number)
                     .arg(record.offset)
                     .arg(m.skipReason));
            continue;
        }
        const QByteArray key = contactKey(m.fields);
        if (known.contains(key)) {
            ++summary.duplicates;
            continue;
        }
        known.insert(key);
        batch += logfile::buildRecord(m.fields);
        ++summary.added;
    }
    summary.valuesReadAsCharacters = reader.valuesReadAsCharacters();
    for (const QByteArray& name : notKept)
        summary.fieldsNotKept << QString::fromLatin1(name);
    summary.fieldsNotKept.sort();

    if (!batch.isEmpty()) {
        const logfile::SaveResult saved =
            logfile::appendRecord(logPath, batch, nullptr, logfile::OnSyncFailure::Undo);
        if (saved.state != logfile::SaveState::Saved) {
            summary.error = saved.error;
            summary.added = 0;
        }
    }
    return summary;
}

} // namespace tavrelo::adif
