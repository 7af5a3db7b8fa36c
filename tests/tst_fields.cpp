// SPDX-License-Identifier: GPL-3.0-or-later
// The fields file beside the log: what an import and tavrelo-wsjtx keep of
// each contact, how the export gives it back, and the append of both files
// all or nothing, killed at every step.
#include "Adif.h"
#include "AdifCheck.h"
#include "AdifReader.h"
#include "ContactLog.h"
#include "FieldsFile.h"
#include "Import.h"
#include "Message.h"
#include "SystemCalls.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QDir>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <fcntl.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrelo;
using namespace tavrelo::adif;
using tavrelo::testing::readFile;
using tavrelo::testing::writeFile;

namespace {

using Record = QMap<QByteArray, QByteArray>; // name in upper case, value as UTF-8

// An ADI reader of its own, sharing nothing with the program's: lengths in
// bytes, names in any case, text outside tags ignored, the header skipped.
QList<Record> readBack(const QByteArray& adi) {
    QList<Record> records;
    Record current;
    qsizetype pos = adi.indexOf("<EOH>");
    pos = pos < 0 ? 0 : pos + 5;
    while ((pos = adi.indexOf('<', pos)) >= 0) {
        const qsizetype close = adi.indexOf('>', pos);
        if (close < 0)
            break;
        const QByteArray tag = adi.mid(pos + 1, close - pos - 1);
        pos = close + 1;
        if (tag.toUpper() == "EOR") {
            records.append(current);
            current.clear();
            continue;
        }
        const QList<QByteArray> parts = tag.split(':');
        if (parts.size() < 2)
            continue;
        const int length = parts[1].toInt();
        current[parts[0].toUpper()] = adi.mid(pos, length);
        pos += length;
    }
    return records;
}

QByteArray adifField(const QByteArray& name, const QByteArray& value) {
    return "<" + name + ":" + QByteArray::number(value.size()) + ">" + value;
}

QByteArray exportOf(const QString& log, const ExportOptions& options,
                    QStringList* notes = nullptr) {
    QByteArray adi;
    const ExportSummary s = exportLog(
        log, options, QDateTime::currentDateTimeUtc(), "1.0.0",
        [&](const QByteArray& b) {
            adi += b;
            return 0;
        },
        [&](const QString& n) {
            if (notes)
                *notes << n;
        });
    if (!s.fieldsError.ok())
        qWarning("%s", qPrintable(s.fieldsError.message()));
    return adi;
}

ExportOptions utf8() {
    ExportOptions o;
    o.utf8 = true;
    return o;
}

const QString killAt = QStringLiteral(TAVRELO_KILL_AT);

// The environment of a program to be killed at its n-th write or sync.
QProcessEnvironment killedAt(int n, bool torn, const QString& countFile) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", killAt);
    env.insert("TAVRELO_KILL_AT", QString::number(n));
    env.insert("TAVRELO_KILL_TORN", torn ? "1" : "0");
    env.insert("TAVRELO_KILL_COUNT", countFile);
    // A sanitizer build lets the preloaded library come first.
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    return env;
}

} // namespace

class TestFields : public QObject {
    Q_OBJECT

private slots:
    // Control characters are dropped from every value a contact's record
    // keeps, whichever way it came (an import, WSJT-X), but for the line
    // breaks of a multiline field; a literal <eor> in a value stays text.
    void controlCharacters_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("ESC in a name")
            << QByteArray("NAME") << QByteArray("Ha\x1bns") << QByteArray("Hans");
        QTest::newRow("NUL in a comment")
            << QByteArray("COMMENT") << QByteArray("a\0b", 3) << QByteArray("ab");
        QTest::newRow("CR LF in a comment")
            << QByteArray("COMMENT") << QByteArray("one\r\ntwo") << QByteArray("onetwo");
        QTest::newRow("CR LF in the notes")
            << QByteArray("NOTES") << QByteArray("one\r\ntwo") << QByteArray("one\r\ntwo");
        QTest::newRow("a lone LF in the notes")
            << QByteArray("NOTES") << QByteArray("one\ntwo") << QByteArray("onetwo");
        QTest::newRow("CR LF in an address")
            << QByteArray("ADDRESS") << QByteArray("a\r\nb\x07") << QByteArray("a\r\nb");
        QTest::newRow("<eor> in a comment")
            << QByteArray("COMMENT") << QByteArray("x <eor> y") << QByteArray("x <eor> y");
    }
    void controlCharacters() {
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, kept);
        const QByteArray contact = "<call:5>ZZ9ZZ <mode:3>FT8 <qso_date:8>20241105 "
                                   "<time_on:6>120530 <band:3>20m " +
                                   adifField(field, value) + " <eor>\n";
        // WSJT-X's way.
        QStringList skipped;
        const QList<wsjtx::Contact> contacts = wsjtx::contactsOfAdif(contact, skipped);
        QCOMPARE(contacts.size(), 1);
        QCOMPARE(readBack("<EOH>" + contacts[0].fields).value(0).value(field), kept);
        // An import's, and the export of what it kept.
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(dir.filePath("in.adi"), contact);
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF), {"--import", dir.filePath("in.adi"), log});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(readBack("<EOH>" + readFile(logfile::fieldsPath(log))).value(0).value(field),
                 kept);
        QCOMPARE(readBack(exportOf(log, utf8())).value(0).value(field), kept);
    }

    // The fields of a file's header are never a contact's: not from WSJT-X's
    // Logged ADIF (which starts with its header's fields), not from an
    // import, and ones an earlier version stored are not exported.
    void headerFieldsNeverContactFields_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("WSJT-X's Logged ADIF") << "wsjtx";
        QTest::newRow("an import") << "import";
        QTest::newRow("stored by an earlier version") << "stored";
    }
    void headerFieldsNeverContactFields() {
        QFETCH(QString, path);
        const QByteArray header = "<adif_ver:5>3.1.1\n<programid:6>WSJT-X\n<EOH>\n";
        const QByteArray contact = "<call:5>ZZ9ZZ <gridsquare:4>JO62 <mode:3>FT8 "
                                   "<qso_date:8>20241105 <time_on:6>120530 <band:3>20m <eor>";
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        if (path == "wsjtx") {
            QStringList skipped;
            const QList<wsjtx::Contact> contacts = wsjtx::contactsOfAdif(header + contact, skipped);
            QCOMPARE(contacts.size(), 1);
            QVERIFY2(!contacts[0].fields.toUpper().contains("ADIF_VER") &&
                         !contacts[0].fields.toUpper().contains("PROGRAMID"),
                     contacts[0].fields.constData());
            return;
        }
        if (path == "import") {
            writeFile(dir.filePath("in.adi"), header + contact);
            QProcess p;
            p.start(QStringLiteral(TAVRELO_ADIF), {"--import", dir.filePath("in.adi"), log});
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 0);
            QVERIFY(!readFile(logfile::fieldsPath(log)).contains("ADIF_VER"));
        } else {
            writeFile(log, "2024-Nov-05,  12:05:30,  20m,  ZZ9ZZ,  ,  ,  ,  \r\n");
            writeFile(logfile::fieldsPath(log),
                      "<CALL:5>ZZ9ZZ <ADIF_VER:5>3.1.1 <PROGRAMID:6>WSJT-X <USERDEF1:3>ABC "
                      "<GRIDSQUARE:4>JO62 <MODE:3>FT8 <QSO_DATE:8>20241105 <TIME_ON:6>120530 "
                      "<BAND:3>20m <EOR>\r\n");
        }
        const QList<Record> back = readBack(exportOf(log, utf8()));
        QCOMPARE(back.size(), 1);
        QCOMPARE(back[0].value("GRIDSQUARE"), QByteArray("JO62"));
        for (const char* name : {"ADIF_VER", "PROGRAMID", "USERDEF1"})
            QVERIFY2(!back[0].contains(name), name);
    }

    // A record's FREQ as other programs wrote it: in MHz, kHz or Hz. On the
    // contact's band it goes out as FREQ in MHz; on no band it allows, as it
    // came under APP_TAVRELO_FREQ, counted; never dropped.
    void freqUnits_data() {
        QTest::addColumn<QByteArray>("band");
        QTest::addColumn<QByteArray>("freq");
        QTest::addColumn<QByteArray>("out");  // FREQ written, or empty
        QTest::addColumn<QByteArray>("kept"); // APP_TAVRELO_FREQ written, or empty
        QTest::newRow("MHz") << QByteArray("20m") << QByteArray("14.074") << QByteArray("14.074")
                             << QByteArray();
        QTest::newRow("kHz") << QByteArray("20m") << QByteArray("14200") << QByteArray("14.2")
                             << QByteArray();
        QTest::newRow("Hz") << QByteArray("20m") << QByteArray("14081011")
                            << QByteArray("14.081011") << QByteArray();
        QTest::newRow("kHz on 40m")
            << QByteArray("40m") << QByteArray("7074") << QByteArray("7.074") << QByteArray();
        QTest::newRow("MHz, the band changed since")
            << QByteArray("40m") << QByteArray("14.074") << QByteArray() << QByteArray("14.074");
        QTest::newRow("Hz off every band")
            << QByteArray("20m") << QByteArray("12345") << QByteArray() << QByteArray("12345");
        QTest::newRow("not a number") << QByteArray("20m") << QByteArray("14,074 MHz")
                                      << QByteArray() << QByteArray("14,074 MHz");
    }
    void freqUnits() {
        QFETCH(QByteArray, band);
        QFETCH(QByteArray, freq);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, kept);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "2024-Mar-01,  12:05:30,  " + band + ",  ZZ9ZZ,  ,  ,  ,  \r\n");
        writeFile(logfile::fieldsPath(log),
                  "<QSO_DATE:8>20240301 <TIME_ON:6>120530 " +
                      (band.isEmpty() ? QByteArray() : adifField("BAND", band) + " ") +
                      adifField("CALL", "ZZ9ZZ") + " " + adifField("FREQ", freq) +
                      " <MODE:3>FT8 <EOR>\r\n");
        for (const bool inUtf8 : {false, true}) {
            ExportOptions options;
            options.utf8 = inUtf8;
            QStringList notes;
            const QList<Record> back = readBack(exportOf(log, options, &notes));
            QCOMPARE(back.size(), 1);
            QCOMPARE(back[0].value("FREQ"), out);
            QCOMPARE(back[0].value("APP_TAVRELO_FREQ"), kept);
            QCOMPARE(notes.join(' ').contains("APP_TAVRELO_FREQ"), !kept.isEmpty());
        }
    }

    // A band as it is typed in the window.
    void looseBands_data() {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<QByteArray>("band");
        QTest::addColumn<QByteArray>("freq");
        QTest::newRow("ADIF") << QByteArray("40M") << QByteArray("40m") << QByteArray();
        QTest::newRow("number only") << QByteArray("40") << QByteArray("40m") << QByteArray();
        QTest::newRow("space before m") << QByteArray("40 m") << QByteArray("40m") << QByteArray();
        QTest::newRow("centimetres") << QByteArray("70 cm") << QByteArray("70cm") << QByteArray();
        QTest::newRow("MHz") << QByteArray("7.074") << QByteArray("40m") << QByteArray("7.074");
        QTest::newRow("lower edge")
            << QByteArray("14.000") << QByteArray("20m") << QByteArray("14.000");
        QTest::newRow("upper edge")
            << QByteArray("14.350") << QByteArray("20m") << QByteArray("14.350");
        QTest::newRow("above the edge") << QByteArray("14.351") << QByteArray() << QByteArray();
        QTest::newRow("no such band") << QByteArray("11") << QByteArray() << QByteArray();
        QTest::newRow("two points") << QByteArray("7.0.74") << QByteArray() << QByteArray();
        QTest::newRow("words") << QByteArray("forty") << QByteArray() << QByteArray();
    }
    void looseBands() {
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, band);
        QFETCH(QByteArray, freq);
        QByteArray f;
        const char* b = looseBand(typed, &f);
        QCOMPARE(QByteArray(b), band);
        QCOMPARE(f, freq);
    }

    void modes_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("submode");
        QTest::newRow("a mode") << "ft8" << QByteArray("FT8") << QByteArray();
        QTest::newRow("FT4 is MFSK") << "FT4" << QByteArray("MFSK") << QByteArray("FT4");
        QTest::newRow("USB is SSB") << "usb" << QByteArray("SSB") << QByteArray("USB");
        QTest::newRow("with a space")
            << "JT9H FAST" << QByteArray("JT9") << QByteArray("JT9H FAST");
        QTest::newRow("unknown") << "LSB2" << QByteArray() << QByteArray();
    }
    void modes() {
        QFETCH(QString, given);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, submode);
        const auto m = modeOf(given);
        QCOMPARE(m ? m->mode : QByteArray(), mode);
        QCOMPARE(m ? m->submode : QByteArray(), submode);
    }

    void locators_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("locator");
        QTest::newRow("4") << QByteArray("FN42") << true;
        QTest::newRow("6, mixed case") << QByteArray("JO62qm") << true;
        QTest::newRow("8") << QByteArray("JO62qm15") << true;
        QTest::newRow("3") << QByteArray("FN4") << false;
        QTest::newRow("field past R") << QByteArray("ZZ42") << false;
        QTest::newRow("subsquare past X") << QByteArray("FN42zz") << false;
        QTest::newRow("a town") << QByteArray("Berlin") << false;
    }
    void locators() {
        QFETCH(QByteArray, text);
        QFETCH(bool, locator);
        QCOMPARE(isLocator(text), locator);
    }

    // A field that is there but empty falls back as a missing one does.
    void emptyFieldsNeverHideFallbacks_data() {
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QString>("line");
        const QByteArray base = "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205";
        QTest::newRow("QTH, then GRIDSQUARE") << base + "<QTH:0><GRIDSQUARE:4>FN42"
                                              << "2024-Mar-01,  12:05,  ,  ZZ9ZZ,  ,  FN42,  ,  ";
        QTest::newRow("BAND, then FREQ") << base + "<BAND:0><FREQ:6>14.074"
                                         << "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  ";
        QTest::newRow("NAME_INTL, then NAME") << base + "<NAME_INTL:0><NAME:4>Hans"
                                              << "2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  ,  ,  ";
    }
    void emptyFieldsNeverHideFallbacks() {
        QFETCH(QByteArray, fields);
        QFETCH(QString, line);
        AdifReader reader(fields + "<EOR>");
        AdifRecord record;
        QVERIFY(reader.next(record));
        const Mapped m = mapRecord(record);
        QVERIFY2(m.skipReason.isEmpty(), qPrintable(m.skipReason));
        QCOMPARE(QString::fromUtf8(logfile::buildRecord(m.fields)).chopped(2), line);
    }

    // Files as real programs write them, imported and exported again with
    // --utf8: every field of every contact comes back, read by a reader of
    // the test's own.
    void roundTrip_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<Record>>("contacts"); // what each contact must give back
        const Record ft8{{"CALL", "ZZ9ZZ"},           {"QSO_DATE", "20240301"},
                         {"TIME_ON", "120530"},       {"BAND", "20m"},
                         {"FREQ", "14.074123"},       {"MODE", "FT8"},
                         {"GRIDSQUARE", "FN42"},      {"RST_SENT", "-10"},
                         {"RST_RCVD", "-12"},         {"TIME_OFF", "120645"},
                         {"COMMENT", "tnx fer QSO"},  {"STATION_CALLSIGN", "ZZ1AA"},
                         {"MY_GRIDSQUARE", "JO31ab"}, {"TX_PWR", "50"},
                         {"APP_LOGGER_ID", "4711"},   {"QSL_RCVD", "Y"}};
        QByteArray plain;
        for (auto it = ft8.begin(); it != ft8.end(); ++it)
            plain += adifField(it.key().toLower(), it.value()) + ' ';
        QTest::newRow("no header, tags in lower case") << plain + "<eor>\n" << QList<Record>{ft8};

        const Record pota{{"CALL", "ZZ2BB"},
                          {"QSO_DATE", "20230704"},
                          {"TIME_ON", "1830"},
                          {"BAND", "40m"},
                          {"MODE", "SSB"},
                          {"SUBMODE", "LSB"},
                          {"NAME", "Jörg"},
                          {"QTH", "Köln"},
                          {"MY_SIG", "POTA"},
                          {"MY_SIG_INFO", "K-0001"},
                          {"SIG_INFO", "DA-0042"},
                          {"POTA_REF", "DA-0042"},
                          {"NOTES", "park to park, ünd more"}};
        QByteArray withHeader = "Exported by a logger\n<ADIF_VER:5>3.1.4 <EOH>\n";
        for (auto it = pota.begin(); it != pota.end(); ++it)
            withHeader += adifField(it.key(), it.value());
        QTest::newRow("header, UTF-8 values") << withHeader + "<EOR>" << QList<Record>{pota};

        // Windows-1252 bytes: the values come back as the same letters in UTF-8.
        const QByteArray latin = "<CALL:5>ZZ3CC<QSO_DATE:8>20220101<TIME_ON:4>0915<BAND:3>80m"
                                 "<MODE:2>CW<NAME:5>Andr\xe9 <QTH:7>M\xfcnchen <CONTEST_ID:6>"
                                 "DARC-X <SRX:3>123 <STX_STRING:3>B12 <EOR>";
        const Record latinBack{{"CALL", "ZZ3CC"},    {"NAME", "André"},        {"QTH", "München"},
                               {"MODE", "CW"},       {"CONTEST_ID", "DARC-X"}, {"SRX", "123"},
                               {"STX_STRING", "B12"}};
        QTest::newRow("Windows-1252") << latin << QList<Record>{latinBack};

        // Two records of one contact complete each other; two satellites in
        // the same minute are two contacts.
        const QByteArray completing =
            "<CALL:5>ZZ4DD<QSO_DATE:8>20210505<TIME_ON:6>101010<BAND:2>2m<MODE:2>FM"
            "<SAT_NAME:5>AO-91<PROP_MODE:3>SAT<EOR>\n"
            "<CALL:5>ZZ4DD<QSO_DATE:8>20210505<TIME_ON:6>101030<BAND:2>2m<MODE:2>FM"
            "<SAT_NAME:5>AO-91<PROP_MODE:3>SAT<RST_RCVD:2>59<GRIDSQUARE:6>EM12ab<EOR>\n"
            "<CALL:5>ZZ4DD<QSO_DATE:8>20210505<TIME_ON:6>101045<BAND:2>2m<MODE:2>FM"
            "<SAT_NAME:5>SO-50<PROP_MODE:3>SAT<EOR>\n";
        const Record first{{"CALL", "ZZ4DD"},  {"SAT_NAME", "AO-91"},    {"PROP_MODE", "SAT"},
                           {"RST_RCVD", "59"}, {"GRIDSQUARE", "EM12ab"}, {"MODE", "FM"}};
        const Record second{{"CALL", "ZZ4DD"}, {"SAT_NAME", "SO-50"}, {"TIME_ON", "101045"}};
        QTest::newRow("duplicates that complete each other, two satellites")
            << completing << QList<Record>{first, second};
    }
    void roundTrip() {
        QFETCH(QByteArray, file);
        QFETCH(QList<Record>, contacts);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(dir.filePath("in.adi"), file);
        const ImportSummary s = importAdif(dir.filePath("in.adi"), log, [](const QString&) {});
        QVERIFY2(s.error.ok(), qPrintable(s.error.message()));
        QCOMPARE(s.added, contacts.size());
        const QList<Record> back = readBack(exportOf(log, utf8()));
        QCOMPARE(back.size(), contacts.size());
        for (qsizetype i = 0; i < contacts.size(); ++i) {
            for (auto it = contacts[i].begin(); it != contacts[i].end(); ++it)
                QCOMPARE(back[i].value(it.key()), it.value());
            QVERIFY(!back[i].contains(AddsField));
        }
        // The same file again adds nothing, to the log or to the fields file.
        const QByteArray fieldsBefore = readFile(logfile::fieldsPath(log));
        const ImportSummary again = importAdif(dir.filePath("in.adi"), log, [](const QString&) {});
        QCOMPARE(again.added, 0);
        QCOMPARE(readFile(logfile::fieldsPath(log)), fieldsBefore);
    }

    // The name of the records that add to others is found wherever it
    // stands, in any case: at either end, across the end of a piece read,
    // and across the middle of a large file, where the two halves looked
    // through at once meet. A file without it, or with a name a letter
    // short of it, has none.
    void mentionsName_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<qsizetype>("at"); // where the name starts; -1 for nowhere
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("found");
        const QByteArray adds(AddsField), lower = adds.toLower();
        const qsizetype big = (qsizetype(16) << 20) + 1001, half = big / 2;
        const qsizetype piece = qsizetype(4) << 20;
        QTest::newRow("small, none") << qsizetype(5000) << qsizetype(-1) << adds << false;
        QTest::newRow("small, at the start") << qsizetype(5000) << qsizetype(0) << adds << true;
        QTest::newRow("small, at the end")
            << qsizetype(5000) << 5000 - adds.size() << lower << true;
        QTest::newRow("small, across a piece") << 2 * piece << piece - 3 << adds << true;
        QTest::newRow("large, none") << big << qsizetype(-1) << adds << false;
        QTest::newRow("large, at the start") << big << qsizetype(0) << lower << true;
        QTest::newRow("large, at the end") << big << big - adds.size() << adds << true;
        QTest::newRow("large, across a piece") << big << piece - 5 << adds << true;
        QTest::newRow("large, across the middle") << big << half - 5 << lower << true;
        QTest::newRow("large, ending at the middle") << big << half - adds.size() << adds << true;
        QTest::newRow("large, at the middle") << big << half << adds << true;
        QTest::newRow("large, across a piece after the middle")
            << big << half + piece - 7 << adds << true;
        QTest::newRow("large, a letter short, across the middle")
            << big << half - 5 << adds.left(adds.size() - 1) + '_' << false;
    }
    void mentionsName() {
        QFETCH(qsizetype, size);
        QFETCH(qsizetype, at);
        QFETCH(QByteArray, name);
        QFETCH(bool, found);
        // Records full of the letter the look starts from.
        QByteArray bytes =
            QByteArray("<RST_RCVD:3>599 <CALL:5>VK2VV <EOR>\r\n").repeated(size / 37 + 1);
        bytes.truncate(size);
        if (at >= 0)
            bytes.replace(at, name.size(), name);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.adi");
        writeFile(path, bytes);
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        int err = -1;
        QCOMPARE(adif::mentionsName(fd, AddsField, err), found);
        QCOMPARE(err, 0);
        ::close(fd);
    }

    // The fields a record adds to its line are the first of each name that
    // has a value, in their order, however many names there are and
    // however often each comes: against a plain look along the fields.
    void digestOthers() {
        QRandomGenerator rng(11);
        for (int round = 0; round < 200; ++round) {
            QByteArray adif = "<CALL:4>W1AW <QSO_DATE:8>20240301 <TIME_ON:4>1205 ";
            const int count = int(rng.bounded(1, 80));
            for (int i = 0; i < count; ++i) {
                const QByteArray name = rng.bounded(3)
                                            ? "APP_X_" + QByteArray::number(rng.bounded(60))
                                            : QByteArray(rng.bounded(1, 12), 'N');
                const QByteArray value = rng.bounded(4) ? QByteArray::number(i) : QByteArray();
                adif += "<" + name + ":" + QByteArray::number(value.size()) + ">" + value + " ";
            }
            AdifReader reader{QByteArrayView(adif + "<EOR>")};
            AdifRecord record;
            QVERIFY(reader.next(record));
            RecordView view;
            view.fields.append(record.fields.constData(), record.fields.size());
            digest(view);
            QList<QByteArray> got, expected;
            QSet<QByteArray> seen;
            for (qsizetype i = 3; i < record.fields.size(); ++i) {
                const AdifField& f = record.fields[i];
                if (!f.data.isEmpty() && !seen.contains(f.name.toByteArray())) {
                    seen.insert(f.name.toByteArray());
                    expected << f.name.toByteArray() + "=" + f.data.toByteArray();
                }
            }
            for (const qint32 k : view.others)
                got << view.fields[k].name.toByteArray() + "=" + view.fields[k].data.toByteArray();
            QCOMPARE(got, expected);
        }
    }

    // A duplicate of a contact typed in the window brings its mode and
    // frequency, and never changes the line.
    // A record that comes as the fields file writes records goes there as
    // it came; any other is written anew. Either way the fields file gets
    // the same record, and an import gives it that record.
    void storedForm_data() {
        QTest::addColumn<QByteArray>("adif");     // one record, as a file has it
        QTest::addColumn<bool>("asItCame");       // already in the fields file's form
        QTest::addColumn<QByteArray>("expected"); // its record in the fields file
        const QByteArray head = "<QSO_DATE:8>20240301 <TIME_ON:4>1205 <CALL:4>W1AW ";
        const auto row = [&](const char* name, const QByteArray& fields, bool asItCame,
                             const QByteArray& expected) {
            QTest::newRow(name) << head + fields + "<EOR>\n"
                                << asItCame << head + expected + "<EOR>\r\n";
        };
        row("one space between fields", "<MODE:3>FT8 <GRIDSQUARE:4>FN42 ", true,
            "<MODE:3>FT8 <GRIDSQUARE:4>FN42 ");
        row("names in lower case", "<mode:3>FT8 <gridsquare:4>FN42 ", true,
            "<MODE:3>FT8 <GRIDSQUARE:4>FN42 ");
        row("names of 8 and 16 letters in lower case", "<rst_sent:3>599 <station_callsign:5>zz1aa ",
            true, "<RST_SENT:3>599 <STATION_CALLSIGN:5>zz1aa ");
        row("a length of two digits", "<COMMENT:12>hello world! ", true,
            "<COMMENT:12>hello world! ");
        row("a tag in a value", "<COMMENT:5>a <b> <MODE:2>CW ", true,
            "<COMMENT:5>a <b> <MODE:2>CW ");
        row("an empty last value", "<MODE:2>CW <NOTES:0> ", true, "<MODE:2>CW <NOTES:0> ");
        row("fields on lines of their own", "<MODE:2>CW\r\n<TX_PWR:1>5\r\n", false,
            "<MODE:2>CW <TX_PWR:1>5 ");
        row("two spaces", "<MODE:2>CW  <TX_PWR:1>5 ", false, "<MODE:2>CW <TX_PWR:1>5 ");
        row("no space", "<MODE:2>CW<TX_PWR:1>5 ", false, "<MODE:2>CW <TX_PWR:1>5 ");
        row("text between fields", "<MODE:2>CW x <TX_PWR:1>5 ", false, "<MODE:2>CW <TX_PWR:1>5 ");
        row("a typed tag", "<MODE:2:S>CW <TX_PWR:1:N>5 ", false, "<MODE:2>CW <TX_PWR:1>5 ");
        row("a length with a leading zero", "<MODE:02>CW ", false, "<MODE:2>CW ");
        row("an empty value of length 00", "<MODE:2>CW <NOTES:00> ", false,
            "<MODE:2>CW <NOTES:0> ");
        row("a stray tag between fields", "<MODE:2>CW <APP> <TX_PWR:1>5 ", false,
            "<MODE:2>CW <TX_PWR:1>5 ");
        row("a stray tag after the last field", "<MODE:2>CW <APP> ", true, "<MODE:2>CW ");
        row("no space before the end", "<MODE:2>CW", true, "<MODE:2>CW ");
        row("a tag that is no field between fields", "<MODE:2>CW <X:Y> <TX_PWR:1>5 ", false,
            "<MODE:2>CW <TX_PWR:1>5 ");
        row("a length counting characters", "<MODE:2>CW <NAME:4>J\xc3\xb6rg ", false,
            "<MODE:2>CW <NAME:5>J\xc3\xb6rg ");
        row("UTF-8", "<MODE:2>CW <NAME:5>J\xc3\xb6rg ", false, "<MODE:2>CW <NAME:5>J\xc3\xb6rg ");
        row("Windows-1252", "<MODE:2>CW <NAME:4>J\xf6rg ", false,
            "<MODE:2>CW <NAME:5>J\xc3\xb6rg ");
    }
    void storedForm() {
        QFETCH(QByteArray, adif);
        QFETCH(bool, asItCame);
        QFETCH(QByteArray, expected);
        AdifReader reader{QByteArrayView(adif)};
        AdifRecord record;
        QVERIFY(reader.next(record));
        QCOMPARE(!tavrelo::adif::storedForm(record).isEmpty(), asItCame);
        QCOMPARE(fieldsRecord(record), expected);

        QTemporaryDir dir;
        const QString file = dir.filePath("in.adi");
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(file, adif + QByteArray(adif).replace("W1AW", "ZZ9Z")); // two records
        const ImportSummary s = importAdif(file, log, [](const QString&) {});
        QVERIFY(s.error.ok());
        QCOMPARE(s.records, 2);
        QCOMPARE(readFile(logfile::fieldsPath(log)),
                 expected + QByteArray(expected).replace("W1AW", "ZZ9Z"));
    }

    // Thousands of records in several forms, some of them duplicates and
    // some with nothing but boxes, across many batches: the fields file
    // holds the record of each new contact that keeps more, in order.
    void importOfMixedForms() {
        QByteArray adif = "header\n<EOH>\n";
        QByteArray expected;
        qsizetype kept = 0;
        for (int i = 0; i < 5000; ++i) {
            // Every seventh record repeats the contact of five records before.
            const bool duplicate = i % 7 == 6;
            const QByteArray call = "K" + QByteArray::number(duplicate ? i - 5 : i);
            const QList<std::pair<QByteArray, QByteArray>> fields{
                {"CALL", call},
                {"QSO_DATE", "20240301"},
                {"TIME_ON", "1205"},
                {"BAND", "20m"},
                {"COMMENT", "number " + QByteArray::number(i) + QByteArray(i % 11, 'x')},
                {"TX_PWR", QByteArray::number(i % 100)}};
            // Half the records come in runs of the fields file's own form,
            // which go there as they lie in the file when they end in
            // " <EOR>" and CR LF; the others with names in lower case, typed
            // tags or line breaks between fields.
            const int form = i % 10 < 5 ? 0 : 1 + i % 3;
            // A contact in five has nothing beyond the boxes, and so has a
            // duplicate of it: it adds nothing to the fields file.
            const bool boxesOnly = (duplicate ? i - 5 : i) % 5 == 4;
            QByteArray record;
            for (const auto& [name, value] : fields) {
                if (boxesOnly && (name == "COMMENT" || name == "TX_PWR"))
                    continue;
                const QByteArray n = form == 1 ? name.toLower() : name;
                const QByteArray type = form == 2 ? ":S" : "";
                const QByteArray gap = form == 3 ? "\r\n" : " ";
                record +=
                    "<" + n + ":" + QByteArray::number(value.size()) + type + ">" + value + gap;
            }
            adif += record + (i / 10 % 2 ? "<EOR>\r\n" : "<eor>\n");
            if (boxesOnly || duplicate)
                continue; // no record to keep, or a duplicate of an earlier contact
            ++kept;
            for (const auto& [name, value] : fields)
                expected += adifField(name, value) + ' ';
            expected += "<EOR>\r\n";
        }
        QTemporaryDir dir;
        writeFile(dir.filePath("in.adi"), adif);
        const QString log = dir.filePath("Tavrelo.txt");
        const ImportSummary s = importAdif(dir.filePath("in.adi"), log, [](const QString&) {});
        QVERIFY(s.error.ok());
        QCOMPARE(s.added, 5000 - 714);
        QCOMPARE(s.duplicates, 714);
        QCOMPARE(s.records, kept);
        QCOMPARE(readFile(logfile::fieldsPath(log)), expected);
    }

    void duplicateAddsWhatTheContactLacks() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray line =
            "2024-Mar-01,  12:05:41,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n";
        writeFile(log, line);
        writeFile(dir.filePath("in.adi"),
                  "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20M<MODE:2>CW"
                  "<FREQ:6>14.025<NAME:4>Otto<EOR>");
        QStringList notes;
        const ImportSummary s =
            importAdif(dir.filePath("in.adi"), log, [&](const QString& n) { notes << n; });
        QCOMPARE(s.duplicates, 1);
        QCOMPARE(s.duplicatesAddingFields, 1);
        QCOMPARE(notes, QStringList{"record 1 (byte 0): duplicate of the contact 2024-Mar-01 "
                                    "12:05 20m ZZ9ZZ, not added again"});
        QCOMPARE(readFile(log), line);
        const QList<Record> back = readBack(exportOf(log, {}));
        QCOMPARE(back.size(), 1);
        QCOMPARE(back[0]["MODE"], QByteArray("CW"));
        QCOMPARE(back[0]["FREQ"], QByteArray("14.025"));
        QCOMPARE(back[0]["NAME"], QByteArray("Hans")); // the line wins
    }

    // What a duplicate adds, as the export then gives it: fields its contact
    // lacks, where a box of the log line counts as held when it holds more
    // than blanks; an adding record found wherever it stands in the file.
    void duplicateAdds_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QByteArray>("fields"); // before the import
        QTest::addColumn<QByteArray>("adif");   // imported
        QTest::addColumn<QList<Record>>("expected");
        QTest::addColumn<bool>("otherInFields"); // whether "Otto" is in the fields file after
        const QByteArray line = "2024-Mar-01,  12:05:41,  20m,  ZZ9ZZ,  Hans,  ,  ,  \r\n";
        const QByteArray dup = "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20M"
                               "<NAME:4>Otto<MODE:2>CW<EOR>";
        QTest::newRow("a Name on the line is held")
            << line << QByteArray() << dup << QList<Record>{{{"NAME", "Hans"}, {"MODE", "CW"}}}
            << false;
        QTest::newRow("an empty Name is not")
            << QByteArray(line).replace("Hans", "") << QByteArray() << dup
            << QList<Record>{{{"NAME", "Otto"}, {"MODE", "CW"}}} << true;
        QTest::newRow("a Name of blanks is not")
            << QByteArray(line).replace("Hans", "   ") << QByteArray() << dup
            << QList<Record>{{{"NAME", "Otto"}, {"MODE", "CW"}}} << true;
        QTest::newRow("an adding record after another contact's record")
            << line + "2024-Mar-01,  12:06,  20m,  ZZ1ZZ,  ,  ,  ,  \r\n"
            << QByteArray("<CALL:5>ZZ9ZZ <QSO_DATE:8>20240301 <TIME_ON:6>120541 <BAND:3>20m "
                          "<FREQ:6>14.025 <EOR>\r\n<CALL:5>ZZ1ZZ <QSO_DATE:8>20240301 "
                          "<TIME_ON:4>1206 <BAND:3>20m <MODE:3>SSB <EOR>\r\n")
            << dup
            << QList<Record>{{{"NAME", "Hans"}, {"MODE", "CW"}, {"FREQ", "14.025"}},
                             {{"CALL", "ZZ1ZZ"}, {"MODE", "SSB"}}}
            << false;
    }
    void duplicateAdds() {
        QFETCH(QByteArray, log);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, adif);
        QFETCH(QList<Record>, expected);
        QFETCH(bool, otherInFields);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        if (!fields.isEmpty())
            writeFile(logfile::fieldsPath(path), fields);
        writeFile(dir.filePath("in.adi"), adif);
        const ImportSummary s = importAdif(dir.filePath("in.adi"), path, [](const QString&) {});
        QCOMPARE(s.duplicates, 1);
        QCOMPARE(readFile(path), log);
        QCOMPARE(readFile(logfile::fieldsPath(path)).contains("Otto"), otherInFields);
        for (const bool inUtf8 : {false, true}) {
            ExportOptions options;
            options.utf8 = inUtf8;
            const QList<Record> back = readBack(exportOf(path, options));
            QCOMPARE(back.size(), expected.size());
            for (qsizetype i = 0; i < back.size(); ++i) {
                for (auto it = expected[i].cbegin(); it != expected[i].cend(); ++it)
                    QCOMPARE(back[i].value(it.key()), it.value());
            }
        }
    }

    // How a line and its record are joined by the export.
    void exportJoin_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("mode"); // --mode
        QTest::addColumn<QList<Record>>("expected");
        const QByteArray rec = "<CALL:5>ZZ9ZZ <QSO_DATE:8>20240301 <TIME_ON:6>120530 "
                               "<BAND:3>20m <FREQ:6>14.074 <MODE:3>FT8 <NAME:4>Hans <EOR>\r\n";
        const QByteArray line = "2024-Mar-01,  12:05:30,  20m,  ZZ9ZZ,  Hans,  ,  ,  \r\n";
        QTest::newRow("joined") << line << rec << QByteArray("CW")
                                << QList<Record>{
                                       {{"MODE", "FT8"}, {"FREQ", "14.074"}, {"NAME", "Hans"}}};
        QTest::newRow("a name corrected in an editor wins")
            << QByteArray(line).replace("Hans", "Hanns") << rec << QByteArray()
            << QList<Record>{{{"NAME", "Hanns"}, {"MODE", "FT8"}}};
        QTest::newRow("a band typed over the radio's: no FREQ of another band")
            << QByteArray(line).replace("20m", "40m")
            << QByteArray(rec).replace("<BAND:3>20m", "<BAND:3>40m") << QByteArray()
            << QList<Record>{{{"BAND", "40m"}, {"FREQ", ""}, {"MODE", "FT8"}}};
        QTest::newRow("--mode only where the record has none")
            << line + "2024-Mar-02,  08:00,  40,  ZZ8ZZ,  ,  JO62qm,  ,  \r\n"
            << rec << QByteArray("CW")
            << QList<Record>{{{"MODE", "FT8"}},
                             {{"MODE", "CW"}, {"BAND", "40m"}, {"GRIDSQUARE", "JO62qm"}}};
        QTest::newRow("a record whose line is missing is ignored")
            << QByteArray("2024-Mar-02,  08:00,  40m,  ZZ8ZZ,  ,  ,  ,  \r\n") << rec
            << QByteArray() << QList<Record>{{{"CALL", "ZZ8ZZ"}, {"MODE", ""}}};
        QTest::newRow("two lines of one key, each with its record")
            << line + line
            << rec + QByteArray(rec).replace("<MODE:3>FT8", "<MODE:2>CW").replace("Hans", "Otto")
            << QByteArray() << QList<Record>{{{"MODE", "FT8"}}, {{"MODE", "CW"}, {"NAME", "Hans"}}};
        QTest::newRow("lines and records of a key in other orders: the n-th with the n-th")
            << QByteArray("2024-Mar-01,  11:00,  20m,  ZZ1ZZ,  ,  ,  ,  \r\n") + line +
                   QByteArray(line).replace("Hans", "Otto")
            << QByteArray(rec).replace("<NAME:4>Hans", "<NAME:4>Hinz") +
                   "<CALL:5>ZZ1ZZ <QSO_DATE:8>20240301 <TIME_ON:4>1100 <BAND:3>20m <MODE:3>SSB "
                   "<EOR>\r\n" +
                   QByteArray(rec).replace("<MODE:3>FT8", "<MODE:2>CW").replace("Hans", "Kunz")
            << QByteArray()
            << QList<Record>{{{"MODE", "SSB"}},
                             {{"MODE", "FT8"}, {"NAME", "Hans"}},
                             {{"MODE", "CW"}, {"NAME", "Otto"}}};
        QTest::newRow("a grid in the QTH box is the record's GRIDSQUARE")
            << QByteArray("2024-Mar-01,  12:05:30,  20m,  ZZ9ZZ,  ,  FN42,  ,  \r\n")
            << QByteArray(rec).replace("<NAME:4>Hans", "<GRIDSQUARE:4>FN42") << QByteArray()
            << QList<Record>{{{"GRIDSQUARE", "FN42"}, {"QTH", ""}}};
    }
    void exportJoin() {
        QFETCH(QByteArray, log);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, mode);
        QFETCH(QList<Record>, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        writeFile(logfile::fieldsPath(path), fields);
        ExportOptions options;
        options.mode = {mode, {}};
        const QList<Record> back = readBack(exportOf(path, options));
        QCOMPARE(back.size(), expected.size());
        for (qsizetype i = 0; i < expected.size(); ++i) {
            for (auto it = expected[i].begin(); it != expected[i].end(); ++it)
                QCOMPARE(back[i].value(it.key()), it.value());
        }
    }

    // Lines and records of a few keys in random orders, some lines without
    // a record, some records without a line: the n-th line of a key gets
    // the key's n-th record in the file, whether lines and records keep in
    // step, part on the way, or never do.
    void joinFollowsTheNthRecord_data() {
        QTest::addColumn<int>("seed");
        QTest::addColumn<int>("inStep"); // how many lines keep the records' order at first
        for (int seed = 1; seed <= 6; ++seed) {
            QTest::addRow("in step, seed %d", seed) << seed << 1000;
            QTest::addRow("parting after 20, seed %d", seed) << seed << 20;
            QTest::addRow("never in step, seed %d", seed) << seed << 0;
        }
    }
    void joinFollowsTheNthRecord() {
        QFETCH(int, seed);
        QFETCH(int, inStep);
        QRandomGenerator rng{quint32(seed)};
        struct Contact {
            int key;
            int tag;
        };
        auto lineOf = [](int key) {
            return "2024-Mar-0" + QByteArray::number(1 + key % 3) + ",  12:0" +
                   QByteArray::number(key % 5) + ",  20m,  ZZ" + QByteArray::number(key) +
                   ",  ,  ,  ,  \r\n";
        };
        auto recordOf = [](int key, int tag) {
            const QByteArray call = "ZZ" + QByteArray::number(key);
            const QByteArray comment = "r" + QByteArray::number(tag);
            return "<CALL:" + QByteArray::number(call.size()) + ">" + call +
                   " <QSO_DATE:8>2024030" + QByteArray::number(1 + key % 3) + " <TIME_ON:4>120" +
                   QByteArray::number(key % 5) +
                   " <BAND:3>20m <COMMENT:" + QByteArray::number(comment.size()) + ">" + comment +
                   " <EOR>\r\n";
        };
        // The records in file order; the lines: the contacts of the records
        // (in their order for the first inStep, then shuffled), plus lines
        // without a record; some records lose their line.
        std::vector<Contact> records;
        for (int t = 0; t < 200; ++t)
            records.push_back({rng.bounded(12), t});
        std::vector<int> lineKeys;
        for (const Contact& c : records) {
            if (rng.bounded(10))
                lineKeys.push_back(c.key);
        }
        const size_t kept = std::min<size_t>(size_t(inStep), lineKeys.size());
        std::shuffle(lineKeys.begin() + qsizetype(kept), lineKeys.end(), std::mt19937(seed));
        for (int k = 0; k < 10; ++k)
            lineKeys.insert(lineKeys.begin() + rng.bounded(int(lineKeys.size())), 20 + k);
        QByteArray log, fields;
        for (int key : lineKeys)
            log += lineOf(key);
        for (const Contact& c : records)
            fields += recordOf(c.key, c.tag);
        // What each line must get: the n-th record of its key.
        std::map<int, std::vector<int>> tagsOfKey;
        for (const Contact& c : records)
            tagsOfKey[c.key].push_back(c.tag);
        QStringList expected;
        std::map<int, size_t> seen;
        for (int key : lineKeys) {
            const size_t n = seen[key]++;
            const std::vector<int>& tags = tagsOfKey[key];
            expected << (n < tags.size() ? "r" + QString::number(tags[n]) : QString());
        }
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        writeFile(logfile::fieldsPath(path), fields);
        const QList<Record> back = readBack(exportOf(path, {}));
        QCOMPARE(back.size(), qsizetype(lineKeys.size()));
        QStringList got;
        for (const Record& r : back)
            got << QString::fromLatin1(r.value("COMMENT"));
        QCOMPARE(got, expected);
    }

    // A line joined with its record gives one well-formed record in both
    // kinds of file, and no field of the record with a value is left out:
    // each goes out under its name (a FREQ on no band as APP_TAVRELO_FREQ),
    // but for Tavrelo's own and the _INTL ones an ASCII file cannot hold.
    // Random lines and records made of pieces that probe each rule.
    void joinLeavesNoFieldOut() {
        const QList<QByteArray> lines = {"2024-Mar-01,  12:05:30,  20m,  zz9zz,  ,  ,  ,  ",
                                         "2024-Mar-01,  12:05,  40,  ZZ9ZZ,  Hans,  FN42,  599,  ",
                                         "2024-Mar-01,  12:05,  7.074,  ZZ9ZZ,  ,  fn42ab,  ,  579",
                                         "2024-Mar-01,  12:05,  ,  ZZ9ZZ,  Hans,  Berlin,  ,  ",
                                         "2024-Mar-01,  12:05,  11m,  ZZ9ZZ,  ,  ,  ,  "};
        const QList<StoredField> pieces = {{"MODE", "FT8"},
                                           {"SUBMODE", "FT4"},
                                           {"FREQ", "14.074"},
                                           {"FREQ", "7.1"},
                                           {"GRIDSQUARE", "FN42"},
                                           {"QTH", "Boston"},
                                           {"NAME_INTL", "J\xc3\xb6rg"},
                                           {"NAME", "Jorg"},
                                           {"RST_SENT", "-10"},
                                           {"COMMENT", ""},
                                           {"COMMENT", " "},
                                           {"APP_TAVRELO_ADDS", "Y"},
                                           {"QTH_INTL", "K\xc3\xb6ln"},
                                           {"TX_PWR", "5"},
                                           {"NOTES", "a\tb"},
                                           {"SAT_NAME", "AO-91"}};
        QRandomGenerator rng(18);
        for (int i = 0; i < 20000; ++i) {
            const QByteArray line = lines[rng.bounded(int(lines.size()))];
            StoredFields record;
            const int n = rng.bounded(6);
            for (int k = 0; k < n; ++k)
                record.append(pieces[rng.bounded(int(pieces.size()))]);
            ExportOptions options;
            options.utf8 = rng.bounded(2);
            if (rng.bounded(2))
                options.mode = {"MFSK", "FT4"};
            RecordView view;
            digest(record, view);
            const bool joined = rng.bounded(4) > 0;
            const Conversion c = convertLine(line, options, joined ? &view : nullptr);
            if (c.record.isEmpty()) { // 11m is no ADIF band
                QVERIFY(!c.skipReason.isEmpty());
                continue;
            }
            const QString fault = tavrelo::testing::adifRecordFault(c.record, options.utf8);
            QVERIFY2(fault.isEmpty(), qPrintable(fault + ": " + QString::fromLatin1(c.record)));
            if (!joined)
                continue;
            const Record back = readBack(c.record).value(0);
            for (const StoredField& f : record) {
                if (f.value.trimmed().isEmpty() || f.name.startsWith("APP_TAVRELO_") ||
                    (!options.utf8 && f.name.endsWith("_INTL")))
                    continue;
                QVERIFY2(back.contains(f.name) ||
                             (f.name == "FREQ" && back.contains("APP_TAVRELO_FREQ")),
                         qPrintable(f.name + " left out of " + c.record));
            }
        }
    }

    // A contact from WSJT-X's Logged ADIF keeps its mode, submode,
    // frequency and grid.
    void wsjtxContactExportsWhole() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        const QByteArray adif =
            "\n<adif_ver:5>3.1.0\n<programid:6>WSJT-X\n<EOH>\n<call:5>ZZ9ZZ <gridsquare:4>JO62 "
            "<mode:4>MFSK <submode:3>FT4 <rst_sent:3>-10 <rst_rcvd:3>-12 <qso_date:8>20241105 "
            "<time_on:6>120530 <time_off:6>120645 <band:3>20m <freq:9>14.081816 "
            "<station_callsign:5>ZZ1AA <my_gridsquare:6>JO31ab <eor>";
        QStringList skipped;
        wsjtx::ContactLog log(path);
        for (const wsjtx::Contact& c : wsjtx::contactsOfAdif(adif, skipped))
            log.add(c);
        const wsjtx::ContactLog::Outcome o = log.save();
        QVERIFY2(o.error.ok(), qPrintable(o.error.message()));
        const QList<Record> back = readBack(exportOf(path, {}));
        QCOMPARE(back.size(), 1);
        QCOMPARE(back[0]["MODE"], QByteArray("MFSK"));
        QCOMPARE(back[0]["SUBMODE"], QByteArray("FT4"));
        QCOMPARE(back[0]["FREQ"], QByteArray("14.081816"));
        QCOMPARE(back[0]["GRIDSQUARE"], QByteArray("JO62"));
        QCOMPARE(back[0]["MY_GRIDSQUARE"], QByteArray("JO31ab"));
        QVERIFY(!back[0].contains("QTH"));
    }

    // tavrelo-adif --import killed at each write and sync of its append,
    // whole or torn: once the next program has opened the log, both files
    // hold all of the import or none of it. Bytes another program appended
    // after a torn append are never cut.
    void importKilledAtEveryStep_data() {
        QTest::addColumn<bool>("torn");
        QTest::addColumn<bool>("foreignAfter");
        QTest::addColumn<bool>("newFields"); // no fields file yet: it is made whole and linked in
        QTest::newRow("killed") << false << false << false;
        QTest::newRow("torn writes") << true << false << false;
        QTest::newRow("torn, then another program's line") << true << true << false;
        QTest::newRow("killed, a new fields file") << false << false << true;
        QTest::newRow("torn writes, a new fields file") << true << false << true;
    }
    void importKilledAtEveryStep() {
        QFETCH(bool, torn);
        QFETCH(bool, foreignAfter);
        QFETCH(bool, newFields);
        QByteArray adif;
        for (int i = 0; i < 30000; ++i)
            adif += QStringLiteral("<CALL:7>ZZ%1<QSO_DATE:8>20240301<TIME_ON:4>1205<MODE:3>FT8"
                                   "<COMMENT:19>a comment to pad it<EOR>\n")
                        .arg(i, 5, 10, QLatin1Char('0'))
                        .toLatin1();
        const QByteArray oldLog = "2020-Jan-01,  00:00,  20m,  OLD,  ,  ,  ,  \r\n";
        const QByteArray oldFields = newFields ? QByteArray()
                                               : QByteArray("<CALL:3>OLD <QSO_DATE:8>20200101 "
                                                            "<TIME_ON:4>0000 <BAND:3>20m "
                                                            "<MODE:2>CW <EOR>\r\n");
        const int fieldLines = newFields ? 30000 : 30001;
        QByteArray wholeLog, wholeFields;
        bool finished = false;
        for (int n = 1; !finished && n < 200; ++n) {
            QTemporaryDir dir;
            const QString log = dir.filePath("Tavrelo.txt");
            const QString fields = logfile::fieldsPath(log);
            writeFile(log, oldLog);
            if (!newFields)
                writeFile(fields, oldFields);
            writeFile(dir.filePath("in.adi"), adif);
            QProcess p;
            p.setProcessEnvironment(killedAt(n, torn, dir.filePath("count")));
            p.start(QStringLiteral(TAVRELO_ADIF), {"--import", dir.filePath("in.adi"), log});
            QVERIFY(p.waitForFinished(60000));
            finished = p.exitStatus() == QProcess::NormalExit;
            if (finished) {
                QCOMPARE(p.exitCode(), 0);
                wholeLog = readFile(log);
                wholeFields = readFile(fields);
                break;
            }
            const QByteArray foreign =
                "2025-May-05,  05:05,  20m,  FOREIGN,  Written by another program,  ,  ,  \r\n";
            if (foreignAfter) {
                QFile f(log);
                QVERIFY(f.open(QIODevice::Append));
                f.write(foreign);
            }
            const QByteArray logBefore = readFile(log);
            // The next program to open the log puts it right.
            QProcess next;
            next.start(QStringLiteral(TAVRELO_ADIF), {log, "-o", dir.filePath("out.adi")});
            QVERIFY(next.waitForFinished(60000));
            const QByteArray logAfter = readFile(log);
            const QByteArray fieldsAfter = readFile(fields);
            QVERIFY2(!QFile::exists(logfile::journalPath(log)) || foreignAfter,
                     qPrintable(QString::number(n)));
            if (foreignAfter && logBefore.size() > oldLog.size() + foreign.size()) {
                // Bytes of another program behind a torn append: left as they are.
                QCOMPARE(logAfter, logBefore);
                continue;
            }
            if (logAfter == oldLog || logAfter == oldLog + foreign) {
                QVERIFY2(fieldsAfter == oldFields, qPrintable(QString::number(n)));
            } else {
                QVERIFY2(
                    logAfter.startsWith(oldLog) && logAfter.count('\n') == 30001,
                    qPrintable(
                        QStringLiteral("killed at %1: %2 lines").arg(n).arg(logAfter.count('\n'))));
                QVERIFY(fieldsAfter.startsWith(oldFields) && fieldsAfter.count('\n') == fieldLines);
            }
        }
        QVERIFY(finished);
        QCOMPARE(wholeLog.count('\n'), 30001);
        QCOMPARE(wholeFields.count('\n'), fieldLines);
    }

    // Two imports of the same file at the same moment: each contact once.
    void twoImportsAtOnce() {
        QTemporaryDir dir;
        QByteArray adif;
        for (int i = 0; i < 3000; ++i)
            adif +=
                QStringLiteral("<CALL:6>ZZ%1<QSO_DATE:8>20240301<TIME_ON:4>1205<MODE:2>CW<EOR>\n")
                    .arg(i, 4, 10, QLatin1Char('0'))
                    .toLatin1();
        writeFile(dir.filePath("in.adi"), adif);
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "2020-Jan-01,  00:00,  20m,  OLD,  ,  ,  ,  \r\n");
        QProcess a, b;
        a.start(QStringLiteral(TAVRELO_ADIF), {"--import", dir.filePath("in.adi"), log});
        b.start(QStringLiteral(TAVRELO_ADIF), {"--import", dir.filePath("in.adi"), log});
        QVERIFY(a.waitForFinished(60000) && b.waitForFinished(60000));
        QCOMPARE(a.exitCode(), 0);
        QCOMPARE(b.exitCode(), 0);
        const QByteArray lines = readFile(log);
        QCOMPARE(lines.count('\n'), 3001);
        QCOMPARE(readFile(logfile::fieldsPath(log)).count("<EOR>"), 3000);
        const QByteArray out = a.readAllStandardOutput() + b.readAllStandardOutput();
        QVERIFY2(out.contains("3000 contacts added, 0 duplicates") &&
                     out.contains("0 contacts added, 3000 duplicates"),
                 out.constData());
    }

    // tavrelo-wsjtx killed at each write and sync of a contact's save: the
    // log and the fields file agree once the next program has opened them.
    void wsjtxKilledAtEveryStep() {
        const QByteArray adif = "<call:5>ZZ9ZZ <gridsquare:4>JO62 <mode:3>FT8 <qso_date:8>20241105 "
                                "<time_on:6>120530 <band:3>20m <freq:9>14.075816 <eor>";
        QByteArray datagram;
        { datagram = wsjtx::encodeLoggedAdif("WSJT-X", adif); }
        bool finished = false;
        for (int n = 1; !finished && n < 40; ++n) {
            QTemporaryDir dir;
            const QString log = dir.filePath("Tavrelo.txt");
            QUdpSocket probe;
            probe.bind(QHostAddress::LocalHost, 0);
            const quint16 port = probe.localPort();
            probe.close();
            QProcess p;
            p.setProcessEnvironment(killedAt(n, false, dir.filePath("count")));
            p.start(QStringLiteral(TAVRELO_WSJTX),
                    {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), log});
            QVERIFY(p.waitForStarted());
            QByteArray err;
            for (int i = 0; i < 500 && !err.contains("listening"); ++i) {
                p.waitForReadyRead(20);
                err += p.readAllStandardError();
            }
            QUdpSocket socket;
            socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
            QByteArray out;
            for (int i = 0; i < 500 && p.state() == QProcess::Running && !out.contains("logged:");
                 ++i) {
                p.waitForReadyRead(20);
                out += p.readAllStandardOutput();
            }
            finished = out.contains("logged:");
            p.kill();
            p.waitForFinished();
            QProcess next;
            next.start(QStringLiteral(TAVRELO_ADIF), {log, "--utf8"});
            QVERIFY(next.waitForFinished(60000));
            const QList<Record> back = readBack(next.readAllStandardOutput());
            const QByteArray lines = readFile(log);
            const QByteArray fields = readFile(logfile::fieldsPath(log));
            QVERIFY(!QFile::exists(logfile::journalPath(log)));
            if (lines.isEmpty()) {
                QVERIFY2(fields.isEmpty(), qPrintable(QString::number(n)));
                QVERIFY(back.isEmpty());
            } else {
                QCOMPARE(lines.count('\n'), 1);
                QCOMPARE(back.size(), 1);
                QCOMPARE(back[0]["MODE"], QByteArray("FT8"));
                QCOMPARE(back[0]["GRIDSQUARE"], QByteArray("JO62"));
            }
        }
        QVERIFY(finished);
    }

    // Records for a fields file that does not exist yet become that file:
    // every byte in order, whether they stayed in memory, went to the disk
    // on the writing thread, or were made in place where they wait.
    void newFieldsFile_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("inPlace");
        QTest::newRow("few, in memory") << qsizetype(1000) << false;
        QTest::newRow("spilled, ending on a block") << qsizetype(16 << 20) << false;
        QTest::newRow("spilled, with a tail") << qsizetype((20 << 20) + 123) << false;
        QTest::newRow("made in place, spilled, with a tail") << qsizetype((20 << 20) + 123) << true;
    }
    void newFieldsFile() {
        QFETCH(qsizetype, size);
        QFETCH(bool, inPlace);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = char('0' + (i * 7 + i / 4096) % 75);
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            QVERIFY(t.appendLog("new\r\n").ok());
            QRandomGenerator rng(11);
            for (qsizetype at = 0; at < size;) {
                const qsizetype n = std::min<qsizetype>(size - at, rng.bounded(1, 300000));
                const QByteArrayView piece = QByteArrayView(bytes).sliced(at, n);
                if (inPlace) {
                    logfile::PendingBytes& fields = t.pendingFields();
                    const qsizetype before = fields.tail().size();
                    fields.tail().append(piece);
                    QVERIFY(fields.settle(before).ok());
                } else {
                    QVERIFY(t.appendFields(piece).ok());
                }
                at += n;
            }
            const OsError e = t.commit();
            QVERIFY2(e.ok(), qPrintable(e.message()));
        }
        QVERIFY(readFile(logfile::fieldsPath(log)) == bytes);
        QCOMPARE(readFile(log), QByteArray("old\r\nnew\r\n"));
        QVERIFY(!QFile::exists(logfile::journalPath(log)));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(logfile::fieldsPath(log)).constData(), &st), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(st.st_mode & 0777, 0644 & ~mask);
    }

    // A large append to files that exist, by way of the files it waits in,
    // lands whole and in order whatever the files' sizes before; a second
    // commit in the same transaction appends only what came after the
    // first.
    void largeAppend_data() {
        QTest::addColumn<qsizetype>("before");
        QTest::addColumn<qsizetype>("size");
        const qsizetype mib = 1 << 20;
        QTest::newRow("empty files") << qsizetype(0) << 5 * mib;
        QTest::newRow("one byte before") << qsizetype(1) << 5 * mib + 7;
        QTest::newRow("a block less one before") << qsizetype(4095) << 6 * mib;
        QTest::newRow("pieces and a tail") << qsizetype(5000) << 17 * mib + 123;
    }
    void largeAppend() {
        QFETCH(qsizetype, before);
        QFETCH(qsizetype, size);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QString fields = logfile::fieldsPath(log);
        const auto made = [](qsizetype n, int seed) {
            QByteArray b(n, Qt::Uninitialized);
            for (qsizetype i = 0; i < n; ++i)
                b[i] = char('0' + (i * seed + i / 4096) % 75);
            b.replace(n - 2, 2, "\r\n");
            return b;
        };
        const QByteArray oldLog = made(before + 2, 3).right(before);
        const QByteArray oldFields = made(before + 2, 5).right(before);
        const QByteArray newLog = made(size, 7), newFields = made(size, 11);
        writeFile(log, oldLog);
        writeFile(fields, oldFields);
        OsError e;
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            for (const auto& [bytes, toLog] : {std::pair{&newLog, true}, {&newFields, false}}) {
                for (qsizetype at = 0; at < size; at += 300000) {
                    const QByteArrayView piece =
                        QByteArrayView(*bytes).sliced(at, std::min<qsizetype>(300000, size - at));
                    QVERIFY(toLog ? t.appendLog(piece).ok() : t.appendFields(piece).ok());
                }
            }
            e = t.commit();
            QVERIFY2(e.ok(), qPrintable(e.message()));
            QVERIFY(t.appendLog("after\r\n").ok());
            e = t.commit();
        }
        QVERIFY2(e.ok(), qPrintable(e.message()));
        QVERIFY(readFile(log) == oldLog + newLog + "after\r\n");
        QVERIFY(readFile(fields) == oldFields + newFields);
        QVERIFY(!QFile::exists(logfile::journalPath(log)));
    }

    // A large append whose write to the disk fails halfway is taken out
    // again: both files are as they were.
    void largeAppendFails() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        writeFile(logfile::fieldsPath(log), "<CALL:3>OLD <EOR>\r\n");
        // The fields file's third write fails.
        int writes = 0;
        logfile::systemCalls().write = [&](int fd, const void* data, unsigned long n) {
            if (n > 0 && *static_cast<const char*>(data) == 'f' && ++writes == 3) {
                errno = ENOSPC;
                return -1L;
            }
            return long(::write(fd, data, n));
        };
        OsError e;
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            QVERIFY(t.appendFields(QByteArray(20 << 20, 'f')).ok());
            QVERIFY(t.appendLog(QByteArray(20 << 20, 'l')).ok());
            e = t.commit();
        }
        logfile::systemCalls() = {};
        QCOMPARE(e.error, ENOSPC);
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
        QCOMPARE(readFile(logfile::fieldsPath(log)), QByteArray("<CALL:3>OLD <EOR>\r\n"));
        QVERIFY(!QFile::exists(logfile::journalPath(log)));
    }

    // A new fields file whose last write or sync fails is never made, and
    // the log is as it was.
    void newFieldsFileFails_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("sync"); // the sync fails, else the write
        QTest::newRow("few, the write") << qsizetype(1000) << false;
        QTest::newRow("few, the sync") << qsizetype(1000) << true;
        QTest::newRow("spilled, the write of the tail") << qsizetype((9 << 20) + 5) << false;
        QTest::newRow("spilled, the sync") << qsizetype((9 << 20) + 5) << true;
    }
    void newFieldsFileFails() {
        QFETCH(qsizetype, size);
        QFETCH(bool, sync);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "old\r\n");
        // The file the fields wait in has no name: its link says "(deleted)".
        const auto unnamed = [](int fd) {
            return QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd))
                .symLinkTarget()
                .endsWith(QLatin1String("(deleted)"));
        };
        OsError e;
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            QVERIFY(t.appendLog("new\r\n").ok());
            QVERIFY(t.appendFields(QByteArray(size, 'f')).ok());
            if (sync) {
                logfile::systemCalls().fdatasync = [&](int fd) {
                    if (unnamed(fd)) {
                        errno = EIO;
                        return -1;
                    }
                    return ::fdatasync(fd);
                };
            } else {
                logfile::systemCalls().write = [&](int fd, const void* data, unsigned long n) {
                    if (unnamed(fd)) {
                        errno = ENOSPC;
                        return -1L;
                    }
                    return long(::write(fd, data, n));
                };
            }
            e = t.commit();
            logfile::systemCalls() = {};
        }
        QCOMPARE(e.error, sync ? EIO : ENOSPC);
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
        QVERIFY(!QFile::exists(logfile::fieldsPath(log)));
        QVERIFY(!QFile::exists(logfile::journalPath(log)));
    }

    // An append of records alone, torn: the torn records are taken out.
    void recoveryOfRecordsAlone() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray records = QByteArray("<CALL:4>ZZ1A <MODE:2>CW <EOR>\r\n").repeated(300);
        writeFile(log, "old\r\n");
        writeFile(logfile::fieldsPath(log), "<CALL:3>OLD <EOR>\r\n");
        QByteArray journal;
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            QVERIFY(t.appendFields(records).ok());
            logfile::systemCalls().fdatasync = [](int) {
                errno = EIO;
                return -1;
            };
            logfile::systemCalls().write = [&](int fd, const void* data, unsigned long size) {
                const long n = long(::write(fd, data, size));
                if (journal.isEmpty() && size > 17 &&
                    QByteArrayView(static_cast<const char*>(data), 17) == "Tavrelo journal 3")
                    journal = QByteArray(static_cast<const char*>(data), qsizetype(size));
                return n;
            };
            QVERIFY(!t.commit().ok());
            logfile::systemCalls() = {};
        }
        QVERIFY(!journal.isEmpty());
        writeFile(logfile::journalPath(log), journal);
        {
            QFile f(logfile::fieldsPath(log));
            QVERIFY(f.open(QIODevice::Append));
            f.write(records.left(5000)); // torn
        }
        QString note;
        QVERIFY(logfile::recoverUnfinishedAppend(log, note).ok());
        QCOMPARE(readFile(logfile::fieldsPath(log)), QByteArray("<CALL:3>OLD <EOR>\r\n"));
        QCOMPARE(readFile(log), QByteArray("old\r\n"));
        QVERIFY(!note.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFields)
#include "tst_fields.moc"
