// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a synthetic log in the record format, the same bytes for the same
// seed: gen_log OUT RECORDS [SEED]
//
// Calls follow real prefix patterns; names, QTHs, bands and reports are drawn
// from plausible lists. Dates run forward from 2000. Two texts are placed on
// purpose so that benchmarks have known targets:
//   - the call ZZ9ZZ in five records near the end (a station worked rarely);
//   - the QTH Hamburg in about 5% of the records (the text "HAM").
#include "Clock.h"
#include "LogFile.h"

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
        std::fprintf(stderr, "usage: gen_log OUT RECORDS [SEED]\n");
        return 2;
    }
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
        const QDate d = start.addDays(i * spanDays / records);
        // Five records spread over the last 1% of the log.
        const long long fromEnd = records - 1 - i, gap = records / 500 + 1;
        const bool rare = fromEnd % gap == 0 && fromEnd / gap < 5;
        const int hour = rng.bounded(24), minute = rng.bounded(60), second = rng.bounded(60);
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
    }
    out.write(buffer);
    return out.error() == QFile::NoError ? 0 : 1;
}
