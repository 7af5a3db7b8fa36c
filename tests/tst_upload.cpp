// SPDX-License-Identifier: GPL-3.0-or-later
// What goes to a web log and what its answers mean; the settings file.
#include "AdifReader.h"
#include "Settings.h"
#include "TestFiles.h"
#include "WebLog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrelo;

class TestUpload : public QObject {
    Q_OBJECT

private slots:
    // Every kind of answer Wavelog gives, and a server that gives none.
    void judge_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("networkError");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("words"); // in the message
        QTest::newRow("created") << 201 << QByteArray(R"({"status":"created","adif_count":1})")
                                 << "" << int(upload::Answer::Delivered) << "";
        QTest::newRow("201 without a contact taken")
            << 201 << QByteArray(R"({"status":"created","adif_count":0})") << ""
            << int(upload::Answer::Refused) << "took no contact";
        QTest::newRow("a duplicate")
            << 400
            << QByteArray(R"({"status":"abort","messages":["Duplicate for DL1ABC, 20m, CW"]})")
            << "" << int(upload::Answer::Duplicate) << "Duplicate for DL1ABC";
        QTest::newRow("a wrong key")
            << 401 << QByteArray(R"({"status":"failed","reason":"missing or wrong api key"})") << ""
            << int(upload::Answer::WrongKey) << "wrong api key";
        QTest::newRow("a wrong station callsign")
            << 400 << QByteArray(R"({"status":"abort","messages":["Wrong station callsign"]})")
            << "" << int(upload::Answer::Refused) << "Wrong station callsign";
        QTest::newRow("200 with a failure")
            << 200 << QByteArray(R"({"status":"failed","reason":"wrong JSON"})") << ""
            << int(upload::Answer::Refused) << "wrong JSON";
        QTest::newRow("a server fault")
            << 500 << QByteArray() << "" << int(upload::Answer::Retry) << "HTTP 500";
        QTest::newRow("no answer") << 0 << QByteArray() << "Connection refused"
                                   << int(upload::Answer::Retry) << "Connection refused";
    }
    void judge() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, networkError);
        QFETCH(int, kind);
        QFETCH(QString, words);
        const upload::Answer a = upload::judge(status, body, networkError);
        QCOMPARE(int(a.kind), kind);
        QVERIFY2(a.message.contains(words), qPrintable(a.message));
    }

    // Lengths in characters, values as they came: ASCII, accents, a
    // character of four bytes, a "<" in a value.
    void recordLengthsInCharacters_data() {
        QTest::addColumn<QByteArray>("adif");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("ASCII") << QByteArray("<CALL:6>DL1ABC<NAME:4>Hans<EOR>")
                               << QByteArray("<CALL:6>DL1ABC <NAME:4>Hans <EOR>");
        QTest::newRow("accents") << QByteArray("<NAME:7>J\xc3\xbcrgen<QTH:8>M\xc3\xbcnchen<EOR>")
                                 << QByteArray("<NAME:6>J\xc3\xbcrgen <QTH:7>M\xc3\xbcnchen <EOR>");
        QTest::newRow("four bytes, and a <") << QByteArray("<COMMENT:8>a \xf0\x9f\x93\xbb<b<EOR>")
                                             << QByteArray("<COMMENT:5>a \xf0\x9f\x93\xbb<b <EOR>");
    }
    void recordLengthsInCharacters() {
        QFETCH(QByteArray, adif);
        QFETCH(QByteArray, sent);
        adif::AdifReader reader(adif);
        adif::AdifRecord record;
        QVERIFY(reader.next(record));
        QCOMPARE(upload::webLogRecord(record), sent);
    }

    // The settings file: missing, whole, half, or readable by others.
    void settings_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("webLog");
        QTest::addColumn<QString>("error");
        const QByteArray whole = "[weblog]\nurl=http://127.0.0.1:8086/\nkey=k1\nstation_id=3\n"
                                 "[lotw]\nlocation=Home\n";
        QTest::newRow("whole") << whole << 0600 << true << "";
        QTest::newRow("readable by others") << whole << 0644 << false << "chmod 600";
        QTest::newRow("without its key") << QByteArray("[weblog]\nurl=http://x\nstation_id=3\n")
                                         << 0600 << false << "needs url, key and station_id";
        QTest::newRow("no web log") << QByteArray("[lotw]\nlocation=Home\n") << 0600 << false << "";
    }
    void settings() {
        QFETCH(QByteArray, text);
        QFETCH(int, mode);
        QFETCH(bool, webLog);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.conf");
        testing::writeFile(path, text);
        QFile::setPermissions(path, mode == 0600 ? QFile::ReadOwner | QFile::WriteOwner
                                                 : QFile::ReadOwner | QFile::WriteOwner |
                                                       QFile::ReadGroup | QFile::ReadOther);
        QString why;
        const upload::Settings s = upload::readSettings(path, why);
        QCOMPARE(s.hasWebLog(), webLog);
        QVERIFY2(error.isEmpty() ? why.isEmpty() : why.contains(error), qPrintable(why));
        if (webLog) {
            QCOMPARE(s.url, QStringLiteral("http://127.0.0.1:8086"));
            QCOMPARE(s.lotwLocation, QStringLiteral("Home"));
        }
        QString missing;
        QVERIFY(!upload::readSettings(dir.filePath("none.conf"), missing).hasWebLog());
        QVERIFY(missing.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
