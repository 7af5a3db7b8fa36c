// SPDX-License-Identifier: GPL-3.0-or-later
// One rule for "the same contact", run through every path that asks it: an
// import, a merge of another log, a merge of conflict copies, tavrelo-wsjtx;
// and the export's join afterwards, which must find every contact's record.
#include "Adif.h"
#include "ContactLog.h"
#include "Import.h"
#include "Merge.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrelo;
using testing::readFile;
using testing::writeFile;

namespace {

const QByteArray Line = "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  \r\n";
const QByteArray Key = "<CALL:5>ZZ9ZZ<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20m";

QByteArray sat(const char* name) {
    return Key + "<MODE:2>FM<PROP_MODE:3>SAT<SAT_NAME:" + QByteArray::number(qstrlen(name)) + ">" +
           name + "<EOR>\n";
}

qsizetype lineCount(const QString& log) {
    return readFile(log).count("\r\n");
}

// Another log as Tavrelo would have made it from these records.
QString otherLog(const QTemporaryDir& dir, const QByteArray& theirs) {
    const QString other = dir.filePath("other/Tavrelo.txt");
    QDir().mkpath(dir.filePath("other"));
    writeFile(dir.filePath("other/in.adi"), theirs);
    const adif::ImportSummary s =
        adif::importAdif(dir.filePath("other/in.adi"), other, [](const QString&) {});
    return s.error.ok() ? other : QString();
}

} // namespace

class IdentityTest : public QObject {
    Q_OBJECT

private slots:
    // A large fields file is read in two parts at once, the second from a
    // record's start near its middle: the log then holds the same contacts
    // as read in one part, also when a value there holds an <EOR> and a
    // line break (a forged record, which must tell nothing).
    void knownInTwoParts_data() {
        QTest::addColumn<bool>("forged");
        QTest::newRow("a record starts near the middle") << false;
        QTest::newRow("an <EOR> in a value at the middle") << true;
    }
    void knownInTwoParts() {
        QFETCH(bool, forged);
        const auto record = [](const QByteArray& time, const QByteArray& more) {
            return "<CALL:5>ZZ9ZZ <QSO_DATE:8>20240301 <TIME_ON:4>" + time + " <BAND:3>20m " +
                   more + "<EOR>\r\n";
        };
        const QByteArray sat = "<SAT_NAME:4>AO-7 ";
        const QByteArray fake = "<EOR>\r\n" + record("1203", sat) + "<NAME:1>x";
        const QByteArray notes =
            QByteArray(2000, 'a') + (forged ? fake : QByteArray(fake.size(), 'b'));
        const QByteArray fields =
            record("1201", "<MODE:2>CW ") +
            record("1202", "<NOTES:" + QByteArray::number(notes.size()) + ">" + notes + " ") +
            record("1203", "<MODE:2>CW ");
        QByteArray log;
        for (const char* time : {"12:01", "12:02", "12:03"})
            log += QByteArray("2024-Mar-01,  ") + time + ",  20m,  ZZ9ZZ,  ,  ,  ,  \r\n";
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        tavrelo::testing::writeFile(path, log);
        tavrelo::testing::writeFile(logfile::fieldsPath(path), fields);
        QByteArray key, telling;
        QVERIFY(adif::recordIdentity(QByteArrayView(record("1203", sat)), key, telling));
        for (const qint64 from : {qint64(1) << 40, qint64(1)}) {
            adif::readKnownInTwoPartsFrom(from);
            logfile::KnownContacts known;
            DigestSet stored;
            QCOMPARE(adif::readKnownContacts(path, known, &stored).status,
                     logfile::ReadStatus::Read);
            QCOMPARE(known.size(), 3);
            QCOMPARE(stored.size(), 3);
            QVERIFY(!known.holds(key, telling)); // CW there, not the satellite
        }
        adif::readKnownInTwoPartsFrom(qint64(32) << 20);
    }

    // The set against the rule written plainly, on many keys with several
    // tellings each, the table grown as they come.
    void knownContactsAgainstTheRule() {
        struct Held {
            bool line = false, plain = false;
            QSet<QByteArray> tellings;
        };
        QHash<QByteArray, Held> reference;
        const auto holds = [&](const QByteArray& key, const QByteArray& telling) {
            const Held h = reference.value(key);
            return h.line && (telling.isEmpty() || h.tellings.isEmpty() || h.plain ||
                              h.tellings.contains(telling));
        };
        logfile::KnownContacts known;
        QRandomGenerator rng(7);
        const QByteArrayList tellings = {"", "FT8||", "CW||", "FM|SO-50|SAT", "FM|AO-91|SAT"};
        for (int i = 0; i < 200000; ++i) {
            const QByteArray key = QByteArray::number(rng.bounded(20000));
            const QByteArray telling = tellings[rng.bounded(tellings.size())];
            switch (rng.bounded(3)) {
            case 0: // a line of the log
                known.addLine(known.keyDigest(key));
                reference[key].line = true;
                break;
            case 1: // a record of its fields file
                known.addRecord(known.keyDigest(key), known.tellingDigest(telling));
                if (!telling.isEmpty())
                    reference[key].tellings.insert(telling);
                break;
            default: { // a contact that comes
                const bool isNew = !holds(key, telling);
                QCOMPARE(known.addIfNew(key, telling), isNew);
                if (isNew) {
                    reference[key].line = true;
                    if (telling.isEmpty())
                        reference[key].plain = true;
                    else
                        reference[key].tellings.insert(telling);
                }
            }
            }
        }
        for (int k = 0; k < 20001; ++k) {
            for (const QByteArray& telling : tellings)
                QCOMPARE(known.holds(QByteArray::number(k), telling),
                         holds(QByteArray::number(k), telling));
        }
    }

    void everyPath_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("theirs");
        QTest::addColumn<int>("added");
        QTest::addColumn<QByteArrayList>("exported"); // values the export must carry

        QTest::newRow("a line without a record is a contact of any mode")
            << Line << QByteArray() << Key + "<MODE:3>FT8<EOR>" << 0 << QByteArrayList{};
        QTest::newRow("the same mode in another case")
            << Line << Key + "<MODE:3>FT8<EOR>\r\n"
            << Key + "<MODE:3>ft8<EOR>" << 0 << QByteArrayList{"FT8"};
        QTest::newRow("another mode is another contact")
            << Line << Key + "<MODE:3>FT8<EOR>\r\n"
            << Key + "<MODE:2>CW<EOR>" << 1 << QByteArrayList{"FT8", "<MODE:2>CW"};
        QTest::newRow("a submode counts as its mode")
            << Line << Key + "<MODE:4>MFSK<EOR>\r\n"
            << Key + "<SUBMODE:3>FT4<EOR>" << 0 << QByteArrayList{"MFSK"};
        QTest::newRow("a record that tells nothing: a contact of any mode")
            << Line << Key + "<NAME:4>Hans<EOR>\r\n"
            << Key + "<MODE:2>CW<EOR>" << 0 << QByteArrayList{"Hans"};
        QTest::newRow("a contact that tells nothing is the log's")
            << Line << Key + "<MODE:3>FT8<EOR>\r\n"
            << Key + "<NAME:3>Udo<EOR>" << 0 << QByteArrayList{"FT8"};
        QTest::newRow("a record without its line is no contact")
            << QByteArray() << Key + "<MODE:3>FT8<EOR>\r\n"
            << Key + "<MODE:3>FT8<EOR>" << 1 << QByteArrayList{"FT8"};
        QTest::newRow("two satellites in one minute, both new")
            << QByteArray() << QByteArray() << sat("SO-50") + sat("AO-91") << 2
            << QByteArrayList{"SO-50", "AO-91"};
        QTest::newRow("two satellites in one minute, one held")
            << Line << sat("SO-50").replace('\n', "\r\n") << sat("SO-50") + sat("AO-91") << 1
            << QByteArrayList{"SO-50", "AO-91"};
        QTest::newRow("the same contact twice in theirs")
            << QByteArray() << QByteArray() << sat("SO-50") + sat("SO-50") << 1
            << QByteArrayList{"SO-50"};
    }
    void everyPath() {
        QFETCH(QByteArray, log);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, theirs);
        QFETCH(int, added);
        QFETCH(QByteArrayList, exported);
        for (const char* path : {"import", "merge", "conflict copy", "tavrelo-wsjtx"}) {
            QTemporaryDir dir;
            const QString ours = dir.filePath("Tavrelo.txt");
            writeFile(ours, log);
            if (!fields.isEmpty())
                writeFile(logfile::fieldsPath(ours), fields);
            const qsizetype before = lineCount(ours);
            const QByteArray which(path);
            if (which == "import") {
                writeFile(dir.filePath("in.adi"), theirs);
                const adif::ImportSummary s =
                    adif::importAdif(dir.filePath("in.adi"), ours, [](const QString&) {});
                QVERIFY2(s.error.ok(), qPrintable(s.error.message()));
            } else if (which == "merge") {
                const QString other = otherLog(dir, theirs);
                QVERIFY(!other.isEmpty());
                logfile::LogTransaction t(ours, adif::recordIdentity);
                QVERIFY(t.begin().ok());
                logfile::Merger merger(t, ours, adif::recordIdentity);
                logfile::MergeSummary summary;
                QVERIFY(merger.mergeLog(other, logfile::fieldsPath(other), summary));
                QVERIFY(merger.mergeFields(logfile::fieldsPath(other), summary) ||
                        !QFile::exists(logfile::fieldsPath(other)));
                QVERIFY(t.commit().ok());
            } else if (which == "conflict copy") {
                const QString other = otherLog(dir, theirs);
                QVERIFY(!other.isEmpty());
                const QString copy = dir.filePath("Tavrelo.sync-conflict-20261208-120000-ABCDEFG");
                QVERIFY(QFile::copy(other, copy + ".txt"));
                QFile::copy(logfile::fieldsPath(other), copy + ".adi");
                QString note;
                QVERIFY(logfile::mergeConflictCopies(ours, adif::recordIdentity, note).ok());
            } else {
                wsjtx::ContactLog contacts(ours);
                QStringList skipped;
                for (const wsjtx::Contact& c : wsjtx::contactsOfAdif(theirs, skipped))
                    contacts.add(c);
                QVERIFY(skipped.isEmpty());
                QVERIFY(contacts.save().error.ok());
            }
            QVERIFY2(lineCount(ours) - before == added, path);
            // Every contact's record is found by the export's join.
            QByteArray out;
            const adif::ExportSummary s = adif::exportLog(
                ours, adif::ExportOptions{}, QDateTime::currentDateTimeUtc(), "test",
                [&](const QByteArray& b) {
                    out += b;
                    return 0;
                },
                [](const QString&) {});
            QVERIFY(s.read.status != logfile::ReadStatus::Failed && s.writeError == 0);
            for (const QByteArray& value : exported)
                QVERIFY2(
                    out.contains(value),
                    qPrintable(QStringLiteral("%1: %2 not exported").arg(path, QString(value))));
        }
    }
};

QTEST_GUILESS_MAIN(IdentityTest)
#include "tst_identity.moc"
