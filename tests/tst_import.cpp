// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adif.h"
#include "Import.h"
#include "SystemCalls.h"
#include "TestFiles.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

using namespace tavrelo;
using namespace tavrelo::adif;

namespace {

using testing::readFile;
using testing::writeFile;

// The log's lines, without their CR LF.
QStringList logLines(const QString& path) {
    QStringList lines = QString::fromUtf8(readFile(path)).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

const QByteArray contact = "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205";

} // namespace

class TestImport : public QObject {
    Q_OBJECT

private slots:
    // What real programs write, into an empty log: the lines it gives and
    // the counts added / duplicates / skipped / values read as characters.
    void reading_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QList<int>>("counts");
        const QList<int> one{1, 0, 0, 0};
        QTest::newRow("header, tags in any case")
            << QByteArray("Exported\n<adif_ver:5>3.1.4 <eoh>\n<call:5>ZZ9ZZ<qso_date:8>20240301"
                          "<Time_On:4>1205<band:3>40M<eor>")
            << QStringList{"2024-Mar-01,  12:05,  40m,  ZZ9ZZ,  ,  ,  ,  "} << one;
        QTest::newRow("no header, <F:L:T>, text between fields")
            << QByteArray("<CALL:5:S>ZZ9ZZ\r\n<QSO_DATE:8:D>20240301 text <TIME_ON:6>120533 "
                          "<RST_SENT:3>599<RST_RCVD:3>579 <EOR>\r\n")
            << QStringList{"2024-Mar-01,  12:05:33,  ,  ZZ9ZZ,  ,  ,  599,  579"} << one;
        QTest::newRow("length 0") << contact + "<NAME:0><QTH:6>Berlin<EOR>"
                                  << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  Berlin,  ,  "}
                                  << one;
        QTest::newRow("byte lengths")
            << contact + "<NAME:5>J\xc3\xb6rg <EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Jörg,  ,  ,  "} << one;
        QTest::newRow("character lengths")
            << contact + "<NAME:4>J\xc3\xb6rg <QTH:4>K\xc3\xb6ln<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Jörg,  Köln,  ,  "}
            << QList<int>{1, 0, 0, 2};
        QTest::newRow("no <EOR> at the end")
            << contact + "<NAME:4>Hans"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  ,  ,  "} << one;
        QTest::newRow("separator and CR LF in a value")
            << contact + "<NAME:13>Smith,  J\r\nr.<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Smith, Jr.,  ,  ,  "} << one;
        QTest::newRow("_INTL first, GRIDSQUARE without QTH, band of FREQ")
            << contact +
                   "<NAME:4>Jorg<NAME_INTL:5>J\xc3\xb6rg<GRIDSQUARE:6>JO62qm<FREQ:6>14.074<EOR>"
            << QStringList{"2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Jörg,  JO62qm,  ,  "} << one;
        QTest::newRow("duplicate within the file, to the minute")
            << QByteArray("<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:6>120510<EOR>"
                          "<CALL:5>zz9zz<QSO_DATE:8>20240301<TIME_ON:6>120550<EOR>"
                          "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:6>120610<EOR>")
            << QStringList{"2024-Mar-01,  12:05:10,  ,  ZZ9ZZ,  ,  ,  ,  ",
                           "2024-Mar-01,  12:06:10,  ,  ZZ9ZZ,  ,  ,  ,  "}
            << QList<int>{2, 1, 0, 0};
        QTest::newRow("records that give no contact")
            << QByteArray("<QSO_DATE:8>20240301<TIME_ON:4>1205<EOR>") + contact.left(13) +
                   "<QSO_DATE:8>20241301<TIME_ON:4>1205<EOR>" + contact + "<BAND:3>11m<EOR>" +
                   contact + "<FREQ:5>27.12<EOR>" + contact.left(37) + "<TIME_ON:4>2461<EOR>"
            << QStringList() << QList<int>{0, 0, 5, 0};
    }
    void reading() {
        QFETCH(QByteArray, adif);
        QFETCH(QStringList, lines);
        QFETCH(QList<int>, counts);
        QTemporaryDir dir;
        writeFile(dir.filePath("in.adi"), adif);
        QStringList notes;
        const ImportSummary s = importAdif(dir.filePath("in.adi"), dir.filePath("Tavrelo.txt"),
                                           [&](const QString& n) { notes << n; });
        QVERIFY2(s.error.ok(), qPrintable(s.error.message()));
        QCOMPARE(logLines(dir.filePath("Tavrelo.txt")), lines);
        QCOMPARE((QList<int>{int(s.added), int(s.duplicates), int(s.skipped),
                             int(s.valuesReadAsCharacters)}),
                 counts);
        QCOMPARE(notes.size(), counts[2]);
        for (const QString& n : notes)
            QVERIFY2(n.contains(QRegularExpression("^record \\d+ \\(byte \\d+\\): skipped: ")),
                     qPrintable(n));
    }

    // Running the same import twice adds nothing the second time, and a
    // contact already in the log is not added again.
    void duplicatesAgainstTheLog() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "2024-Mar-01,  12:05:44,  40m,  zz9zz,  Hans,  ,  ,  \r\nno end");
        writeFile(dir.filePath("in.adi"),
                  contact + "<BAND:3>40M<EOR>" +
                      "<CALL:4>DL1A<QSO_DATE:8>20240302<TIME_ON:4>0700<EOR>");
        const auto quiet = [](const QString&) {};
        ImportSummary s = importAdif(dir.filePath("in.adi"), log, quiet);
        QCOMPARE(s.added, 1);
        QCOMPARE(s.duplicates, 1);
        const QByteArray after = readFile(log);
        QCOMPARE(after,
                 QByteArray("2024-Mar-01,  12:05:44,  40m,  zz9zz,  Hans,  ,  ,  \r\nno end\r\n"
                            "2024-Mar-02,  07:00,  ,  DL1A,  ,  ,  ,  \r\n"));
        s = importAdif(dir.filePath("in.adi"), log, quiet);
        QCOMPARE(s.added, 0);
        QCOMPARE(s.duplicates, 2);
        QCOMPARE(readFile(log), after);
    }

    // All or nothing: a sync that fails takes the whole batch out again, and
    // the log is exactly as before.
    void failedSyncLeavesTheLogAsItWas() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        QByteArray adif;
        for (int i = 0; i < 500; ++i)
            adif += QStringLiteral("<CALL:5>ZZ%1<QSO_DATE:8>20240301<TIME_ON:4>1205<EOR>\n")
                        .arg(i, 3, 10, QLatin1Char('0'))
                        .toLatin1();
        writeFile(dir.filePath("in.adi"), adif);
        logfile::systemCalls().fdatasync = [](int) {
            errno = EIO;
            return -1;
        };
        const ImportSummary s = importAdif(dir.filePath("in.adi"), log, [](const QString&) {});
        logfile::systemCalls() = {};
        QCOMPARE(s.error.error, EIO);
        QCOMPARE(s.added, 0);
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
    }

    // Exporting a log and importing the result into an empty log gives the
    // same lines back.
    void roundTrip() {
        QRandomGenerator rng(7);
        const char* bands[] = {"160m", "80m", "40m", "20m", "15m", "10m", "6m", "2m", "70cm", ""};
        QByteArray log;
        for (int i = 0; i < 2000; ++i) {
            const QDate d = QDate(1990, 1, 1).addDays(rng.bounded(13000));
            const QString time = QTime(0, 0)
                                     .addSecs(rng.bounded(86400))
                                     .toString(rng.bounded(3) ? QStringLiteral("HH:mm:ss")
                                                              : QStringLiteral("HH:mm"));
            logfile::Fields f{d.toString(QStringLiteral("yyyy-")) +
                                  QLocale::c().monthName(d.month(), QLocale::ShortFormat) +
                                  d.toString(QStringLiteral("-dd")),
                              time,
                              QString::fromLatin1(bands[rng.bounded(10)]),
                              QStringLiteral("ZZ%1ABC").arg(i),
                              rng.bounded(2) ? QStringLiteral("Hans") : QString(),
                              QStringLiteral("Town %1, North").arg(i),
                              QStringLiteral("59"),
                              QStringLiteral("599")};
            log += logfile::buildRecord(f);
        }
        QTemporaryDir dir;
        writeFile(dir.filePath("Tavrelo.txt"), log);
        QByteArray adi;
        const ExportSummary e = exportLog(
            dir.filePath("Tavrelo.txt"), "CW", QDateTime::currentDateTimeUtc(), "1.0.0",
            [&](const QByteArray& b) {
                adi += b;
                return 0;
            },
            [](const QString&) {});
        QCOMPARE(e.written, 2000);
        writeFile(dir.filePath("out.adi"), adi);
        const ImportSummary s =
            importAdif(dir.filePath("out.adi"), dir.filePath("new.txt"), [](const QString&) {});
        QCOMPARE(s.added, 2000);
        QCOMPARE(readFile(dir.filePath("new.txt")), log);
        QCOMPARE(s.fieldsNotKept, QStringList{"MODE"});
    }

    // The command's last line and exit status.
    void command_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("added") << contact + "<EOR>" << 0
                               << "1 contacts added, 0 duplicates skipped, 0 records skipped";
        QTest::newRow("a record skipped")
            << contact + "<EOR><CALL:3>ABC<EOR>" << 1
            << "1 contacts added, 0 duplicates skipped, 1 records skipped";
        QTest::newRow("no file") << QByteArray() << 2 << "";
    }
    void command() {
        QFETCH(QByteArray, adif);
        QFETCH(int, exitCode);
        QFETCH(QString, lastLine);
        QTemporaryDir dir;
        if (!adif.isEmpty())
            writeFile(dir.filePath("in.adi"), adif);
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF),
                {"--import", dir.filePath("in.adi"), dir.filePath("Tavrelo.txt")});
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), exitCode);
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        QCOMPARE(out.section(QLatin1Char('\n'), -1), lastLine);
        if (exitCode == 2)
            QVERIFY(p.readAllStandardError().contains("Could not read the ADIF file"));
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"
