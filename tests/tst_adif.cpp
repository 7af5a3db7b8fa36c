// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adif.h"
#include "AdifCheck.h"
#include "TestFiles.h"

#include <QProcess>
#include <QRandomGenerator>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrelo::adif;
using tavrelo::testing::readFile;
using tavrelo::testing::writeFile;

namespace {

// A small ADI reader: the records after <EOH>, each a map of field to data,
// taking every field's data by its length, as ADIF readers do.
QList<QMap<QByteArray, QByteArray>> readAdi(const QByteArray& adi) {
    QList<QMap<QByteArray, QByteArray>> records;
    QMap<QByteArray, QByteArray> current;
    qsizetype p = adi.indexOf("<EOH>");
    if (p < 0)
        return records;
    p += 5;
    while ((p = adi.indexOf('<', p)) >= 0) {
        const qsizetype close = adi.indexOf('>', p);
        const QByteArray tag = adi.mid(p + 1, close - p - 1);
        p = close + 1;
        if (tag.toUpper() == "EOR") {
            records << current;
            current.clear();
            continue;
        }
        const QList<QByteArray> parts = tag.split(':');
        const qsizetype length = parts.value(1).toLongLong();
        current[parts[0].toUpper()] = adi.mid(p, length);
        p += length;
    }
    return records;
}

} // namespace

class TestAdif : public QObject {
    Q_OBJECT

private slots:
    // A field's name is found in any case, and only whole: a longer or
    // shorter name, or one with a NUL in it, is another field.
    void fieldNames_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("field"); // -1: one with a role only; -2: none of the list
        QTest::addColumn<int>("roles");
        QTest::newRow("CALL") << QByteArray("CALL") << int(Call) << int(Box | Identity);
        QTest::newRow("in lower case")
            << QByteArray("qso_date") << int(QsoDate) << int(Box | Identity);
        QTest::newRow("in mixed case")
            << QByteArray("Sat_Name") << int(SatName) << int(Identity | Tells);
        QTest::newRow("a multiline one") << QByteArray("rig_intl") << -1 << int(Multiline);
        QTest::newRow("of the header") << QByteArray("PROGRAMID") << -1 << int(Header);
        QTest::newRow("USERDEF3") << QByteArray("USERDEF3") << -2 << int(Header);
        QTest::newRow("longer") << QByteArray("CALLSIGN") << -2 << 0;
        QTest::newRow("shorter") << QByteArray("CAL") << -2 << 0;
        QTest::newRow("a NUL after it") << QByteArray("CALL\0", 5) << -2 << 0;
        QTest::newRow("QSO_DATE_OFF") << QByteArray("QSO_DATE_OFF") << -2 << 0;
        QTest::newRow("empty") << QByteArray() << -2 << 0;
    }
    void fieldNames() {
        QFETCH(QByteArray, name);
        QFETCH(int, field);
        QFETCH(int, roles);
        const FieldName* f = fieldNamed(name);
        QCOMPARE(f ? f->field : -2, field);
        for (const Role role : {Box, Identity, Tells, Header, Multiline})
            QCOMPARE(hasRole(name, role), (roles & role) != 0);
    }

    void dates_data() {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QByteArray>("adif");
        QTest::newRow("record form") << "2006-Nov-18" << QByteArray("20061118");
        QTest::newRow("leap day") << "2024-Feb-29" << QByteArray("20240229");
        QTest::newRow("no such day") << "2023-Feb-29" << QByteArray();
        QTest::newRow("unknown month") << "2006-Foo-18" << QByteArray();
        QTest::newRow("before 1930") << "1929-Dec-31" << QByteArray();
        QTest::newRow("first ADIF day") << "1930-Jan-01" << QByteArray("19300101");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("other digits") << "٢٠٠٦-Nov-18" << QByteArray();
        // Every month, in any case; and names a letter away from one.
        const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        for (int m = 1; m <= 12; ++m) {
            const QString name = QString::fromLatin1(names[m - 1]);
            const QByteArray adif = QByteArray::number(2006 * 10000 + m * 100 + 15);
            for (const QString& form : {name, name.toUpper(), name.toLower(),
                                        name.left(1).toLower() + name.mid(1).toUpper()})
                QTest::newRow(qPrintable(form)) << "2006-" + form + "-15" << adif;
        }
        QTest::newRow("a month's last letter off") << "2006-Jum-15" << QByteArray();
        QTest::newRow("a month's first letter off") << "2006-Kan-15" << QByteArray();
        QTest::newRow("a month's letters turned") << "2006-naJ-15" << QByteArray();
        QTest::newRow("a month's letters, not letters") << "2006-J@N-15" << QByteArray();
    }
    void dates() {
        QFETCH(QString, log);
        QFETCH(QByteArray, adif);
        QCOMPARE(qsoDate(log).value_or(QByteArray()), adif);
    }

    void times_data() {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QByteArray>("adif");
        QTest::newRow("seconds") << "14:05:33" << QByteArray("140533");
        QTest::newRow("stamp without seconds") << "09:05" << QByteArray("0905");
        QTest::newRow("hour 24") << "24:00:00" << QByteArray();
        QTest::newRow("one digit") << "9:05" << QByteArray();
        QTest::newRow("empty") << "" << QByteArray();
    }
    void times() {
        QFETCH(QString, log);
        QFETCH(QByteArray, adif);
        QCOMPARE(timeOn(log).value_or(QByteArray()), adif);
    }

    void bands_data() {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QByteArray>("adif");
        QTest::newRow("40M") << "40M" << QByteArray("40m");
        QTest::newRow("70CM") << "70CM" << QByteArray("70cm");
        QTest::newRow("1.25m") << "1.25M" << QByteArray("1.25m");
        QTest::newRow("spaces") << " 20m " << QByteArray("20m");
        QTest::newRow("11m is no ADIF band") << "11m" << QByteArray();
        QTest::newRow("frequency") << "14.074" << QByteArray();
        // Each name is told by all of its letters and its length.
        QTest::newRow("the longest, 1.25cm") << "1.25CM" << QByteArray("1.25cm");
        QTest::newRow("submm") << "SubMM" << QByteArray("submm");
        QTest::newRow("a name's start") << "1.25c" << QByteArray();
        QTest::newRow("more than a name") << "20mm" << QByteArray();
        QTest::newRow("seven letters") << "2190m2m" << QByteArray();
        QTest::newRow("eight letters") << "12345678" << QByteArray();
        QTest::newRow("a name with a NUL after it")
            << QString::fromLatin1("20m\0", 4) << QByteArray();
        QTest::newRow("a letter beyond ASCII") << QString::fromUtf8("20\u00b5") << QByteArray();
    }
    void bands() {
        QFETCH(QString, log);
        QFETCH(QByteArray, adif);
        QCOMPARE(band(log).value_or(QByteArray()), adif);
    }

    void skipReasons_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("reason");
        QTest::newRow("field holds the separator")
            << "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Smith,  John,  Berlin,  599,  579"
            << "8 field separators";
        QTest::newRow("too few fields") << "2006-Nov-18,  14:05:33"
                                        << "1 field separators";
        QTest::newRow("empty line") << ""
                                    << "0 field separators";
        QTest::newRow("date") << "2006-Nov-31,  14:05:33,  40m,  X,  ,  ,  ,  "
                              << "date \"2006-Nov-31\"";
        QTest::newRow("no date before the first tick") << ",  ,  40m,  X,  ,  ,  ,  "
                                                       << "date \"\"";
        QTest::newRow("time") << "2006-Nov-18,  14:65,  40m,  X,  ,  ,  ,  "
                              << "time \"14:65\"";
        QTest::newRow("band") << "2006-Nov-18,  14:05,  11m,  X,  ,  ,  ,  "
                              << "band \"11m\"";
    }
    void skipReasons() {
        QFETCH(QString, line);
        QFETCH(QString, reason);
        const Conversion c = convertLine(line, "SSB");
        QVERIFY(c.record.isEmpty());
        QVERIFY2(c.skipReason.contains(reason), qPrintable(c.skipReason));
    }

    // Lengths count the characters actually written, after transliteration.
    void transliteration_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("dropped");
        QTest::newRow("accents") << "René Müller" << QByteArray("<NAME:11>Rene Muller") << "";
        QTest::newRow("sharp s") << "Weiß" << QByteArray("<NAME:5>Weiss") << "";
        QTest::newRow("Nordic") << "Ørsted Æbelø" << QByteArray("<NAME:13>Orsted AEbelo") << "";
        QTest::newRow("no ASCII form") << "Ivan Иван" << QByteArray("<NAME:5>Ivan ") << "Иван";
        QTest::newRow("tab") << "Jo\thn" << QByteArray("<NAME:4>John") << "\t";
    }
    void transliteration() {
        QFETCH(QString, name);
        QFETCH(QByteArray, field);
        QFETCH(QString, dropped);
        const Conversion c =
            convertLine("2006-Nov-18,  14:05:33,  40m,  X,  " + name + ",  ,  ,  ", QByteArray());
        QVERIFY(c.record.contains(field));
        QCOMPARE(c.warnings.size(), dropped.isEmpty() ? 0 : 1);
        if (!dropped.isEmpty())
            QVERIFY(c.warnings[0].contains(dropped));
    }

    void headerFields() {
        const QByteArray h =
            header(QDateTime(QDate(2026, 12, 7), QTime(6, 5, 4), QTimeZone::utc()), "1.0.0");
        QVERIFY(!h.startsWith('<'));
        QVERIFY(h.contains("<ADIF_VER:5>3.1.4"));
        QVERIFY(h.contains("<PROGRAMID:7>Tavrelo"));
        QVERIFY(h.contains("<PROGRAMVERSION:5>1.0.0"));
        QVERIFY(h.contains("<CREATED_TIMESTAMP:15>20261207 060504"));
        QVERIFY(h.endsWith("<EOH>\n"));
    }

    // Whatever the fields hold, a reader gets back exactly what was written.
    void roundTrip() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("2006-Nov-18,  14:05:33,  40M,  zz9zz,  Hans <EOR>,  K\xf6ln,  599,  579\r\n"
                "not a contact\n"
                "2026-Dec-07,  09:20,  ,  dl1abc,  ,  ,  ,  ");
        f.close();
        QByteArray adi;
        QStringList notes;
        const ExportSummary s = exportLog(
            log, "CW", QDateTime::currentDateTimeUtc(), "1.0.0",
            [&](const QByteArray& b) {
                adi += b;
                return 0;
            },
            [&](const QString& n) { notes << n; });
        QCOMPARE(s.written, 2);
        QCOMPARE(s.skipped, 1);
        QCOMPARE(notes, QStringList{"line 2: skipped: 0 field separators \",  \" instead of 7"});
        const auto records = readAdi(adi);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0]["QSO_DATE"], QByteArray("20061118"));
        QCOMPARE(records[0]["TIME_ON"], QByteArray("140533"));
        QCOMPARE(records[0]["BAND"], QByteArray("40m"));
        QCOMPARE(records[0]["CALL"], QByteArray("ZZ9ZZ"));
        QCOMPARE(records[0]["NAME"], QByteArray("Hans <EOR>"));
        QCOMPARE(records[0]["QTH"], QByteArray("Koln"));
        QCOMPARE(records[0]["RST_SENT"], QByteArray("599"));
        QCOMPARE(records[0]["RST_RCVD"], QByteArray("579"));
        QCOMPARE(records[0]["MODE"], QByteArray("CW"));
        QCOMPARE(records[1].keys(), (QList<QByteArray>{"CALL", "MODE", "QSO_DATE", "TIME_ON"}));
        QCOMPARE(records[1]["TIME_ON"], QByteArray("0920"));
    }

    // Every line either gives one well-formed record, appended to what the
    // output held, or a reason and the output untouched. Random lines from
    // pieces that probe each rule: dates, times, bands, separators, case,
    // bytes beyond ASCII, in Windows-1252 and UTF-8.
    void everyLineWholeOrSkipped() {
        const QList<QByteArray> dates = {
            "2006-Nov-18", "1930-Jan-01",  "1929-Dec-31", "2024-feb-29", "2023-Feb-29",
            "06-NOV-18",   "12345-Nov-18", "2006-Nov-1",  "2006-Xyz-18", ""};
        const QList<QByteArray> times = {"14:05:33", "09:20", "24:00", "23:59:60",
                                         "9:20",     "",      "12:3a"};
        const QList<QByteArray> bands = {"40m", "40M",  " 20m ", "11m",   "",
                                         " ",   "70cm", "1.25m", "submm", "verylongband"};
        const QList<QByteArray> texts = {"zz9zz", "DL1ABC",  "Hans <EOR>",    "",          "a,b",
                                         ", ",    "K\xf6ln", "M\xc3\xbcller", "tab\there", "x\x7f"};
        QRandomGenerator rng(2026);
        // Half the time the first, plain piece, so that many lines convert.
        auto pick = [&](const QList<QByteArray>& from) {
            return from[rng.bounded(2) ? 0 : rng.bounded(int(from.size()))];
        };
        int converted = 0;
        for (int i = 0; i < 20000; ++i) {
            QList<QByteArray> f = {pick(dates), pick(times), pick(bands), pick(texts),
                                   pick(texts), pick(texts), pick(texts), pick(texts)};
            if (rng.bounded(20) == 0)
                f.removeLast(); // a separator too few
            const QByteArray line = f.join(",  ");
            ExportOptions options{{"FT8", {}}, rng.bounded(2) == 1};
            QByteArray out = "before\n";
            Conversion said;
            const bool ok = appendRecord(line, options, nullptr, out, said);
            QVERIFY2(out.startsWith("before\n"), line.constData());
            if (!ok) {
                QCOMPARE(out, QByteArray("before\n"));
                QVERIFY2(!said.skipReason.isEmpty(), line.constData());
                continue;
            }
            ++converted;
            const QByteArray record = out.mid(7);
            const QString fault = tavrelo::testing::adifRecordFault(record, options.utf8);
            QVERIFY2(fault.isEmpty(), qPrintable(fault + ": " + QString::fromLatin1(line)));
            QVERIFY2(record.startsWith("<QSO_DATE:8>"), record.constData());
            QCOMPARE(convertLine(line, options).record, record);
            // Only text beyond ASCII is changed in an ASCII file, and says so.
            const bool beyond = line.contains('\xf6') || line.contains('\xc3') ||
                                line.contains('\t') || line.contains('\x7f');
            QVERIFY2(said.warnings.isEmpty() || (!options.utf8 && beyond), line.constData());
        }
        QVERIFY(converted > 2000);
    }

    void command_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stderrHas");
        const QByteArray good = "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  ,  ,  ,  \r\n";
        QTest::newRow("all converted")
            << good << QStringList{"--mode", "ssb"} << 0 << "1 contacts written, 0 lines skipped";
        QTest::newRow("no mode") << good << QStringList() << 0 << "1 contacts have no mode";
        QTest::newRow("a line skipped") << good + "x\r\n"
                                        << QStringList{"--mode", "CW"} << 1 << "line 2: skipped";
        QTest::newRow("unknown mode")
            << good << QStringList{"--mode", "LSB2"} << 2 << "neither an ADIF mode nor a submode";
        QTest::newRow("a submode")
            << good << QStringList{"--mode", "ft4"} << 0 << "1 contacts written, 0 lines skipped";
        QTest::newRow("lone CR line ends")
            << QByteArray(good).replace("\r\n", "\r").repeated(3) << QStringList{"--mode", "CW"}
            << 0 << "3 contacts written, 0 lines skipped";
        QTest::newRow("missing log") << QByteArray() << QStringList{"--mode", "CW"} << 2
                                     << "\nError 2: No such file or directory.";
        QTest::newRow("output not writable")
            << good << QStringList{"-o", "/nonexistent-dir/x.adi"} << 2
            << "Could not create the ADIF file /nonexistent-dir/x.adi.\nNo such file or directory";
    }
    void command() {
        QFETCH(QByteArray, log);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        if (!log.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(log);
        }
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF), QStringList{path} + args);
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), exitCode);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        if (exitCode < 2 && !args.contains("-o"))
            QVERIFY(p.readAllStandardOutput().contains("<CALL:5>ZZ9ZZ"));
    }

    // An output that is the log, by whatever name, is refused and the log
    // stays as it was.
    void outputThatIsTheLogIsRefused_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("same path") << "same";
        QTest::newRow("relative path") << "relative";
        QTest::newRow("symlink") << "symlink";
        QTest::newRow("hard link") << "hard link";
    }
    void outputThatIsTheLogIsRefused() {
        QFETCH(QString, how);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QByteArray bytes = "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  ,  ,  ,  \r\n";
        writeFile(log, bytes);
        QString out = log;
        if (how == "relative")
            out = "Tavrelo.txt";
        else if (how == "symlink")
            QVERIFY(QFile::link(log, out = dir.filePath("link.adi")));
        else if (how == "hard link")
            QCOMPARE(::link(QFile::encodeName(log).constData(),
                            QFile::encodeName(out = dir.filePath("hard.adi")).constData()),
                     0);
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(TAVRELO_ADIF), {log, "-o", out, "--mode", "CW"});
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), 2);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains("It is the log " + log + " itself"), qPrintable(err));
        QCOMPARE(readFile(log), bytes);
    }

    // A failed export leaves the output as it was and nothing beside it; a
    // symlink planted where a temporary file might go is never followed.
    void exportLeavesNothingBehind_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("log missing") << "missing" << 2 << "Could not read the log";
        QTest::newRow("log is a FIFO") << "fifo" << 2 << "It is a FIFO (named pipe)";
        QTest::newRow("symlinks planted") << "planted" << 0 << "1 contacts written";
    }
    void exportLeavesNothingBehind() {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        if (fault == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0644), 0);
        } else if (fault != "missing") {
            writeFile(log, "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  ,  ,  ,  \r\n");
        }
        const QString out = dir.filePath("out.adi");
        writeFile(out, "OLD");
        const QString victim = dir.filePath("victim");
        writeFile(victim, "VICTIM");
        for (const char* name : {"out.adi.part", "out.adi.tmp", "out.adi~"})
            QVERIFY(QFile::link(victim, dir.filePath(name)));
        const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::System);

        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF), {log, "-o", out, "--mode", "CW"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), exitCode);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System), before);
        QCOMPARE(readFile(victim), QByteArray("VICTIM"));
        QCOMPARE(readFile(out).startsWith("OLD"), exitCode == 2);
    }

    void commandWritesFileWhole() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  ,  ,  ,  \r\n");
        const QString out = dir.filePath("out.adi");
        QCOMPARE(QProcess::execute(QStringLiteral(TAVRELO_ADIF), {log, "-o", out, "--mode", "FT8"}),
                 0);
        QCOMPARE(readAdi(readFile(out)).size(), 1);
        QVERIFY(!QFileInfo::exists(out + ".part"));
    }
};

QTEST_GUILESS_MAIN(TestAdif)
#include "tst_adif.moc"
