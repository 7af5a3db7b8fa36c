// SPDX-License-Identifier: GPL-3.0-or-later
#include "CallHistory.h"
#include "Clock.h"
#include "Oracle.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <limits>

using namespace tavrelo;

namespace {

QString writeLog(const QTemporaryDir& dir, const QByteArray& bytes) {
    const QString path = dir.filePath("Tavrelo.txt");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
    return path;
}

using oracle::plainLines;

// A moment as contactMoment() numbers it.
quint64 moment(int year, int month, int day, int hour, int minute, int second) {
    return quint64(year) << 26 | quint64(month) << 22 | quint64(day) << 17 | quint64(hour) << 12 |
           quint64(minute) << 6 | quint64(second);
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

private slots:
    void lookup_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("pane");

        const QByteArray log = "a,  ZZ9ZZ,  Hans\r\n"
                               "b,  DL1ABC,  Berlin\r\n"
                               "c,  zz9zz,  Eva\r\n";
        QTest::newRow("both cases, newest first") << log << "zz9"
                                                  << "c,  zz9zz,  Eva\r\na,  ZZ9ZZ,  Hans\r\n";
        QTest::newRow("upper-case call") << log << "DL1"
                                         << "b,  DL1ABC,  Berlin\r\n";
        QTest::newRow("in the QTH") << log << "BER"
                                    << "b,  DL1ABC,  Berlin\r\n";
        QTest::newRow("no match") << log << "XYZ"
                                  << "";
        QTest::newRow("empty log") << QByteArray() << "ZZ9"
                                   << "";
        QTest::newRow("LF only") << QByteArray("ZZ9A\nx\nzz9b\n") << "ZZ9"
                                 << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("mixed ends, no final end") << QByteArray("ZZ9A\r\nx\nzz9b") << "zz9"
                                                  << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("match at the very end") << QByteArray("x\nabZZ9") << "zz9"
                                               << "abZZ9\r\n";
        QTest::newRow("not across a CR LF") << QByteArray("abZZ\r\n9x\r\n") << "zz\r"
                                            << "";
        QTest::newRow("lone CR ends a line") << QByteArray("ab\rZZ9\r\n") << "zz9"
                                             << "ZZ9\r\n";
        QTest::newRow("old editor, CR only")
            << QByteArray("1,  ZZ9A,  Hans\r2,  DL1ABC,  Eva\r3,  zz9b,  Jo\r") << "zz9"
            << "3,  zz9b,  Jo\r\n1,  ZZ9A,  Hans\r\n";
        QTest::newRow("CR only, no final end") << QByteArray("ZZ9A\rx\rzz9b") << "ZZ9"
                                               << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("empty lines between CR and CR LF") << QByteArray("\r\r\nZZ9\r\r\n") << "zz9"
                                                          << "ZZ9\r\n";
        QTest::newRow("NUL bytes") << QByteArray("a\0ZZ9\0b\r\nc\r\n", 13) << "zz9"
                                   << QString::fromLatin1("a\0ZZ9\0b\r\n", 9);
        QTest::newRow("Windows-1252 line by a non-ASCII call")
            << QByteArray("x,  M\xfcller,  K\xf6ln\r\ny,  Meier\r\n") << "MÜL"
            << "x,  Müller,  Köln\r\n";
        QTest::newRow("UTF-8 line by a non-ASCII call")
            << QByteArray("x,  M\xc3\xbcller\r\n") << "mÜl"
            << "x,  Müller\r\n";
        QTest::newRow("Windows-1252 shown decoded")
            << QByteArray("ZZ9,  \x80 \x93quoted\x94\r\n") << "zz9"
            << "ZZ9,  \u20ac \u201cquoted\u201d\r\n";
        QTest::newRow("symbols are not letters") << QByteArray("a[b\nA{B\n") << "a[b"
                                                 << "a[b\r\n";
    }
    void lookup() {
        QFETCH(QByteArray, log);
        QFETCH(QString, call);
        QFETCH(QString, pane);
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(writeLog(dir, log), call);
        QCOMPARE(r.read.status, logfile::ReadStatus::Read);
        QCOMPARE(r.paneText(), pane);
        QCOMPARE(r.count(), pane.count(QStringLiteral("\r\n")));
    }

    // Lines far longer than the read buffer, and matches on every side of
    // the buffer's edges.
    void longLines() {
        QByteArray log;
        log += QByteArray(10 * 1024 * 1024, 'x') + "ZZ9" + QByteArray(100, 'y') + "\r\n";
        log += "short zz9\r\n";
        for (int i = 0; i < 5000; ++i)
            log += QByteArray(i % 300, 'q') + (i % 7 == 0 ? "Zz9" : "zz8") + "\r\n";
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(writeLog(dir, log), "ZZ9");
        qsizetype expected = 0;
        for (const QByteArray& line : plainLines(log))
            expected += line.toLower().contains("zz9");
        QCOMPARE(r.count(), expected);
        // The 10 MB line is shown cut short, saying how long it is.
        const qsizetype bytes = 10 * 1024 * 1024 + 103;
        QVERIFY(r.paneText().endsWith(
            QString(history::MaxPaneLineBytes, 'x') +
            QStringLiteral(" \u2026 [line of %1 bytes cut short]\r\n").arg(bytes)));
    }

    // A line is cut before a character, never inside its UTF-8 bytes.
    void longLineCutOnCharacter() {
        QTemporaryDir dir;
        const QByteArray line =
            "ZZ9" + QByteArray(history::MaxPaneLineBytes - 4, 'a') + "\xc3\xa9tail\n";
        const history::LookupResult r = history::lookUp(writeLog(dir, line), "zz9");
        QVERIFY(r.paneText().startsWith("ZZ9aaa"));
        QVERIFY(r.paneText().contains(
            QStringLiteral("a \u2026 [line of %1 bytes").arg(line.size() - 1)));
        QVERIFY(!r.paneText().contains(QChar(0xC3)));
    }

    // The cut falls inside a 2-, 3- or 4-byte character at each of its
    // inner bytes: the whole character goes, and no broken byte shows.
    void longLineCutInsideCharacter_data() {
        QTest::addColumn<QByteArray>("character");
        QTest::addColumn<int>("before"); // its bytes before the cut
        const QList<QByteArray> characters = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\xbb"};
        for (const QByteArray& c : characters) {
            for (int k = 1; k < c.size(); ++k)
                QTest::addRow("%d bytes, %d before the cut", int(c.size()), k) << c << k;
        }
    }
    void longLineCutInsideCharacter() {
        QFETCH(QByteArray, character);
        QFETCH(int, before);
        QTemporaryDir dir;
        const QByteArray line =
            "ZZ9" + QByteArray(history::MaxPaneLineBytes - 3 - before, 'a') + character + "tail\n";
        const history::LookupResult r = history::lookUp(writeLog(dir, line), "zz9");
        const QString text = r.paneText();
        QVERIFY(text.contains(QStringLiteral("a \u2026 [line of %1 bytes").arg(line.size() - 1)));
        QVERIFY(!text.contains(QChar(QChar::ReplacementCharacter)));
        QVERIFY(!text.contains(QString::fromUtf8(character)));
        QCOMPARE(text.indexOf(QStringLiteral(" \u2026")), history::MaxPaneLineBytes - before);
    }

    // Both searches, the x86 vector one and the one for every processor,
    // must agree with the plain definition on any bytes.
    void scanAgreesWithPlainMatch_data() {
        QTest::addColumn<bool>("portable");
        QTest::newRow("this processor's search") << false;
        QTest::newRow("portable search") << true;
    }
    void scanAgreesWithPlainMatch() {
        QFETCH(bool, portable);
        history::usePortableSearch(portable);
        QRandomGenerator rng(12345);
        const char alphabet[] = "aAzZ9b\r\n\0\xfc\xc3\xbc[{ ,";
        const QStringList calls = {"az9",   "Az",   "A",
                                   "zz9zz", "\xfc", "Ü",
                                   "a{",    ", ",   "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaz"};
        for (int round = 0; round < 300; ++round) {
            QByteArray block;
            const int n = int(rng.bounded(400));
            for (int i = 0; i < n; ++i)
                block += alphabet[rng.bounded(int(sizeof alphabet - 1))];
            for (const QString& call : calls) {
                const history::CallMatcher matcher(call);
                QList<QByteArray> found;
                matcher.scan(block.constBegin(), block.constEnd(),
                             [&](const char* b, const char* e) { found << QByteArray(b, e - b); });
                QList<QByteArray> expected;
                for (const QByteArray& line : plainLines(block)) {
                    if (oracle::plainMatch(line, call))
                        expected << line;
                }
                if (found != expected) {
                    history::usePortableSearch(false);
                    QFAIL(qPrintable(QStringLiteral("call %1 on %2")
                                         .arg(call, QString::fromLatin1(block.toHex()))));
                }
            }
        }
        history::usePortableSearch(false);
    }

    // However the chunks fall, the reader gives the lines of a plain split,
    // a CR at a chunk's end waiting to see whether an LF follows.
    void readerLines_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("every kind of end") << QByteArray("ab\rcd\r\nef\ngh\r\r\nij\r\n\nkl\r");
        QTest::newRow("no final end") << QByteArray("abc\rdefgh\r\nij");
        QTest::newRow("CR runs") << QByteArray("\r\r\r\na\r\r");
        QTest::newRow("one long line, CR only") << QByteArray(40, 'x') + "\r" + QByteArray(3, 'y');
    }
    void readerLines() {
        QFETCH(QByteArray, log);
        QTemporaryDir dir;
        const QString path = writeLog(dir, log);
        for (size_t chunk = 1; chunk <= 9; ++chunk) {
            QList<QByteArray> lines;
            const auto r = logfile::readLogBlocks(
                path,
                [&](const char* b, const char* e) {
                    logfile::forEachLine(b, e, [&](const char* lb, const char* le) {
                        lines << QByteArray(lb, le - lb);
                    });
                },
                chunk);
            QCOMPARE(r.status, logfile::ReadStatus::Read);
            QVERIFY2(lines == plainLines(log), qPrintable(QStringLiteral("chunk %1").arg(chunk)));
        }
    }

    void missingLogIsEmptyHistory() {
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(dir.filePath("Tavrelo.txt"), "ZZ9");
        QCOMPARE(r.read.status, logfile::ReadStatus::Missing);
        QVERIFY(r.paneText().isEmpty());
    }

    void unreadableLogIsAnError() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Tavrelo.txt"));
        const history::LookupResult r = history::lookUp(dir.filePath("Tavrelo.txt"), "ZZ9");
        QCOMPARE(r.read.status, logfile::ReadStatus::Failed);
        QCOMPARE(r.read.error.message(),
                 QStringLiteral("Could not read the log %1.\nIt is a folder, "
                                "not a file.")
                     .arg(dir.filePath("Tavrelo.txt")));
    }

    void decode_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QByteArray("abc") << "abc";
        QTest::newRow("utf-8") << QByteArray("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb") << "é€📻";
        QTest::newRow("1252") << QByteArray("\xe9\x80") << "é€";
        QTest::newRow("overlong is not UTF-8") << QByteArray("\xc0\xaf") << "À¯";
        QTest::newRow("surrogate is not UTF-8") << QByteArray("\xed\xa0\x80") << "í\u00a0\u20ac";
        QTest::newRow("cut sequence") << QByteArray("a\xc3") << "aÃ";
    }
    void decode() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(logfile::decodeLine(bytes.constBegin(), bytes.constEnd()), text);
    }

    void contactMoment_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<quint64>("moment");
        QTest::newRow("seconds") << QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ")
                                 << moment(2006, 11, 18, 14, 5, 33);
        QTest::newRow("minutes") << QByteArray("2006-Nov-18,  14:05,  40m")
                                 << moment(2006, 11, 18, 14, 5, 0);
        QTest::newRow("any case, no spaces, line ends")
            << QByteArray(" 1957-DEC-01,09:00") << moment(1957, 12, 1, 9, 0, 0);
        QTest::newRow("one-digit day and hour")
            << QByteArray("2024-Mar-1,  7:05,") << moment(2024, 3, 1, 7, 5, 0);
        const char* const months[] = {"Jan", "feb", "MAR", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        for (int m = 1; m <= 12; ++m)
            QTest::addRow("month %s", months[m - 1])
                << QByteArray("2006-") + months[m - 1] + "-18,  14:05,"
                << moment(2006, m, 18, 14, 5, 0);
        QTest::newRow("month unknown") << QByteArray("2006-Nox-18,  14:05,") << Q_UINT64_C(0);
        QTest::newRow("day 32") << QByteArray("2006-Nov-32,  14:05,") << Q_UINT64_C(0);
        QTest::newRow("hour 24") << QByteArray("2006-Nov-18,  24:00,") << Q_UINT64_C(0);
        QTest::newRow("minute 60") << QByteArray("2006-Nov-18,  14:60,") << Q_UINT64_C(0);
        QTest::newRow("no year") << QByteArray("Feb-22,  01:43:49,") << Q_UINT64_C(0);
        QTest::newRow("time runs on") << QByteArray("2006-Nov-18,  14:05x,") << Q_UINT64_C(0);
        QTest::newRow("no time") << QByteArray("2006-Nov-18,  ,  40m") << Q_UINT64_C(0);
        QTest::newRow("cut in the month") << QByteArray("2006-No") << Q_UINT64_C(0);
        QTest::newRow("empty") << QByteArray() << Q_UINT64_C(0);
    }
    void contactMoment() {
        QFETCH(QByteArray, line);
        QFETCH(quint64, moment);
        QCOMPARE(logfile::contactMoment(line.constBegin(), line.constEnd()), moment);
    }

    // Rows newest first by date and time, whatever order the file holds.
    void newestFirst_data() {
        QTest::addColumn<QStringList>("lines"); // date and time, then a tag
        QTest::addColumn<QString>("rows");      // the tags, row by row
        QTest::newRow("in time order: the file reversed")
            << QStringList{"2020-Jan-01,  10:00,  a", "2021-Jan-01,  10:00,  b",
                           "2022-Jan-01,  10:00,  c"}
            << "cba";
        QTest::newRow("an import appended older contacts")
            << QStringList{"2024-Jan-01,  10:00,  a", "2024-Feb-01,  10:00,  b",
                           "2012-May-05,  10:00,  c", "2013-May-05,  10:00,  d"}
            << "badc";
        QTest::newRow("seconds count; equal times, the later line first")
            << QStringList{"2024-Jan-01,  10:00:30,  a", "2024-Jan-01,  10:00:10,  b",
                           "2024-Jan-01,  10:00:10,  c", "2023-Jan-01,  10:00,  d"}
            << "acbd";
        QTest::newRow("a line without a date stays after the line before it")
            << QStringList{"2024-Jan-01,  10:00,  a", "garbage,  b", "2012-Jan-01,  10:00,  c",
                           "2030-Jan-01,  10:00,  d"}
            << "dbac";
        QTest::newRow("months by name, not by letters")
            << QStringList{"2024-Dec-01,  10:00,  a", "2024-Apr-01,  10:00,  b",
                           "2024-Aug-01,  10:00,  c"}
            << "acb";
    }
    void newestFirst() {
        QFETCH(QStringList, lines);
        QFETCH(QString, rows);
        QByteArray log;
        for (const QString& line : lines)
            log += line.toUtf8() + ",  ZZ9ZZ\r\n";
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(writeLog(dir, log), "ZZ9");
        QString tags;
        for (qsizetype row = 0; row < r.count(); ++row)
            tags += r.matches->row(row).section(QStringLiteral(",  "), -2, -2).trimmed();
        QCOMPARE(tags, rows);
    }

    // Many rows out of time order: every row, the first and last screens and
    // those between, is where a stable sort puts it, whether the order is
    // made at once, after the result went out, or by the reader because the
    // sort after it was superseded.
    void newestFirstEveryRow_data() {
        QTest::addColumn<int>("how");
        QTest::addColumn<bool>("halves"); // sorted on two threads
        QTest::addColumn<int>("days");    // the lines' days, four times in each
        QTest::addColumn<int>("lines");
        QTest::newRow("ordered at once") << 0 << false << 400 << 3000;
        QTest::newRow("ordered after the first screens") << 1 << false << 400 << 3000;
        QTest::newRow("sort superseded, the reader orders") << 2 << false << 400 << 3000;
        QTest::newRow("ordered at once, in halves") << 0 << true << 400 << 3000;
        QTest::newRow("sort superseded, the reader orders in halves") << 2 << true << 400 << 3000;
        QTest::newRow("hundreds of lines at each time") << 0 << true << 1 << 3000;
        QTest::newRow("lines of several blocks, the log read in two halves")
            << 1 << true << 400 << 300000;
    }
    void newestFirstEveryRow() {
        QFETCH(int, how);
        QFETCH(bool, halves);
        QFETCH(int, days);
        QFETCH(int, lines);
        const qsizetype before =
            history::splitOrders(halves ? 1 : std::numeric_limits<qsizetype>::max());
        // A log of many lines is read in two halves, whose keys are joined.
        history::splitLookups(lines > 100000 ? 1 : qint64(1) << 40);
        const auto restore = qScopeGuard([before] {
            history::splitOrders(before);
            history::splitLookups(qint64(16) << 20);
        });
        QRandomGenerator random(7);
        const clock::MonthTable months = clock::makeMonthTable();
        std::vector<QByteArray> dayTexts;
        for (int day = 0; day < days; ++day) {
            const QDateTime t =
                QDateTime(QDate(2020, 1, 1), QTime(0, 0), QTimeZone::utc()).addDays(day);
            dayTexts.push_back(clock::datum(t, months).toUtf8() + ",  ");
        }
        QByteArray log;
        std::vector<std::pair<int, int>> expected; // minute, line
        for (int line = 0; line < lines; ++line) {
            const int day = int(random.bounded(days)),
                      minute = int(random.bounded(4)); // many equal times
            log += dayTexts[size_t(day)] + "00:0" + QByteArray::number(minute) + ",  ZZ9ZZ,  " +
                   QByteArray::number(line) + "\r\n";
            expected.emplace_back(day * 4 + minute, line);
        }
        std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second > b.second;
        });
        QTemporaryDir dir;
        const QString path = writeLog(dir, log);
        const std::atomic<bool> stop{true};
        const history::LookupResult r = history::lookUp(path, "ZZ9", nullptr, how == 0);
        if (how > 0)
            r.matches->finishOrder(how == 2 ? &stop : nullptr);
        QCOMPARE(r.count(), lines);
        const QStringList rows = r.matches->text().split(QStringLiteral("\r\n"));
        for (qsizetype row = 0; row < r.count(); ++row) {
            const int line = rows[row].section(QStringLiteral(",  "), -1).toInt();
            if (line != expected[size_t(row)].second)
                QFAIL(qPrintable(QString("row %1 is line %2, expected %3")
                                     .arg(row)
                                     .arg(line)
                                     .arg(expected[size_t(row)].second)));
        }
    }

    // The newest rows, from the blocks the log's shape tells are the
    // newest, are the same as the whole lookup's first rows, and a screen
    // of them whatever the order of the log.
    void newestRowsFirst_data() {
        QTest::addColumn<QString>("log");   // in order, days in order, shuffled
        QTest::addColumn<QString>("after"); // what sets it apart, or happened after it was read
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("rows"); // at least so many newest rows; -1: none
        QTest::newRow("in order") << "ordered"
                                  << ""
                                  << "zz1" << 32;
        QTest::newRow("in order, Saves appended since") << "ordered"
                                                        << "save"
                                                        << "zz1" << 32;
        QTest::newRow("a call worked now and then: its newest line") << "ordered"
                                                                     << ""
                                                                     << "rare" << 1;
        QTest::newRow("a text of no line") << "ordered"
                                           << ""
                                           << "qxq" << -1;
        QTest::newRow("an import appended older contacts") << "ordered"
                                                           << "import"
                                                           << "zz1" << 32;
        QTest::newRow("days in order, times at random in each") << "days"
                                                                << ""
                                                                << "zz1" << 32;
        QTest::newRow("shuffled") << "shuffled"
                                  << ""
                                  << "zz1" << 32;
        QTest::newRow("shuffled, a text in every line") << "shuffled"
                                                        << ""
                                                        << "hans" << 32;
        QTest::newRow("all at one time: the latest lines") << "one time"
                                                           << ""
                                                           << "zz1" << 32;
        QTest::newRow("an early line at the newest time, the rest at one time after it")
            << "one time"
            << "newest early"
            << "zz1" << 1;
        QTest::newRow("replaced by a shorter file") << "ordered"
                                                    << "replace"
                                                    << "zz1" << -1;
        // A line without a date takes the time of the matching line before
        // it: here the newest, in the block before.
        QTest::newRow("a line without a date after the newest, at the start") << "ordered"
                                                                              << "undated"
                                                                              << "undat" << 2;
        QTest::newRow("a line longer than a block among the newest") << "ordered"
                                                                     << "long line"
                                                                     << "zz5" << 32;
    }
    void newestRowsFirst() {
        QFETCH(QString, log);
        QFETCH(QString, after);
        QFETCH(QString, text);
        QFETCH(int, rows);
        QTemporaryDir dir;
        // 40,000 lines of about 55 bytes, in blocks of 4 KiB. Rare stands
        // in two, one 2 MB before the end. Lines at one time are more than
        // a lookup of the newest rows reads.
        QByteArray bytes;
        QRandomGenerator rng(11);
        for (int i = 0; i < (log == "one time" ? 80000 : 40000); ++i) {
            const bool undated = after == "undated" && (i == 1 || i == 80);
            const int minutes = log == "ordered"    ? (undated && i == 1 ? 40005 : i)
                                : log == "days"     ? i / 1440 * 1440 + int(rng.bounded(1440))
                                : log == "one time" ? (after == "newest early" && i == 3 ? 9 : 8)
                                                    : int(rng.bounded(40000));
            const QString name = undated                              ? "Undat"
                                 : after == "long line" && i == 39995 ? QString(20000, 'x')
                                 : i == 5000 || i == 39990            ? "Rare"
                                                                      : "Hans";
            QByteArray line =
                QStringLiteral("2024-Mar-%1,  %2:%3,  20m,  ZZ%4ZZ,  %5,  %6,  ,  \r\n")
                    .arg(1 + minutes / 1440, 2, 10, QLatin1Char('0'))
                    .arg(minutes / 60 % 24, 2, 10, QLatin1Char('0'))
                    .arg(minutes % 60, 2, 10, QLatin1Char('0'))
                    .arg(i % 10)
                    .arg(name)
                    .arg(i) // each row its own
                    .toLatin1();
            if (undated && i == 80)
                line.replace(0, 19, "soon,  later,  ...");
            bytes += line;
        }
        const QString path = writeLog(dir, bytes);
        history::LogShape shape;
        QVERIFY(history::prepare(path, nullptr, &shape).status == logfile::ReadStatus::Read);
        QFile f(path);
        if (after == "save" || after == "import") {
            QVERIFY(f.open(QIODevice::Append));
            f.write(after == "save" ? "2024-Apr-01,  10:00,  20m,  ZZ1ZZ,  Eva,  ,  ,  \r\n"
                                    : "2023-Jan-01,  10:00,  20m,  ZZ1ZZ,  Old,  ,  ,  \r\n");
            f.close();
        } else if (after == "replace") {
            QVERIFY(f.remove());
            writeLog(dir, bytes.left(bytes.size() / 2));
        }
        const auto newest = history::lookUpNewest(path, text, shape, 32);
        QCOMPARE(bool(newest), rows >= 0);
        if (!newest)
            return;
        QVERIFY2(newest->count() >= rows, qPrintable(QString::number(newest->count())));
        QVERIFY(newest->partial);
        const history::LookupResult whole = history::lookUp(path, text);
        for (qsizetype r = 0; r < newest->count(); ++r)
            QCOMPARE(newest->matches->row(r), whole.matches->row(r));
    }

    // The rows are read from the log as they are shown: a log that grew
    // shows them as they were; a row rewritten, cut off or replaced says the
    // log changed, and is never shown as what now stands there.
    void rowsOfALogChangedUnderThem_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("rows");
        const QString changed = QStringLiteral(
            "[The log has changed since this history was shown: type the call again]");
        QTest::newRow("appended to")
            << "append" << QStringList{"3,  ZZ9ZZ,  Udo", "1,  ZZ9ZZ,  Hans"};
        QTest::newRow("a row rewritten in place")
            << "rewrite" << QStringList{"3,  ZZ9ZZ,  Udo", changed};
        QTest::newRow("cut short") << "truncate" << QStringList{changed, "1,  ZZ9ZZ,  Hans"};
        QTest::newRow("replaced") << "replace" << QStringList{changed, changed};
        // The check of a row's bytes sees every byte, and where each stood.
        QTest::newRow("the last byte of a row rewritten")
            << "last byte" << QStringList{changed, "1,  ZZ9ZZ,  Hans"};
        QTest::newRow("a row's two halves swapped")
            << "swap" << QStringList{"3,  ZZ9ZZ,  Udo", changed};
    }
    void rowsOfALogChangedUnderThem() {
        QFETCH(QString, change);
        QFETCH(QStringList, rows);
        QTemporaryDir dir;
        const QByteArray log = "1,  ZZ9ZZ,  Hans\r\n2,  DL1ABC,  Eva\r\n3,  ZZ9ZZ,  Udo\r\n";
        const QString path = writeLog(dir, log);
        const history::LookupResult r = history::lookUp(path, "zz9");
        QCOMPARE(r.count(), 2);
        QFile f(path);
        if (change == "append") {
            QVERIFY(f.open(QIODevice::Append));
            f.write("4,  ZZ9ZZ,  Ida\r\n");
        } else if (change == "rewrite") {
            QVERIFY(f.open(QIODevice::ReadWrite));
            f.write("1,  ZZ9ZZ,  Hugo");
        } else if (change == "last byte") { // "Udo" becomes "Uda"
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(log.indexOf("Udo") + 2));
            f.write("a");
        } else if (change == "swap") { // the 16 bytes of line 1, 8 and 8 swapped
            QVERIFY(f.open(QIODevice::ReadWrite));
            f.write(log.mid(8, 8) + log.left(8));
        } else if (change == "truncate") {
            QVERIFY(f.resize(log.size() - 5));
        } else {
            QVERIFY(QFile::remove(path));
            writeLog(dir, QByteArray(log).replace("Hans", "Hugo").replace("Udo", "Ida"));
        }
        f.close();
        QCOMPARE((QStringList{r.matches->row(0), r.matches->row(1)}), rows);
    }

    // A long line is shown cut, but read whole again from the log by its
    // place; a log changed under the pane is said to be changed, never read
    // as something else.
    void wholeLongLine_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("readable");
        QTest::newRow("unchanged") << "" << true;
        QTest::newRow("appended to") << "append" << true;
        QTest::newRow("one byte of it changed") << "byte" << false;
        QTest::newRow("cut short") << "truncate" << false;
        QTest::newRow("gone") << "remove" << false;
    }
    void wholeLongLine() {
        QFETCH(QString, change);
        QFETCH(bool, readable);
        const QByteArray first = "2020-Jan-01,  10:00,  20m,  ZZ9ZZ,  short\r\n";
        QByteArray longLine = "2021-Jan-01,  10:00,  20m,  ZZ9ZZ,  ";
        while (longLine.size() < 5049)
            longLine += "K\xc3\xb6ln ";
        QTemporaryDir dir;
        const QString path = writeLog(dir, first + longLine + "\r\n");
        const history::LookupResult r = history::lookUp(path, "zz9zz");
        QCOMPARE(r.count(), 2);
        const auto cut = r.matches->cutRow(0);
        QVERIFY(cut);
        QVERIFY(!r.matches->cutRow(1));
        QCOMPARE(r.matches->row(0).left(cut->shown), QString::fromUtf8(longLine).left(cut->shown));
        QFile f(path);
        if (change == "append") {
            QVERIFY(f.open(QIODevice::Append));
            f.write("2022-Jan-01,  10:00,  20m,  ZZ9ZZ\r\n");
        } else if (change == "byte") {
            QVERIFY(f.open(QIODevice::ReadWrite));
            f.seek(first.size() + 3000);
            f.write("X");
        } else if (change == "truncate") {
            QVERIFY(f.resize(first.size() + 4500));
        } else if (change == "remove") {
            QVERIFY(f.remove());
        }
        f.close();
        QString whole;
        const OsError error = r.matches->wholeRow(0, path, whole);
        QCOMPARE(error.ok(), readable);
        if (readable)
            QCOMPARE(whole, QString::fromUtf8(longLine));
        else
            QVERIFY(whole.isEmpty() && !error.message().isEmpty());
        // A row that is not cut is its own text, read again from the log
        // where it still stands; of a log that is gone, a note says so.
        QVERIFY(r.matches->wholeRow(1, path, whole).ok());
        QCOMPARE(whole,
                 change == "remove" ? r.matches->row(1) : QString::fromUtf8(first.chopped(2)));
        if (change == "remove")
            QVERIFY(whole.contains("The log has changed"));
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
