// SPDX-License-Identifier: GPL-3.0-or-later
// Lookups read the log in two halves at once, and a lookup that follows
// another may narrow what that one found: either way the rows are those
// of a plain lookup.
#include "CallHistory.h"
#include "Oracle.h"
#include "TestFiles.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace tavrelo;
using tavrelo::testing::writeFile;

class TestLookup : public QObject {
    Q_OBJECT

private slots:
    // A log read in two halves at once gives exactly the rows it gives read
    // on one thread: the second half's lines after the first's, ordered as
    // if one thread had found them all.
    void splitLookup_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("dates"); // shuffled, undated about the middle, halves
        QTest::newRow("a rare call") << "zz9zz"
                                     << "shuffled";
        QTest::newRow("every line") << ",  "
                                    << "shuffled";
        QTest::newRow("a long line's tail") << "xxxxy"
                                            << "shuffled";
        QTest::newRow("beyond ASCII") << "k\u00f6ln"
                                      << "shuffled";
        QTest::newRow("no line") << "qxq"
                                 << "shuffled";
        // Lines whose dates do not parse stay after the line before, also
        // where the second half starts.
        QTest::newRow("undated lines about the middle") << ",  "
                                                        << "undated";
        // Each half in time order, the second older: not in order as a whole.
        QTest::newRow("halves in order, the second older") << ",  "
                                                           << "halves";
    }
    void splitLookup() {
        QFETCH(QString, text);
        QFETCH(QString, dates);
        const auto dated = [](int minute) {
            return QStringLiteral("2024-Mar-%1,  %2:%3")
                .arg(10 + minute / 1440)
                .arg(minute / 60 % 24, 2, 10, QLatin1Char('0'))
                .arg(minute % 60, 2, 10, QLatin1Char('0'))
                .toLatin1();
        };
        const bool halves = dates == "halves";
        QByteArray log;
        QRandomGenerator rng(36);
        for (int i = 0; i < 4000; ++i) {
            log += dates == "undated" && i >= 1700 && i < 2300 ? QByteArray("soon,  later")
                                                               : dated(rng.bounded(19 * 1440));
            log += ",  20m,  " +
                   QByteArray(rng.bounded(9) == 0 && !halves ? "ZZ9ZZ,  Hans,  K\xc3\xb6ln"
                                                             : "DL1ABC,  Udo,  Bonn") +
                   ",  599,  599\r\n";
            if (i == 2500 && !halves)
                log += "2024-Mar-30,  12:00,  20m,  ZZ9ZZ,  " + QByteArray(6000, 'x') + "y\r\n";
        }
        log += "2024-Apr-01,  12:00,  20m,  ZZ9ZZ,  no line end"; // being written
        if (halves) { // lines of one length: the halves' dates put in place
            const qsizetype lineBytes = log.indexOf('\n') + 1;
            const qsizetype secondHalf = log.indexOf('\n', log.size() / 2) + 1;
            for (int i = 0; i < 4000; ++i) {
                const bool second = i * lineBytes >= secondHalf;
                log.replace(i * lineBytes, 19, dated(second ? i : 4000 + i));
            }
        }
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        history::splitLookups(qint64(1) << 40);
        const history::LookupResult whole = history::lookUp(path, text);
        history::splitLookups(1);
        const history::LookupResult split = history::lookUp(path, text);
        history::splitLookups(qint64(16) << 20);
        QCOMPARE(split.read.status, logfile::ReadStatus::Read);
        QCOMPARE(split.count(), whole.count());
        QCOMPARE(split.paneText(), whole.paneText());
        const QList<QByteArray> lines = oracle::plainLines(log);
        QCOMPARE(split.count(), std::count_if(lines.begin(), lines.end(), [&](const QByteArray& l) {
                     return oracle::plainMatch(l, text);
                 }));
    }

    // A lookup that follows another gives exactly the rows a fresh one
    // gives, whether it narrows the rows the one before found (its text
    // holds that one's) or reads the log afresh: after the log grew, when
    // a found line was rewritten, when the text before was another.
    void followingLookup_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("change"); // of the log between the two
        QTest::addColumn<bool>("narrowed");  // whether the one before is kept to narrow
        QTest::newRow("typed on") << "zz9"
                                  << "ZZ9ZZ"
                                  << "" << true;
        QTest::newRow("typed on, the log grown") << "ZZ9"
                                                 << "zz9zz"
                                                 << "append" << true;
        QTest::newRow("typed on beyond ASCII") << "k\u00f6"
                                               << "K\u00d6LN"
                                               << "append" << true;
        QTest::newRow("a found line rewritten") << "zz9"
                                                << "zz9zz"
                                                << "rewrite" << true;
        QTest::newRow("another text") << "zz9"
                                      << "dl1"
                                      << "append" << true;
        QTest::newRow("a long line found before") << "zz9zz"
                                                  << "zz9zz,  x"
                                                  << "" << true;
        QTest::newRow("too many found before") << ",  "
                                               << ",  zz9"
                                               << "append" << false;
    }
    void followingLookup() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, change);
        QFETCH(bool, narrowed);
        QByteArray log;
        for (int i = 0; i < 5000; ++i)
            log += "2024-Mar-" + QByteArray::number(10 + i % 19) +
                   ",  12:" + QByteArray::number(10 + i % 50) + ",  20m,  " +
                   (i % 7 == 0   ? "ZZ9ZZ,  Hans,  K\xc3\xb6ln"
                    : i % 5 == 0 ? "ZZ9AB,  Eva,  Bonn"
                                 : "DL1ABC,  Udo,  Berlin") +
                   ",  599,  599\r\n";
        log += "2024-Mar-30,  12:00,  20m,  ZZ9ZZ,  " + QByteArray(5000, 'x') + "\r\n";
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        history::Scanned scanned;
        history::lookUp(path, before, nullptr, true, &scanned);
        QCOMPARE(scanned.matches != nullptr, narrowed);
        QFile f(path);
        if (change == "append") {
            QVERIFY(f.open(QIODevice::Append));
            f.write("2024-Apr-01,  12:00,  20m,  ZZ9ZZ,  Ida,  K\xc3\xb6ln,  ,  \r\n"
                    "2024-Apr-02,  12:00,  20m,  DL1ABC,  ,  ,  ,  \r\n");
        } else if (change == "rewrite") {
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.seek(log.indexOf("ZZ9AB")));
            f.write("ZZ9ZZ");
        }
        f.close();
        const history::LookupResult following =
            history::lookUp(path, after, nullptr, true, &scanned);
        const history::LookupResult fresh = history::lookUp(path, after);
        QVERIFY(fresh.count() > 0);
        QCOMPARE(following.count(), fresh.count());
        QCOMPARE(following.paneText(), fresh.paneText());
        QCOMPARE(scanned.to, QFileInfo(path).size());
    }
};

QTEST_GUILESS_MAIN(TestLookup)
#include "tst_lookup.moc"
