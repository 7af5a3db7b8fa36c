// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a synthetic log in the record format, the same bytes for the same
// seed: gen_log OUT RECORDS [SEED] [fields]
// With "fields", every contact also gets a full record of 16 fields in the
// fields file beside the log (Tavrelo.adi), as an import would write it.
//
// Calls follow real prefix patterns; names, QTHs, bands and reports are drawn
// from plausible lists. Dates run forward from 2000. Two texts are placed on
// purpose so that benchmarks have known targets:
//   - the call ZZ9ZZ in five records near the end (a station worked rarely);
//   - the QTH Hamburg in about 5% of the records (the text "HAM").
#include "Adif.h"
#include "Clock.h"
#include "LogFile.h"
#include "Transaction.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QTimeZone>

#include <cstdio>

namespace {

const char* const prefixes[] = {"DL", "DK", "DJ", "G",  "M",  "F",   "I",  "EA", "OH", "SM",
                                "LA", "OZ", "PA", "ON", "OE", "HB9", "OK", "SP", "HA", "YO",
                                "K",  "W",  "N",  "KA", "VE", "VK",  "ZL", "JA", "UA", "LU"};
const char* const names[] = {"Hans",   "Peter", "John", "Mike", "Bob",  "Anna", "Eva",  "Jan",
                             "Pierre", "Marco", "Jose", "Olli", "Sven", "Lars", "Piet", "Kurt",
                             "Tom",    "Bill",  "Yuki", "Ivan", "Karl", "Luis", "Tony", "Dave"};
const char* const qths[] = {"Berlin", "Munich",   "London",    "Paris",    "Rome",
                            "Madrid", "Helsinki", "Stockholm", "Oslo",     "Vienna",
                            "Zurich", "Prague",   "Warsaw",    "Budapest", "Boston",
                            "Denver", "Toronto",  "Sydney",    "Tokyo"};
const char* const bands[] = {"160m", "80m", "40m", "30m", "20m", "17m",
                             "15m",  "12m", "10m", "6m",  "2m"};
const char* const reports[] = {"599", "589", "579", "569", "559", "57", "59", "55"};
const char* const modes[] = {"SSB", "CW", "FT8", "RTTY", "FM"};
const char* const comments[] = {"tnx fer QSO", "73", "nice signal", "first QSO", "via spot"};

void putField(QByteArray& out, const char* name, const QByteArray& value) {
    tavrelo::adif::appendStoredField(out, name, value);
}

// A locator of the form AB12cd.
QByteArray randomGrid(QRandomGenerator& rng) {
    QByteArray g;
    g += char('A' + rng.bounded(18));
    g += char('A' + rng.bounded(18));
    g += char('0' + rng.bounded(10));
    g += char('0' + rng.bounded(10));
    g += char('a' + rng.bounded(24));
    g += char('a' + rng.bounded(24));
    return g;
}

// The band's lower edge in MHz, for a frequency inside it.
double bandStart(const char* band) {
    static const struct {
        const char* band;
        double mhz;
    } starts[] = {{"160m", 1.8}, {"80m", 3.5},    {"40m", 7.0},  {"30m", 10.1},
                  {"20m", 14.0}, {"17m", 18.068}, {"15m", 21.0}, {"12m", 24.89},
                  {"10m", 28.0}, {"6m", 50.0},    {"2m", 144.0}};
    for (const auto& s : starts) {
        if (qstrcmp(s.band, band) == 0)
            return s.mhz;
    }
    return 14.0;
}

template <size_t N> const char* pick(QRandomGenerator& rng, const char* const (&list)[N]) {
    return list[rng.bounded(int(N))];
}

QString randomCall(QRandomGenerator& rng) {
    QString call = QLatin1String(pick(rng, prefixes));
    call += QChar('0' + rng.bounded(10));
    const int letters = 1 + int(rng.bounded(3));
    for (int i = 0; i < letters; ++i)
        call += QChar('A' + rng.bounded(26));
    return call;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gen_log OUT RECORDS [SEED] [fields] [ordered|shuffled]\n");
        return 2;
    }
    // fields: a record for every contact; ordered: times in order, as Save
    // writes them; shuffled: days and times in no order at all (otherwise
    // days in order, times random within each day).
    bool withFields = false, ordered = false, shuffled = false;
    for (int a = 4; a < argc; ++a) {
        withFields = withFields || qstrcmp(argv[a], "fields") == 0;
        ordered = ordered || qstrcmp(argv[a], "ordered") == 0;
        shuffled = shuffled || qstrcmp(argv[a], "shuffled") == 0;
    }
    QFile fieldsOut(tavrelo::logfile::fieldsPath(QString::fromLocal8Bit(argv[1])));
    if (withFields && !fieldsOut.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "gen_log: %s\n", qPrintable(fieldsOut.errorString()));
        return 1;
    }
    QByteArray fieldsBuffer;
    const long long records = QByteArray(argv[2]).toLongLong();
    QRandomGenerator rng(argc > 3 ? QByteArray(argv[3]).toUInt() : 7u);
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "gen_log: %s\n", qPrintable(out.errorString()));
        return 1;
    }
    const tavrelo::clock::MonthTable months = tavrelo::clock::makeMonthTable();
    const QDate start(2000, 1, 1);
    const long long spanDays = start.daysTo(QDate(2026, 12, 1));
    QByteArray buffer;
    for (long long i = 0; i < records; ++i) {
        const QDate d = start.addDays(shuffled ? rng.bounded(spanDays) : i * spanDays / records);
        // Five records spread over the last 1% of the log.
        const long long fromEnd = records - 1 - i, gap = records / 500 + 1;
        const bool rare = fromEnd % gap == 0 && fromEnd / gap < 5;
        int hour = rng.bounded(24), minute = rng.bounded(60), second = rng.bounded(60);
        if (ordered) {
            const long long inDay = (i * spanDays * 86400 / records) % 86400;
            hour = int(inDay / 3600);
            minute = int(inDay / 60 % 60);
            second = int(inDay % 60);
        }
        const QDateTime when(d, QTime(hour, minute, second), QTimeZone::utc());
        tavrelo::logfile::Fields f{tavrelo::clock::datum(when, months),
                                   tavrelo::clock::uhrzeit2(when),
                                   QLatin1String(pick(rng, bands)),
                                   rare ? QStringLiteral("ZZ9ZZ") : randomCall(rng),
                                   QLatin1String(pick(rng, names)),
                                   rng.bounded(20) == 0 ? QStringLiteral("Hamburg")
                                                        : QLatin1String(pick(rng, qths)),
                                   QLatin1String(pick(rng, reports)),
                                   QLatin1String(pick(rng, reports))};
        buffer += tavrelo::logfile::buildRecord(f);
        if (buffer.size() > (1 << 20)) {
            out.write(buffer);
            buffer.clear();
        }
        if (!withFields)
            continue;
        QByteArray& r = fieldsBuffer;
        putField(r, "CALL", f[3].toLatin1());
        putField(r, "QSO_DATE", when.toString(QStringLiteral("yyyyMMdd")).toLatin1());
        putField(r, "TIME_ON", when.toString(QStringLiteral("HHmmss")).toLatin1());
        putField(r, "BAND", f[2].toLatin1());
        const QByteArray band = f[2].toLatin1();
        putField(
            r, "FREQ",
            QByteArray::number(bandStart(band.constData()) + rng.bounded(50) / 1000.0, 'f', 6));
        putField(r, "MODE", pick(rng, modes));
        putField(r, "NAME", f[4].toLatin1());
        putField(r, "QTH", f[5].toLatin1());
        putField(r, "RST_SENT", f[6].toLatin1());
        putField(r, "RST_RCVD", f[7].toLatin1());
        putField(r, "GRIDSQUARE", randomGrid(rng));
        putField(r, "TX_PWR", QByteArray::number(5 + rng.bounded(95)));
        putField(r, "STATION_CALLSIGN", "ZZ1AA");
        putField(r, "MY_GRIDSQUARE", "JO31ab");
        putField(r, "COMMENT", pick(rng, comments));
        putField(r, "QSL_SENT", rng.bounded(2) ? "Y" : "N");
        r += "<EOR>\r\n";
        if (r.size() > (1 << 20)) {
            fieldsOut.write(r);
            r.clear();
        }
    }
    out.write(buffer);
    if (withFields)
        fieldsOut.write(fieldsBuffer);
    return out.error() == QFile::NoError && fieldsOut.error() == QFile::NoError ? 0 : 1;
}
