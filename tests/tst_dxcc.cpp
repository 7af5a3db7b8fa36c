// SPDX-License-Identifier: GPL-3.0-or-later
// Calls resolved with Debian's country files, as the files intend them.
#include "Adif.h"
#include "CountryFile.h"
#include "TestFiles.h"
#include "Worked.h"
#include "WorkedLog.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace tavrelo::dxcc;

class DxccTest : public QObject {
    Q_OBJECT

    CountryFile countries_;

private slots:
    void initTestCase() {
        QString error;
        QVERIFY2(countries_.load(QStringLiteral("/usr/share/hamradio-files/cty.dat"), error),
                 qPrintable(error));
        QCOMPARE(countries_.version(), QStringLiteral("20230502"));
    }

    void resolve_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("dxcc"); // 0: no entity
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("cq");
        QTest::addColumn<int>("itu");
        QTest::addColumn<QString>("continent");
        QTest::addColumn<QString>("base");
        const QString de = QStringLiteral("Fed. Rep. of Germany");
        QTest::newRow("a prefix") << "DL1ABC" << 230 << de << 14 << 28 << "EU"
                                  << "DL1ABC";
        QTest::newRow("in lower case") << "dl1abc" << 230 << de << 14 << 28 << "EU"
                                       << "DL1ABC";
        QTest::newRow("the longest prefix") << "VK9WX" << 303 << "Willis Island" << 30 << 55 << "OC"
                                            << "VK9WX";
        QTest::newRow("an entity of its own")
            << "Z60A" << 522 << "Republic of Kosovo" << 15 << 28 << "EU"
            << "Z60A";
        QTest::newRow("an exact call") << "3Y0J" << 24 << "Bouvet" << 38 << 67 << "AF"
                                       << "3Y0J";
        QTest::newRow("a location before")
            << "EA8/DL1ABC" << 29 << "Canary Islands" << 33 << 36 << "AF"
            << "DL1ABC";
        QTest::newRow("a location after")
            << "DL1ABC/EA8" << 29 << "Canary Islands" << 33 << 36 << "AF"
            << "DL1ABC";
        QTest::newRow("Hawaii before") << "KH6/W1AW" << 110 << "Hawaii" << 31 << 61 << "OC"
                                       << "W1AW";
        QTest::newRow("Hawaii after") << "W1AW/KH6" << 110 << "Hawaii" << 31 << 61 << "OC"
                                      << "W1AW";
        QTest::newRow("a location and /P")
            << "VK2/DL1ABC/P" << 150 << "Australia" << 30 << 59 << "OC"
            << "DL1ABC";
        QTest::newRow("/M changes nothing") << "DL1ABC/M" << 230 << de << 14 << 28 << "EU"
                                            << "DL1ABC";
        QTest::newRow("a suffix of no prefix changes nothing")
            << "F6ABC/33" << 227 << "France" << 14 << 27 << "EU"
            << "F6ABC";
        QTest::newRow("/QRP changes nothing") << "DL1ABC/QRP" << 230 << de << 14 << 28 << "EU"
                                              << "DL1ABC";
        QTest::newRow("a call area changes nothing")
            << "W1AW/4" << 291 << "United States of America" << 5 << 8 << "NA"
            << "W1AW";
        QTest::newRow("at sea: none") << "DL1ABC/MM" << 0 << "" << 0 << 0 << ""
                                      << "DL1ABC";
        QTest::newRow("in the air: none") << "DL1ABC/AM" << 0 << "" << 0 << 0 << ""
                                          << "DL1ABC";
        QTest::newRow("KG4 with two letters")
            << "KG4AA" << 105 << "Guantanamo Bay" << 8 << 11 << "NA"
            << "KG4AA";
        QTest::newRow("KG4 with three letters")
            << "KG4ABC" << 291 << "United States of America" << 5 << 8 << "NA"
            << "KG4ABC";
        QTest::newRow("a part listed apart counts for its entity")
            << "IT9ABC" << 248 << "Italy" << 15 << 28 << "EU"
            << "IT9ABC";
        QTest::newRow("a zone the prefix overrides")
            << "AA0AA" << 291 << "United States of America" << 4 << 7 << "NA"
            << "AA0AA";
        QTest::newRow("nothing known") << "0ABC" << 0 << "" << 0 << 0 << ""
                                       << "0ABC";
    }
    void resolve() {
        QFETCH(QString, call);
        QFETCH(int, dxcc);
        QFETCH(QString, name);
        QFETCH(int, cq);
        QFETCH(int, itu);
        QFETCH(QString, continent);
        QFETCH(QString, base);
        const Resolution r = countries_.resolve(call);
        QCOMPARE(r.entity ? r.entity->dxcc : 0, dxcc);
        QCOMPARE(r.entity ? r.entity->name : QString(), name);
        if (r.entity) {
            QCOMPARE(r.cq, cq);
            QCOMPARE(r.itu, itu);
            QCOMPARE(r.continent, continent);
        }
        QCOMPARE(r.base, base);
    }

    // Every call of the package's list of active calls resolves, but for
    // those at sea or in the air, and typos and calls of no prefix in the
    // list (a zero for an O, D0, PJ3, VO3).
    void everyActiveCallResolves() {
        QFile file(QStringLiteral("/usr/share/hamradio-files/MASTER.SCP"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList unresolved;
        qsizetype calls = 0;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QString call = QString::fromLatin1(line.trimmed());
            if (call.isEmpty() || call.startsWith('#'))
                continue;
            ++calls;
            if (!countries_.resolve(call).entity)
                unresolved << call;
        }
        QVERIFY(calls > 80000);
        QCOMPARE(unresolved.join(' '),
                 QStringLiteral("1N7N 2N8N BS4QA C02VDD C02XN C06HZ C08NMN C19AS D0AG D0IA D0WFF "
                                "D0ZM H06HF H1AH HM1DK I/DL6SP/MM J03DDD J06HF N3XQX/AM PJ3T T03Z "
                                "T04A T05M V02AC VO3A VY3TT XX0XX Y04NF"));
    }

    // What a log says of the next contact, on a small log: Germany worked
    // on 20m in CW (confirmed) and on 40m in SSB, DL1ABC twice.
    void worked_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("standing");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<int>("calls");
        QTest::newRow("another entity") << "F1ABC"
                                        << "20m"
                                        << "CW"
                                        << "New one" << false << 0;
        QTest::newRow("a band not worked") << "DL2XYZ"
                                           << "15m"
                                           << "CW"
                                           << "New band" << false << 0;
        QTest::newRow("a mode not worked") << "DL2XYZ"
                                           << "20m"
                                           << "FT8"
                                           << "New mode" << false << 0;
        QTest::newRow("band and mode worked, not together") << "DL2XYZ"
                                                            << "40m"
                                                            << "CW"
                                                            << "New slot" << false << 0;
        QTest::newRow("worked and confirmed") << "DL2XYZ"
                                              << "20m"
                                              << "CW"
                                              << "Worked" << true << 0;
        QTest::newRow("worked, not confirmed") << "DL2XYZ"
                                               << "40m"
                                               << "SSB"
                                               << "Worked" << false << 0;
        QTest::newRow("no band or mode known: the entity") << "DL2XYZ"
                                                           << ""
                                                           << ""
                                                           << "Worked" << true << 0;
        QTest::newRow("the call, counted with its portable form") << "DL1ABC/P"
                                                                  << "20m"
                                                                  << "CW"
                                                                  << "Worked" << true << 3;
        QTest::newRow("the record's DXCC wins over the call's") << "EA8ZZ"
                                                                << "20m"
                                                                << "CW"
                                                                << "New one" << false << 1;
    }
    void worked() {
        QFETCH(QString, call);
        QFETCH(QString, band);
        QFETCH(QString, mode);
        QFETCH(QString, standing);
        QFETCH(bool, confirmed);
        QFETCH(int, calls);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray l = ",  ,  ,  ,  \r\n";
        tavrelo::testing::writeFile(log, "2024-Mar-01,  12:05,  20m,  DL1ABC" + l +
                                             "2024-Mar-02,  12:05,  40m,  DL1ABC" + l +
                                             "2024-Mar-03,  12:05,  20m,  DL1ABC/P" + l +
                                             "2024-Mar-04,  12:05,  20m,  EA8ZZ" + l);
        tavrelo::testing::writeFile(
            dir.filePath("Tavrelo.adi"),
            "<QSO_DATE:8>20240301 <TIME_ON:4>1205 <BAND:3>20m <CALL:6>DL1ABC <MODE:2>CW "
            "<QSL_RCVD:1>Y <EOR>\r\n"
            "<QSO_DATE:8>20240302 <TIME_ON:4>1205 <BAND:3>40m <CALL:6>DL1ABC <MODE:3>SSB <EOR>\r\n"
            "<QSO_DATE:8>20240304 <TIME_ON:4>1205 <BAND:3>20m <CALL:5>EA8ZZ <MODE:2>CW "
            "<DXCC:3>230 <EOR>\r\n");
        WorkedIndex index;
        QVERIFY(tavrelo::adif::readWorked(log, countries_, index).ok());
        const Resolution r = countries_.resolve(call);
        const WorkedIndex::Status s =
            index.status(r.entity->dxcc, r.base, band.toUtf8(), mode.toUtf8());
        QCOMPARE(describe(s.standing), standing);
        QCOMPARE(s.confirmed, confirmed);
        QCOMPARE(s.calls, calls);
        // The line says the same words.
        QVERIFY(entityLine(r, &s).contains(standing));
        // A contact saved since counts with those read: a call the log
        // had, or a new one.
        index.add(r.entity->dxcc, r.base, band.toUtf8(), mode.toUtf8(), 20251224, false);
        const WorkedIndex::Status saved =
            index.status(r.entity->dxcc, r.base, band.toUtf8(), mode.toUtf8());
        QCOMPARE(saved.calls, calls + 1);
        QCOMPARE(saved.lastDate, 20251224);
    }

    // The export fills what a contact lacks of its entity, and changes
    // nothing that came with it.
    void exportFills_data() {
        QTest::addColumn<QByteArray>("record"); // the contact's, beside DL1ABC's line
        QTest::addColumn<QByteArrayList>("written");
        QTest::addColumn<QByteArrayList>("notWritten");
        QTest::newRow("nothing of its entity")
            << QByteArray()
            << QByteArrayList{"<DXCC:3>230", "<COUNTRY:20>Fed. Rep. of Germany", "<CQZ:2>14",
                              "<ITUZ:2>28", "<CONT:2>EU"}
            << QByteArrayList{};
        QTest::newRow("its own zone stays")
            << QByteArray("<CQZ:2>15 ") << QByteArrayList{"<CQZ:2>15", "<DXCC:3>230"}
            << QByteArrayList{"<CQZ:2>14"};
        QTest::newRow("a zone of blanks is its own")
            << QByteArray("<CQZ:1>  ") << QByteArrayList{"<CQZ:1> ", "<DXCC:3>230"}
            << QByteArrayList{"<CQZ:2>14"};
        QTest::newRow("another entity's number: nothing added")
            << QByteArray("<DXCC:3>248 ") << QByteArrayList{"<DXCC:3>248"}
            << QByteArrayList{"<DXCC:3>230", "COUNTRY", "CQZ"};
    }
    void exportFills() {
        QFETCH(QByteArray, record);
        QFETCH(QByteArrayList, written);
        QFETCH(QByteArrayList, notWritten);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        tavrelo::testing::writeFile(log, "2024-Mar-01,  12:05,  20m,  DL1ABC,  ,  ,  ,  \r\n");
        if (!record.isEmpty())
            tavrelo::testing::writeFile(dir.filePath("Tavrelo.adi"),
                                        "<QSO_DATE:8>20240301 <TIME_ON:4>1205 <BAND:3>20m "
                                        "<CALL:6>DL1ABC " +
                                            record + "<EOR>\r\n");
        for (const bool utf8 : {false, true}) {
            QByteArray out;
            tavrelo::adif::ExportOptions options;
            options.utf8 = utf8;
            options.countries = &countries_;
            tavrelo::adif::exportLog(
                log, options, QDateTime::currentDateTimeUtc(), "test",
                [&](const QByteArray& b) {
                    out += b;
                    return 0;
                },
                [](const QString&) {});
            for (const QByteArray& w : written)
                QVERIFY2(out.contains(w), out.constData());
            for (const QByteArray& w : notWritten)
                QVERIFY2(!out.contains(w), out.constData());
            QVERIFY(out.contains(" <EOR>"));
        }
    }

    // A file that is not there, or holds no entities, says so.
    void badFiles() {
        QTemporaryDir dir;
        CountryFile missing;
        QString error;
        QVERIFY(!missing.load(dir.filePath("cty.dat"), error));
        QVERIFY(error.contains(dir.filePath("cty.dat")));
        QFile dat(dir.filePath("cty.dat")), csv(dir.filePath("cty.csv"));
        QVERIFY(dat.open(QIODevice::WriteOnly) && csv.open(QIODevice::WriteOnly));
        dat.write("not a country file\n");
        dat.close();
        csv.close();
        CountryFile empty;
        error.clear();
        QVERIFY(!empty.load(dir.filePath("cty.dat"), error));
        QVERIFY(error.contains(QStringLiteral("no entities")));
    }
};

QTEST_GUILESS_MAIN(DxccTest)
#include "tst_dxcc.moc"
