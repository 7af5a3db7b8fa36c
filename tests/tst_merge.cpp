// SPDX-License-Identifier: GPL-3.0-or-later
// One log on two computers: the conflict copies a sync program sets aside
// come back in by themselves, and tavrelo-adif --merge brings in a log kept
// elsewhere, losing nothing and adding nothing twice.
#include "FakePlatform.h"
#include "Import.h"
#include "LogFile.h"
#include "Merge.h"
#include "SystemCalls.h"
#include "Tavrelo.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tavrelo;
using namespace tavrelo::logfile;
using tavrelo::testing::readFile;
using tavrelo::testing::writeFile;

namespace {

QByteArray line(const char* call, const char* time = "12:05:30", const char* name = "") {
    return QByteArray("2024-Mar-01,  ") + time + ",  20m,  " + call + ",  " + name +
           ",  ,  ,  \r\n";
}

const QString copyName = QStringLiteral("Tavrelo.sync-conflict-20261207-142233-ABCDEFG.txt");

} // namespace

class TestMerge : public QObject {
    Q_OBJECT

private slots:
    void findsCopies() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        for (const char* name :
             {"Tavrelo.txt", "Tavrelo.adi", "Tavrelo.sync-conflict-20261207-142233-ABCDEFG.txt",
              "Tavrelo.sync-conflict-20261207-142233-ABCDEFG.adi",
              "Tavrelo (Anna's conflicted copy 2026-12-07).txt", "Tavrelo.txt.bak",
              "Other.sync-conflict-20261207-142233-ABCDEFG.txt"})
            writeFile(dir.filePath(name), "x");
        const ConflictCopies c = findConflictCopies(log);
        QCOMPARE(c.logs.size(), 2);
        QCOMPARE(c.fields.size(), 1);
        QVERIFY(c.logs.join(' ').contains("conflicted copy"));
    }

    // The rules of a merge, on a copy beside the log.
    void rules_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QByteArray>("copy");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("copyGone");
        const QByteArray a = line("ZZ1A"), b = line("ZZ2B"), c = line("ZZ3C"), d = line("ZZ4D");
        QTest::newRow("what the log lacks, in the copy's order")
            << a + b << a + d + c << a + b + d + c << true;
        QTest::newRow("the same contact written otherwise is not added")
            << a << line("zz1a", "12:05:59", "Hans") + b << a + b << true;
        QTest::newRow("accents byte for byte")
            << a << line("ZZ5E", "12:05:30", "J\xc3\xb6rg")
            << a + line("ZZ5E", "12:05:30", "J\xc3\xb6rg") << true;
        QTest::newRow("a copy identical to the log") << a + b << a + b << a + b << true;
        QTest::newRow("a torn last line comes in whole")
            << a << b + "2024-Mar-01,  12:09,  20m,  ZZ6F,  Ha"
            << a + b + "2024-Mar-01,  12:09,  20m,  ZZ6F,  Ha\r\n"
            << true;
        QTest::newRow("a copy that is not a Tavrelo log")
            << a << QByteArray("PNG\0\1\2 binary", 13) << a << false;
        QTest::newRow("text, but not a log")
            << a << QByteArray("dear diary\r\nnothing here\r\n") << a << false;
        QTest::newRow("a log without its last line end") << a.chopped(2) << b << a + b << true;
    }
    void rules() {
        QFETCH(QByteArray, log);
        QFETCH(QByteArray, copy);
        QFETCH(QByteArray, expected);
        QFETCH(bool, copyGone);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, log);
        writeFile(dir.filePath(copyName), copy);
        QString note;
        QVERIFY(mergeConflictCopies(path, adif::recordIdentity, note).ok());
        QCOMPARE(readFile(path), expected);
        QCOMPARE(!QFile::exists(dir.filePath(copyName)), copyGone);
        QVERIFY(!note.isEmpty());
        if (!copyGone)
            QVERIFY2(note.contains("not a Tavrelo log"), qPrintable(note));
        // Nothing left to do the second time.
        QString again;
        QVERIFY(mergeConflictCopies(path, adif::recordIdentity, again).ok());
        QCOMPARE(readFile(path), expected);
    }

    // What stands by a conflict copy's name but is not one is named once and
    // left alone: never read through a symbolic link, never a FIFO's other
    // end, never bytes that do not read as ADIF records. Changed, it is
    // looked at again.
    void notCopies_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("why");
        const QString txt = copyName;
        const QString adi = QString(copyName).replace(".txt", ".adi");
        QTest::newRow("symlink to a private file") << "link" << txt << "symbolic link";
        QTest::newRow("symlink to another folder's log") << "link log" << txt << "symbolic link";
        QTest::newRow("symlinked fields copy") << "link" << adi << "symbolic link";
        QTest::newRow("FIFO") << "fifo" << txt << "FIFO";
        QTest::newRow("folder") << "folder" << adi << "folder";
        QTest::newRow("binary fields copy") << "binary" << adi << "does not read as ADIF";
        QTest::newRow("zero-filled fields copy") << "zeros" << adi << "does not read as ADIF";
        QTest::newRow("name not UTF-8")
            << "file" << QString::fromLatin1("Tavrelo.sync-conflict-\xff.txt") << "not valid UTF-8";
    }
    void notCopies() {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, line("ZZ1A"));
        writeFile(fieldsPath(log), "<CALL:4>ZZ1A <EOR>\r\n");
        const QByteArray secret = line("SECRET");
        writeFile(dir.filePath("private"), secret);
        QVERIFY(QDir(dir.path()).mkdir("other"));
        writeFile(dir.filePath("other/Tavrelo.txt"), line("ZZ9OTHER"));
        // The name as bytes: one that is not valid UTF-8 included.
        const QByteArray path = QFile::encodeName(dir.path()) + '/' +
                                (kind == "file" ? QByteArray("Tavrelo.sync-conflict-\xff.txt")
                                                : QFile::encodeName(name));
        // A name that is not UTF-8 is one Qt cannot remove with the folder.
        const auto removeOwn = qScopeGuard([&] {
            if (kind == "file")
                ::unlink(path.constData());
        });
        if (kind == "link")
            QCOMPARE(
                ::symlink(QFile::encodeName(dir.filePath("private")).constData(), path.constData()),
                0);
        else if (kind == "link log")
            QCOMPARE(::symlink(QFile::encodeName(dir.filePath("other/Tavrelo.txt")).constData(),
                               path.constData()),
                     0);
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(path.constData(), 0644), 0);
        else if (kind == "folder")
            QCOMPARE(::mkdir(path.constData(), 0755), 0);
        else {
            const QByteArray bytes = kind == "binary"  ? QByteArray("<CALL:2>\0\1<EOR>\x89PNG", 16)
                                     : kind == "zeros" ? QByteArray(1 << 20, '\0')
                                                       : line("ZZ2B");
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
            ::close(fd);
        }
        QString note;
        QVERIFY(mergeConflictCopies(log, adif::recordIdentity, note).ok());
        QCOMPARE(readFile(log), line("ZZ1A"));
        QCOMPARE(readFile(fieldsPath(log)), QByteArray("<CALL:4>ZZ1A <EOR>\r\n"));
        QVERIFY2(note.contains(why) && note.contains("Left as they are"), qPrintable(note));
        struct stat st;
        QCOMPARE(::lstat(path.constData(), &st), 0);
        // Named once: the next look passes it over while it is unchanged.
        QString again;
        QVERIFY(mergeConflictCopies(log, adif::recordIdentity, again).ok());
        QCOMPARE(again, QString());
        if (kind == "binary" || kind == "zeros") {
            writeFile(QFile::decodeName(path), "<CALL:4>ZZ2B <EOR>\r\n");
            QVERIFY(mergeConflictCopies(log, adif::recordIdentity, again).ok());
            QVERIFY2(again.contains("Merged"), qPrintable(again));
            QCOMPARE(readFile(fieldsPath(log)),
                     QByteArray("<CALL:4>ZZ1A <EOR>\r\n<CALL:4>ZZ2B <EOR>\r\n"));
        }
    }

    // Records are told apart by their tags' lengths, not by text: a value
    // with line breaks or with "<eor>" in it stays whole, and a record the
    // fields file holds is not added twice.
    void fieldsCopyByLengths() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, line("ZZ1A"));
        const QByteArray r1 = "<CALL:4>ZZ1A <NOTES:11>two\r\nlines <EOR>";
        const QByteArray r2 = "<CALL:4>ZZ2B <COMMENT:13>a <eor> b <x> <EOR>";
        writeFile(fieldsPath(path), r1 + "\r\n");
        writeFile(dir.filePath("Tavrelo.sync-conflict-20261207-142233-ABCDEFG.adi"),
                  r1 + "\r\n" + r2 + "\r\n");
        QString note;
        QVERIFY(mergeConflictCopies(path, adif::recordIdentity, note).ok());
        QCOMPARE(readFile(fieldsPath(path)), r1 + "\r\n" + r2 + "\r\n");
    }

    // However few digests a pass may hold, the merge is the same: a line
    // known by its key or its bytes, in the log or earlier in the copy, is
    // not added again; new lines and records come in the copy's order.
    void passesGiveTheSameMerge_data() {
        QTest::addColumn<int>("perPass");
        for (const int n : {1, 2, 3, 7, 1000000})
            QTest::addRow("%d digests a pass", n) << n;
    }
    void passesGiveTheSameMerge() {
        QFETCH(int, perPass);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        const QByteArray a = line("ZZ1A"), b = line("ZZ2B"), c = line("ZZ3C"), d = line("ZZ4D"),
                         e = line("ZZ5E"), note = "a note of mine\r\n";
        writeFile(path, a + note + b + c);
        const QByteArray r1 = "<CALL:4>ZZ1A <EOR>", r2 = "<CALL:4>ZZ4D <EOR>",
                         r3 = "<CALL:4>ZZ5E <EOR>";
        writeFile(fieldsPath(path), r1 + "\r\n");
        writeFile(dir.filePath("other.txt"),
                  d + line("zz1a", "12:05:59", "Otto") + e + d + note + "another note\r\n" + c + b);
        writeFile(dir.filePath("other.adi"), r2 + "\r\n" + r1 + "\r\n" + r3 + "\r\n" + r2 + "\r\n");
        MergeSummary summary;
        {
            LogTransaction t(path);
            QVERIFY(t.begin().ok());
            Merger merger(t, path, adif::recordIdentity, perPass);
            QVERIFY(merger.mergeLog(dir.filePath("other.txt"), dir.filePath("other.adi"), summary));
            QVERIFY(merger.mergeFields(dir.filePath("other.adi"), summary));
            QVERIFY(t.commit().ok());
        }
        QCOMPARE(readFile(path), a + note + b + c + d + e + "another note\r\n");
        QCOMPARE(readFile(fieldsPath(path)), r1 + "\r\n" + r2 + "\r\n" + r3 + "\r\n");
        QCOMPARE(summary.added, 3);
        QCOMPARE(summary.duplicates, 5);
        QCOMPARE(summary.records, 2);
    }

    // The fields file's copy: records it lacks, by their bytes.
    void fieldsCopy() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        writeFile(path, line("ZZ1A") + line("ZZ2B"));
        const QByteArray r1 =
            "<CALL:4>ZZ1A <QSO_DATE:8>20240301 <TIME_ON:6>120530 <MODE:2>CW <EOR>";
        const QByteArray r2 =
            "<CALL:4>ZZ2B <QSO_DATE:8>20240301 <TIME_ON:6>120530 <MODE:3>FT8 <EOR>";
        writeFile(fieldsPath(path), r1 + "\r\n");
        writeFile(dir.filePath("Tavrelo.sync-conflict-20261207-142233-ABCDEFG.adi"),
                  r1 + "\r\n" + r2 + "\r\n");
        QString note;
        QVERIFY(mergeConflictCopies(path, adif::recordIdentity, note).ok());
        QCOMPARE(readFile(fieldsPath(path)), r1 + "\r\n" + r2 + "\r\n");
        QVERIFY(findConflictCopies(path).isEmpty());
    }

    // The window brings copies in on a thread of its own: after a Save,
    // once, removing the copy; a Save clicked while a merge runs waits for
    // it and then saves, and the window answers meanwhile.
    void windowMergesOffItsThread() {
        QTemporaryDir dir;
        FakePlatform platform;
        platform.directory = dir.path();
        platform.dataHome = dir.filePath("share");
        platform.now = QDateTime(QDate(2026, 12, 7), QTime(10, 20, 30), QTimeZone::utc());
        Tavrelo w(platform);
        QVERIFY(w.load().ok());
        const auto fill = [&](const char* call) {
            w.Text1[Tavrelo::Date]->setText("2026-Dec-07");
            w.Text1[Tavrelo::Utc]->setText("10:20:30");
            w.Text1[Tavrelo::Call]->setText(call);
        };
        const auto saved = [](const char* call) {
            return "2026-Dec-07,  10:20:30,  ,  " + QByteArray(call) + ",  ,  ,  ,  \r\n";
        };
        writeFile(dir.filePath(copyName), line("ZZ1A"));
        fill("ZZ9ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QCOMPARE(readFile(w.logPath()), saved("ZZ9ZZ"));
        QTRY_VERIFY(!QFile::exists(dir.filePath(copyName)));
        QCOMPARE(readFile(w.logPath()), saved("ZZ9ZZ") + line("ZZ1A"));

        // A merge held up at its sync: the Save waits, the window does not
        // (were the merge on the window's thread, load() would not return).
        std::atomic<bool> release{false};
        systemCalls().fdatasync = [&](int fd) {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return ::fdatasync(fd);
        };
        writeFile(dir.filePath(copyName), line("ZZ2B"));
        QVERIFY(w.load().ok()); // starts the merge
        fill("ZZ8ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QCOMPARE(w.Text1[Tavrelo::Call]->text(), QStringLiteral("ZZ8ZZ"));
        QTest::keyClick(w.Text1[Tavrelo::Name], Qt::Key_A);
        QCOMPARE(w.Text1[Tavrelo::Name]->text(), QStringLiteral("a"));
        release = true;
        QTRY_COMPARE(w.Text1[Tavrelo::Call]->text(), QString());
        systemCalls() = {};
        QCOMPARE(readFile(w.logPath()), saved("ZZ9ZZ") + line("ZZ1A") + line("ZZ2B") +
                                            "2026-Dec-07,  10:20:30,  ,  ZZ8ZZ,  a,  ,  ,  \r\n");
    }

    // tavrelo-adif --merge: another log and its fields file, with the
    // import's summary and exit statuses.
    void mergeCommand_data() {
        QTest::addColumn<QByteArray>("other"); // empty: a folder in its place
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("summary");
        QTest::newRow("a log") << line("ZZ1A") + line("ZZ3C") << 0
                               << "1 contacts added, 1 duplicates skipped, 0 records skipped";
        QTest::newRow("not a log") << QByteArray("hello\r\nworld\r\n") << 2 << "";
        QTest::newRow("unreadable") << QByteArray() << 2 << "";
    }
    void mergeCommand() {
        QFETCH(QByteArray, other);
        QFETCH(int, exitCode);
        QFETCH(QString, summary);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        writeFile(log, line("ZZ1A"));
        const QString otherPath = dir.filePath("laptop/Tavrelo.txt");
        QVERIFY(QDir(dir.path()).mkdir("laptop"));
        if (other.isEmpty())
            QVERIFY(QDir(dir.path()).mkpath("laptop/Tavrelo.txt"));
        else
            writeFile(otherPath, other);
        writeFile(fieldsPath(otherPath), "<CALL:4>ZZ3C <QSO_DATE:8>20240301 <TIME_ON:6>120530 "
                                         "<MODE:2>CW <EOR>\r\n");
        QProcess p;
        p.start(QStringLiteral(TAVRELO_ADIF), {"--merge", otherPath, log});
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitCode(), exitCode);
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        QCOMPARE(out, summary);
        if (exitCode == 0) {
            QCOMPARE(readFile(log), line("ZZ1A") + line("ZZ3C"));
            QVERIFY(readFile(fieldsPath(log)).contains("<CALL:4>ZZ3C"));
        } else {
            QCOMPARE(readFile(log), line("ZZ1A"));
            QVERIFY(p.readAllStandardError().contains("not merged"));
        }
    }
};

QTEST_MAIN(TestMerge)
#include "tst_merge.moc"
