// SPDX-License-Identifier: GPL-3.0-or-later
// What recovery takes out of the log and its fields file after an append
// was stopped: only bytes the journal shows to be the append's own.
#include "Journal.h"
#include "SystemCalls.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <unistd.h>

using namespace tavrelo;
using namespace tavrelo::testing;

namespace {

const QByteArray OldLog = "old\r\n";
const QByteArray OldFields = "<CALL:3>OLD <EOR>\r\n";

QByteArray logBatch() {
    QByteArray b;
    for (int i = 0; i < 200; ++i)
        b += QStringLiteral("2024-Mar-01,  12:%1,  20m,  ZZ%2ZZ,  Hans,  Berlin,  599,  579\r\n")
                 .arg(i % 60, 2, 10, QLatin1Char('0'))
                 .arg(i)
                 .toLatin1();
    return b;
}

QByteArray fieldsBatch() {
    QByteArray b;
    for (int i = 0; i < 200; ++i)
        b += QStringLiteral("<CALL:%1>ZZ%2ZZ <MODE:3>FT8 <FREQ:9>14.074000 <EOR>\r\n")
                 .arg(QString::number(i).size() + 4)
                 .arg(i)
                 .toLatin1();
    return b;
}

// Commits what t holds with its syncs failing, which takes the append out
// again, and returns the journal the commit wrote: what a crash in the
// middle of that append would have left.
QByteArray journalOfFailedCommit(logfile::LogTransaction& t) {
    QByteArray journal;
    logfile::systemCalls().write = [&](int fd, const void* data, unsigned long size) {
        const QByteArrayView bytes(static_cast<const char*>(data), qsizetype(size));
        if (bytes.startsWith("Tavrelo journal 3"))
            journal = bytes.toByteArray();
        return long(::write(fd, data, size));
    };
    logfile::systemCalls().fdatasync = [](int) {
        errno = EIO;
        return -1;
    };
    const OsError e = t.commit();
    logfile::systemCalls() = {};
    [&] { QCOMPARE(e.error, EIO); }();
    return journal;
}

// A folder with the old log and fields file, and the journal a real append
// of the batches wrote before it was stopped: the commit is made to fail at
// its last sync, which takes the batches out again, and the journal it
// wrote is put back as a crash would have left it.
struct Stopped {
    QTemporaryDir dir;
    QString log, fields, journalFile;
    QByteArray journal;

    Stopped() {
        log = dir.filePath("Tavrelo.txt");
        fields = logfile::fieldsPath(log);
        journalFile = logfile::journalPath(log);
        writeFile(log, OldLog);
        writeFile(fields, OldFields);
        logfile::LogTransaction t(log);
        QVERIFY(t.begin().ok());
        QVERIFY(t.appendLog(logBatch()).ok());
        QVERIFY(t.appendFields(fieldsBatch()).ok());
        journal = journalOfFailedCommit(t);
        QCOMPARE(readFile(log), OldLog);
        QCOMPARE(readFile(fields), OldFields);
        QVERIFY(!journal.isEmpty());
        writeFile(journalFile, journal);
    }
    void append(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        QCOMPARE(f.write(bytes), bytes.size());
    }
    QString recover() {
        QString note;
        const OsError e = logfile::recoverUnfinishedAppend(log, note);
        [&] { QVERIFY2(e.ok(), qPrintable(e.message())); }();
        return note;
    }
};

// A file's tail with pages lost as a power cut loses unsynced pages: the
// file keeps its size, and each lost page of the appended bytes reads as
// NULs. Pages lie at multiples of 4096 in the file.
QByteArray withLostPages(const QByteArray& before, const QByteArray& appended, quint32 seed,
                         qsizetype keep) {
    QByteArray whole = before + appended.left(keep);
    QRandomGenerator rng(seed);
    for (qsizetype page = before.size() / 4096 * 4096; page < whole.size(); page += 4096) {
        if (rng.bounded(2) == 0)
            continue;
        const qsizetype from = std::max(page, before.size());
        whole.replace(from, std::min<qsizetype>(page + 4096, whole.size()) - from,
                      QByteArray(std::min<qsizetype>(page + 4096, whole.size()) - from, '\0'));
    }
    return whole.mid(before.size());
}

} // namespace

class TestJournal : public QObject {
    Q_OBJECT

private slots:
    // What is after the old bytes of each file when the next program opens
    // the log, and what it leaves there.
    void recovery_data() {
        QTest::addColumn<QByteArray>("logTail");
        QTest::addColumn<QByteArray>("fieldsTail");
        QTest::addColumn<QByteArray>("logAfter");
        QTest::addColumn<QByteArray>("fieldsAfter");
        const QByteArray lines = logBatch(), records = fieldsBatch();
        const QByteArray foreign = "2025-May-05,  05:05,  20m,  FOREIGN,  ,  ,  ,  \r\n";
        QTest::newRow("nothing written")
            << QByteArray() << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("the records, not the lines")
            << QByteArray() << records << QByteArray() << QByteArray();
        QTest::newRow("the records and half the lines")
            << lines.left(lines.size() / 2) << records << QByteArray() << QByteArray();
        QTest::newRow("both whole") << lines << records << lines << records;
        QTest::newRow("both whole, another program's line behind")
            << lines + foreign << records << lines + foreign << records;
        QTest::newRow("another program's line where the lines would be")
            << foreign << records << foreign << QByteArray();
        QTest::newRow("a torn line, then another program's line")
            << lines.left(100) + foreign << records << lines.left(100) + foreign << QByteArray();
        QTest::newRow("another program's bytes in the fields file")
            << QByteArray() << records.left(50) + "<CALL:5>OTHER <EOR>\r\n"
            << QByteArray() << records.left(50) + "<CALL:5>OTHER <EOR>\r\n";
        // Pages lost in any order: the file has its size, but some of the
        // appended pages, the first among them, read as NULs.
        for (const quint32 seed : {1u, 2u, 3u, 4u, 5u}) {
            const QByteArray torn = withLostPages(OldFields, records, seed, records.size() - 777);
            QTest::addRow("fields pages lost, seed %u", seed)
                << QByteArray() << torn << QByteArray() << QByteArray();
            QTest::addRow("log pages lost, seed %u", seed)
                << withLostPages(OldLog, lines, seed, lines.size()) << records << QByteArray()
                << QByteArray();
        }
        // A torn write's hole: NULs that end inside a page. Bytes after it
        // count as the append's only when a later chunk is shown to be.
        QByteArray holed = records;
        holed.replace(1000, 700, QByteArray(700, '\0'));
        QTest::newRow("a hole in the records, whole ones after it")
            << QByteArray() << holed << QByteArray() << QByteArray();
        QByteArray holedEnd = lines;
        holedEnd.replace(lines.size() - 300, 200, QByteArray(200, '\0'));
        QTest::newRow("a hole near the end of the lines, nothing after it shown")
            << holedEnd << records << holedEnd << QByteArray();
        QTest::newRow("every page of the fields lost")
            << QByteArray() << QByteArray(records.size(), '\0') << QByteArray() << QByteArray();
    }
    void recovery() {
        QFETCH(QByteArray, logTail);
        QFETCH(QByteArray, fieldsTail);
        QFETCH(QByteArray, logAfter);
        QFETCH(QByteArray, fieldsAfter);
        Stopped s;
        s.append(s.log, logTail);
        s.append(s.fields, fieldsTail);
        const QString note = s.recover();
        QCOMPARE(readFile(s.log), OldLog + logAfter);
        QCOMPARE(readFile(s.fields), OldFields + fieldsAfter);
        QVERIFY(!QFile::exists(s.journalFile));
        // Said whenever anything was there to be judged, and never when
        // both appends were whole.
        const bool whole = logAfter == logBatch() || logAfter.startsWith(logBatch());
        QCOMPARE(note.isEmpty(), whole || (logTail.isEmpty() && fieldsTail.isEmpty()));
    }

    // Every length of a torn end of the lines, and every length of another
    // program's line appended where the lines would have been: the torn
    // end is taken out, the other program's line never is.
    void everyLength() {
        const QByteArray lines = logBatch();
        Stopped s;
        for (qsizetype n = 1; n <= 4096; n += n < 300 ? 1 : 37) {
            writeFile(s.log, OldLog + lines.left(n));
            writeFile(s.fields, OldFields + fieldsBatch());
            writeFile(s.journalFile, s.journal);
            s.recover();
            QVERIFY2(readFile(s.log) == OldLog, qPrintable(QStringLiteral("torn at %1").arg(n)));
            QCOMPARE(readFile(s.fields), OldFields);
        }
        for (qsizetype n = 1; n <= 300; ++n) {
            const QByteArray foreign = QByteArray("F").repeated(n - 1) + '\n';
            writeFile(s.log, OldLog + foreign);
            writeFile(s.fields, OldFields + fieldsBatch());
            writeFile(s.journalFile, s.journal);
            s.recover();
            QVERIFY2(readFile(s.log) == OldLog + foreign,
                     qPrintable(QStringLiteral("a line of %1 bytes").arg(n)));
            QCOMPARE(readFile(s.fields), OldFields);
        }
    }

    // A journal that another computer wrote (carried by a sync), that was
    // written for the log before it was put back from a backup, or that an
    // earlier version left, removes nothing: it is set aside and named.
    void journalFromElsewhere_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("another computer") << "machine";
        QTest::newRow("the log put back from a backup") << "inode";
        QTest::newRow("an earlier version's journal") << "legacy";
    }
    void journalFromElsewhere() {
        QFETCH(QString, kind);
        Stopped s;
        const QByteArray torn = logBatch().left(46);
        s.append(s.log, torn);
        s.append(s.fields, fieldsBatch());
        QString journalFile = s.journalFile;
        if (kind == "machine") {
            logfile::Journal other;
            QVERIFY(logfile::parseJournal(s.journal, other));
            other.machine = "0123456789ab";
            writeFile(s.journalFile, logfile::journalText(other));
        } else if (kind == "inode") {
            // A copy put in its place: another file with the same bytes.
            writeFile(s.log + ".restored", readFile(s.log));
            QVERIFY(::rename(QFile::encodeName(s.log + ".restored").constData(),
                             QFile::encodeName(s.log).constData()) == 0);
        } else {
            QVERIFY(QFile::rename(s.journalFile, logfile::legacyJournalPath(s.log)));
            journalFile = logfile::legacyJournalPath(s.log);
        }
        const QString note = s.recover();
        QCOMPARE(readFile(s.log), OldLog + torn);
        QCOMPARE(readFile(s.fields), OldFields + fieldsBatch());
        QVERIFY(!QFile::exists(journalFile));
        const QStringList aside = QDir(s.dir.path()).entryList({"*.set-aside-*"});
        QCOMPARE(aside.size(), 1);
        QVERIFY2(note.contains(aside.first()) && note.contains("nothing was taken out"),
                 qPrintable(note));
        // A second look finds nothing more to do.
        QCOMPARE(s.recover(), QString());
    }

    // Another program appended a line after the transaction began and
    // before it committed: the journal's chunks lie where the append went,
    // so a torn append is still taken out, and the other line stays.
    void appendedBeforeTheCommit() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, OldLog);
        const QByteArray foreign = "2025-May-05,  05:05,  20m,  FOREIGN,  ,  ,  ,  \r\n";
        QByteArray journal;
        {
            logfile::LogTransaction t(log);
            QVERIFY(t.begin().ok());
            QVERIFY(t.appendLog(logBatch()).ok());
            QFile other(log);
            QVERIFY(other.open(QIODevice::Append));
            other.write(foreign);
            other.close();
            journal = journalOfFailedCommit(t);
        }
        QCOMPARE(readFile(log), OldLog + foreign);
        writeFile(logfile::journalPath(log), journal);
        QFile f(log);
        QVERIFY(f.open(QIODevice::Append));
        f.write(logBatch().left(5000)); // torn
        f.close();
        QString note;
        QVERIFY(logfile::recoverUnfinishedAppend(log, note).ok());
        QCOMPARE(readFile(log), OldLog + foreign);
        QVERIFY(!note.isEmpty());
    }

    // Another computer's journal, by its own name beside the log, is left
    // alone: it belongs to that computer.
    void otherComputersJournalIgnored() {
        Stopped s;
        const QString other =
            QString(s.journalFile).replace(logfile::machineName(), "0123456789ab");
        QVERIFY(QFile::rename(s.journalFile, other));
        s.append(s.log, logBatch().left(46));
        QCOMPARE(s.recover(), QString());
        QCOMPARE(readFile(s.log), OldLog + logBatch().left(46));
        QVERIFY(QFile::exists(other));
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
