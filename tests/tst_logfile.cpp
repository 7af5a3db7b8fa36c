// SPDX-License-Identifier: GPL-3.0-or-later
#include "BlockWriter.h"
#include "ContactKey.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "SystemCalls.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrelo::logfile;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Scratch space; tmpfs where there is one, since these tests are about
// record boundaries, not about the disk.
QString scratchBase() {
    return QFileInfo(QStringLiteral("/dev/shm")).isWritable()
               ? QStringLiteral("/dev/shm/tavrelo-XXXXXX")
               : QString();
}

// Stands in for the durability calls during one test: records every call,
// in order, and lets the test fail them at exact points.
// Which of the log's files a descriptor is: "log", "journal", "fields" or
// "folder".
QString fileKind(int fd) {
    const QString target = QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
    struct stat st {};
    ::fstat(fd, &st);
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("folder");
    return target.endsWith(".txt")       ? QStringLiteral("log")
           : target.endsWith(".journal") ? QStringLiteral("journal")
                                         : QStringLiteral("fields");
}

// The calls a Save makes, each with the file it was made on; the faults
// given replace the log's own write() and fdatasync().
struct Faults {
    QStringList calls;
    std::function<long(int, const void*, unsigned long)> write; // replaces write() when set
    std::function<int(int)> fdatasync;                          // replaces fdatasync() when set

    Faults() {
        SystemCalls& c = systemCalls();
        c.write = [this](int fd, const void* data, unsigned long n) -> long {
            const QString kind = fileKind(fd);
            calls << "write " + kind;
            return write && kind == "log" ? write(fd, data, n) : long(::write(fd, data, n));
        };
        c.fdatasync = [this](int fd) {
            const QString kind = fileKind(fd);
            calls << "fdatasync " + kind;
            return fdatasync && kind == "log" ? fdatasync(fd) : ::fdatasync(fd);
        };
        c.fsync = [this](int fd) {
            calls << "fsync " + fileKind(fd);
            return ::fsync(fd);
        };
    }
    ~Faults() { systemCalls() = {}; }
    Faults(const Faults&) = delete;
    Faults& operator=(const Faults&) = delete;
};

// Appends a line through a descriptor of its own and without the lock, as a
// text editor, a script or another logger would.
void appendAsAnotherProgram(const QString& path, const QByteArray& line) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, line.constData(), size_t(line.size())), line.size());
    ::close(fd);
}

// A Save as the window makes it, of a contact without a record.
SaveResult save(const QString& path, const QByteArray& line) {
    return appendWithRecord(path, line, {});
}

long failWith(int err) {
    errno = err;
    return -1;
}

} // namespace

class TestLogFile : public QObject {
    Q_OBJECT

private slots:
    // Every length from none to past the longest short copy, each byte in
    // place and nothing written beyond: the lengths where one way of
    // copying gives way to the next are where a wrong bound would show.
    void copyShort_data() {
        QTest::addColumn<int>("length");
        for (const int n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 40})
            QTest::newRow(qPrintable(QString::number(n))) << n;
    }
    void copyShort() {
        QFETCH(int, length);
        QByteArray from(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i)
            from[i] = char('a' + i % 26);
        QByteArray to(length + 16, '#');
        tavrelo::logfile::copyShort(to.data() + 8, from.constData(), length);
        QCOMPARE(to, QByteArray(8, '#') + from + QByteArray(8, '#'));
    }

    // A byte out of the printable range is found at every place, in the
    // words looked at in pairs, in a single word and in the bytes after;
    // the bytes at the edges of the range pass.
    void isPrintable_data() {
        QTest::addColumn<int>("length");
        for (const int n : {1, 7, 8, 9, 15, 16, 17, 24, 33})
            QTest::newRow(qPrintable(QString::number(n))) << n;
    }
    void isPrintable() {
        QFETCH(int, length);
        QByteArray text(length, ' ');
        for (int i = 0; i < length; ++i)
            text[i] = i % 2 ? '~' : ' '; // 126 and 32, the edges of the range
        QVERIFY(tavrelo::logfile::isPrintable(text));
        for (int at = 0; at < length; ++at) {
            for (const char bad : {'\x1f', '\x7f', '\x80', '\xff', '\0'}) {
                QByteArray t = text;
                t[at] = bad;
                QVERIFY2(!tavrelo::logfile::isPrintable(t),
                         qPrintable(QStringLiteral("byte %1 at %2").arg(int(uchar(bad))).arg(at)));
            }
        }
    }

    // A byte is found where it first stands, near or beyond the first
    // sixteen bytes looked at one by one, and not past the end given.
    void findNear_data() {
        QTest::addColumn<int>("at"); // -1: not there
        for (const int at : {-1, 0, 1, 15, 16, 17, 40})
            QTest::newRow(qPrintable(QString::number(at))) << at;
    }
    void findNear() {
        QFETCH(int, at);
        QByteArray text(48, 'x');
        if (at >= 0) {
            text[at] = ',';
            text[47] = ','; // a later one is never the answer
        }
        const char* b = text.constData();
        const char* found = tavrelo::logfile::findNear(b, b + 47, ',');
        QCOMPARE(found ? int(found - b) : -1, at);
        if (at >= 0)
            QCOMPARE(tavrelo::logfile::findNear(b, b + at, ','),
                     nullptr); // the end is not looked at
    }

    // A file written front to back in pieces of any size holds every byte
    // in order, whether the pieces fill blocks and buffers or not, and its
    // descriptor is as it was afterwards.
    void sequentialWriter_data() {
        QTest::addColumn<QList<int>>("pieces");
        QTest::newRow("nothing") << QList<int>{};
        QTest::newRow("less than a block") << QList<int>{100};
        QTest::newRow("a block") << QList<int>{4096};
        QTest::newRow("a block and a byte") << QList<int>{4097};
        QTest::newRow("a byte, then a block") << QList<int>{1, 4096};
        QTest::newRow("small pieces") << QList<int>(1000, 37);
        QTest::newRow("across buffers") << QList<int>{3 * 8192 + 5, 1, 4095, 70000, 0, 8191};
        QTest::newRow("buffers exactly") << QList<int>{8192, 8192, 4096, 4096};
    }
    void sequentialWriter() {
        QFETCH(QList<int>, pieces);
        QTemporaryDir dir;
        const QString path = dir.filePath("out.adi");
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        const int flags = ::fcntl(fd, F_GETFL);
        QByteArray all;
        {
            SequentialWriter writer(fd, 8192);
            for (const int n : pieces) {
                QByteArray piece(n, Qt::Uninitialized);
                for (int i = 0; i < n; ++i)
                    piece[i] = char('a' + (all.size() + i) % 23);
                QCOMPARE(writer.write(piece.constData(), n), 0);
                all += piece;
            }
            QCOMPARE(writer.finish(), 0);
        }
        QCOMPARE(::fcntl(fd, F_GETFL), flags);
        ::close(fd);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == all);
    }

    // Blocks written from an offset off a block boundary, which the disk
    // refuses straight: they go through the cache instead, in place.
    void blocksOffBoundary() {
        QTemporaryDir dir;
        const QString path = dir.filePath("out.adi");
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, QByteArray(100, 'x').constData(), 100), 100L);
        const int flags = ::fcntl(fd, F_GETFL);
        QByteArray blocks(5 * 4096, Qt::Uninitialized);
        for (qsizetype i = 0; i < blocks.size(); ++i)
            blocks[i] = char('0' + i % 10);
        {
            BlockWriter writer(fd, 100, 8192);
            QCOMPARE(writer.write(blocks.constData(), blocks.size()), 0);
            QCOMPARE(writer.finish(), 0);
        }
        QCOMPARE(::fcntl(fd, F_GETFL), flags);
        ::close(fd);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == QByteArray(100, 'x') + blocks);
    }

    // A file that cannot be written says so, with the system's error, by
    // the end at the latest.
    void sequentialWriterFails() {
        QTemporaryDir dir;
        const QString path = dir.filePath("out.adi");
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        int err = 0;
        {
            SequentialWriter writer(fd, 8192);
            const QByteArray piece(5000, 'z');
            for (int i = 0; i < 20 && err == 0; ++i)
                err = writer.write(piece.constData(), piece.size());
            const int atEnd = writer.finish();
            err = err ? err : atEnd;
        }
        ::close(fd);
        QCOMPARE(err, EBADF);
    }

    // Keys kept one after another are each the key alone, whether ASCII
    // or not, and the key replaces what it is written to.
    void appendContactKey() {
        const QList<QList<QByteArray>> contacts = {{"2024-Mar-01", "12:05:33", " 20M ", " dl1abc "},
                                                   {"2024-Mar-01", "12:05", "40m", "K\xc3\xb6X"},
                                                   {"1999-Dec-31", "23:59", "", "W1AW/P"}};
        QByteArray keys = "before";
        QByteArray expected = "before";
        QByteArray key = "left over";
        for (const QList<QByteArray>& c : contacts) {
            tavrelo::logfile::appendContactKey(c[0], c[1], c[2], c[3], keys);
            tavrelo::logfile::contactKey(c[0], c[1], c[2], c[3], key);
            expected += key;
        }
        QCOMPARE(keys, expected);
        QCOMPARE(key, QByteArray("1999-dec-31|23:59||W1AW/P"));

        // The same for log lines, in UTF-8 and in Windows-1252; a line
        // without four fields appends nothing.
        const QList<QByteArray> lines = {"2024-Mar-01,  12:05:33,   20M ,   dl1abc ,  Bob,  ,  ,  ",
                                         "2024-Mar-01,  12:05,  40m,  K\xc3\xb6X,  ,  ,  ,  ",
                                         "2024-Mar-01,  12:05,  40m,  K\xf6X,  J\xf6rg,  ,  ,  ",
                                         "2024-Mar-01,  12:05,  40m",
                                         "1999-Dec-31,  23:59,  ,  A,B,  ,  ,  ,  "};
        keys = "before";
        expected = "before";
        for (const QByteArray& line : lines) {
            const char* b = line.constData();
            const bool made = tavrelo::logfile::logLineKey(b, b + line.size(), key);
            QCOMPARE(tavrelo::logfile::appendLogLineKey(b, b + line.size(), keys), made);
            if (made)
                expected += key;
        }
        QCOMPARE(keys, expected);
        QCOMPARE(key, QByteArray("1999-dec-31|23:59||A,B"));
    }

    void record_data() {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("example") << QStringList{"2006-Nov-18", "14:05:33", "40m", "ZZ9ZZ",
                                                "Hans",        "Berlin",   "599", "579"}
                                 << QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  "
                                               "Berlin,  599,  579\r\n");
        QTest::newRow("all empty")
            << QStringList(8, QString()) << QByteArray(",  ,  ,  ,  ,  ,  ,  \r\n");
        QTest::newRow("comma in name")
            << QStringList{"", "", "20m", "ZZ9ZZ", "Smith, John", "", "", ""}
            << QByteArray(",  ,  20m,  ZZ9ZZ,  Smith, John,  ,  ,  \r\n");
        QTest::newRow("spaces kept") << QStringList{" a ", "", "", "", "", "", "", "z "}
                                     << QByteArray(" a ,  ,  ,  ,  ,  ,  ,  z \r\n");
        QTest::newRow("line breaks dropped")
            << QStringList{"", "", "", "ZZ9\r\nZZ", "Jo\nhn", "", "599\r", ""}
            << QByteArray(",  ,  ,  ZZ9ZZ,  John,  ,  599,  \r\n");
        QTest::newRow("utf-8, control characters dropped")
            << QStringList{"",           "",
                           "",           "",
                           "Müller\tJr", QString::fromUtf8("Z\xc3\xbcr\0ich\x7f", 10),
                           "",           ""}
            << QByteArray(",  ,  ,  ,  M\xc3\xbcllerJr,  Z\xc3\xbcrich,  ,  \r\n");
    }
    void record() {
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, bytes);
        Fields f;
        std::copy(fields.begin(), fields.end(), f.begin());
        QCOMPARE(buildRecord(f), bytes);
    }

    void createLeavesExistingLogAlone() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        QVERIFY(createLog(path).ok());
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
        writeAll(path, "old line\r\nno end");
        QVERIFY(createLog(path).ok());
        QCOMPARE(readAll(path), QByteArray("old line\r\nno end"));
    }

    // Beside the program when the log is there or the folder is writable;
    // otherwise in the user's data folder.
    void whereTheLogIs_data() {
        QTest::addColumn<QString>("program"); // a folder under the scratch folder
        QTest::addColumn<bool>("logThere");
        QTest::addColumn<QString>("expected");
        QTest::newRow("portable, log beside") << "bin" << true << "bin/Tavrelo.txt";
        QTest::newRow("portable, first start") << "bin" << false << "bin/Tavrelo.txt";
        QTest::newRow("installed") << "missing/bin" << false << "share/Tavrelo/Tavrelo.txt";
    }
    void whereTheLogIs() {
        QFETCH(QString, program);
        QFETCH(bool, logThere);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("bin"));
        if (logThere)
            writeAll(dir.filePath("bin/Tavrelo.txt"), "");
        QCOMPARE(findLogPath(dir.filePath(program), dir.filePath("share")), dir.filePath(expected));
    }

    // An installed program never keeps its log beside itself, whoever runs
    // it; a log found there is not used, and a note says where the log is.
    void locate_data() {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("logThere");
        QTest::addColumn<bool>("hasData");
        QTest::addColumn<QString>("expected"); // empty: nowhere
        QTest::addColumn<bool>("note");
        QTest::newRow("portable, log beside")
            << false << true << true << "bin/Tavrelo.txt" << false;
        QTest::newRow("portable, writable folder")
            << false << false << true << "bin/Tavrelo.txt" << false;
        QTest::newRow("portable, no home") << false << false << false << "bin/Tavrelo.txt" << false;
        QTest::newRow("installed in a writable folder")
            << true << false << true << "share/Tavrelo/Tavrelo.txt" << false;
        QTest::newRow("installed, a log planted beside it")
            << true << true << true << "share/Tavrelo/Tavrelo.txt" << true;
        QTest::newRow("installed, no home") << true << false << false << "" << false;
    }
    void locate() {
        QFETCH(bool, installed);
        QFETCH(bool, logThere);
        QFETCH(bool, hasData);
        QFETCH(QString, expected);
        QFETCH(bool, note);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("bin"));
        if (logThere)
            writeAll(dir.filePath("bin/Tavrelo.txt"), "");
        const LogLocation where =
            locateLog(dir.filePath("bin"), installed, hasData ? dir.filePath("share") : QString());
        QCOMPARE(where.path, expected.isEmpty() ? QString() : dir.filePath(expected));
        QCOMPARE(where.error.isEmpty(), !expected.isEmpty());
        QCOMPARE(!where.note.isEmpty(), note);
        if (note)
            QVERIFY(where.note.contains(where.path));
    }

    void createFailsInMissingFolder() {
        QTemporaryDir dir;
        writeAll(dir.filePath("file"), "");
        const tavrelo::OsError e = createLog(dir.filePath("file/Tavrelo/Tavrelo.txt"));
        QCOMPARE(e.error, ENOTDIR);
        QVERIFY(e.message().contains("file/Tavrelo/Tavrelo.txt"));
        QVERIFY(e.message().contains("Error 20:"));
        QVERIFY(createLog(dir.filePath("new/Tavrelo/Tavrelo.txt")).ok());
        QVERIFY(QFileInfo(dir.filePath("new/Tavrelo/Tavrelo.txt")).isFile());
    }

    void appendStartsOnFreshLine_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("empty log") << QByteArray() << QByteArray("R\r\n");
        QTest::newRow("ends in CR LF") << QByteArray("a\r\n") << QByteArray("a\r\nR\r\n");
        QTest::newRow("ends in LF") << QByteArray("a\n") << QByteArray("a\nR\r\n");
        QTest::newRow("no final end") << QByteArray("a") << QByteArray("a\r\nR\r\n");
        QTest::newRow("ends in a lone CR") << QByteArray("a\r") << QByteArray("a\rR\r\n");
    }
    void appendStartsOnFreshLine() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        writeAll(path, before);
        QCOMPARE(save(path, "R\r\n").state, SaveState::Saved);
        QCOMPARE(readAll(path), after);
    }

    void appendRecreatesVanishedLog() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        QCOMPARE(save(path, "R\r\n").state, SaveState::Saved);
        QCOMPARE(readAll(path), QByteArray("R\r\n"));
    }

    void appendToFolderFails() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        QVERIFY(QDir().mkdir(path));
        const SaveResult r = save(path, "R\r\n");
        QCOMPARE(r.state, SaveState::NotSaved);
        QCOMPARE(r.error.error, EISDIR);
        QVERIFY(!r.error.description.isEmpty());
    }

    // A file-size limit stops the write part-way; the log must be left as it
    // was, with no partial record, and the program must not be killed.
    void appendOverSizeLimitIsUndone() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        const QByteArray before = "first\r\n";
        writeAll(path, before);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit limited = old;
        limited.rlim_cur = 10;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const SaveResult r = save(path, "a record longer than the limit\r\n");
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(r.state, SaveState::NotSaved);
        QCOMPARE(r.error.error, EFBIG);
        QCOMPARE(readAll(path), before);
    }

    // A write that fails removes what this save wrote and nothing else: cut
    // off while nothing follows it, blanked in place when another program
    // has appended behind it. No partial record is ever left.
    void failedWriteRemovesOnlyItsOwnBytes_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("why");
        const QByteArray before = "A\r\n";
        QTest::newRow("fails at once") << 0 << before << "Error 28: No space left on device";
        QTest::newRow("fails part-way") << 1 << before << "Error 28: No space left on device";
        QTest::newRow("fails part-way, another program appends")
            << 2 << before + "   \r\nOTHER\r\n"
            << "Error 28: No space left on device";
        QTest::newRow("another program writes into the middle")
            << 3 << before + "   \r\nOTHER\r\n      \r\n"
            << "Another program wrote into the log";
    }
    void failedWriteRemovesOnlyItsOwnBytes() {
        QFETCH(int, fault);
        QFETCH(QByteArray, after);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        writeAll(path, "A\r\n");
        Faults faults;
        int calls = 0;
        faults.write = [&](int fd, const void* data, unsigned long n) -> long {
            if (calls++ == 0)
                return fault == 0 ? failWith(ENOSPC) : long(::write(fd, data, 5));
            if (fault >= 2)
                appendAsAnotherProgram(path, "OTHER\r\n");
            return fault == 3 ? long(::write(fd, data, n)) : failWith(ENOSPC);
        };
        const SaveResult r = save(path, "RECORD-LINE\r\n");
        QCOMPARE(r.state, SaveState::NotSaved);
        QVERIFY2(r.error.message().contains(why), qPrintable(r.error.message()));
        QCOMPARE(readAll(path), after);
        QVERIFY(!QFile::exists(journalPath(path)));
    }

    // A sync that fails after a whole write takes the contact back out
    // while nothing follows it. With another program's line behind it, the
    // contact stays (taking it out would take that line too), the Save says
    // it may not be on the disk, and the next Save writes only the next
    // contact.
    void failedSyncRemovesNothingElse_data() {
        QTest::addColumn<bool>("otherAppends");
        QTest::addColumn<int>("state");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("nothing follows")
            << false << int(SaveState::NotSaved) << QByteArray("A\r\nNEXT\r\n");
        QTest::newRow("another program appends")
            << true << int(SaveState::Unconfirmed) << QByteArray("A\r\nREC\r\nOTHER\r\nNEXT\r\n");
    }
    void failedSyncRemovesNothingElse() {
        QFETCH(bool, otherAppends);
        QFETCH(int, state);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        writeAll(path, "A\r\n");
        {
            Faults faults;
            faults.fdatasync = [&](int) {
                if (otherAppends)
                    appendAsAnotherProgram(path, "OTHER\r\n");
                errno = EIO;
                return -1;
            };
            const SaveResult first = save(path, "REC\r\n");
            QCOMPARE(int(first.state), state);
            QCOMPARE(first.error.error, EIO);
        }
        const SaveResult next = save(path, "NEXT\r\n");
        QCOMPARE(next.state, SaveState::Saved);
        QCOMPARE(next.recoveryNote, QString());
        QCOMPARE(readAll(path), after);
        QVERIFY(!QFile::exists(journalPath(path)));
    }

    // The calls that make a contact or a new log durable, in order: the
    // journal and its folder entry before the log is touched.
    void durabilityCalls_data() {
        QTest::addColumn<bool>("logExists");
        QTest::addColumn<bool>("append");
        QTest::addColumn<QStringList>("calls");
        const QStringList journaled{"write journal", "fsync journal", "fsync folder", "write log",
                                    "fdatasync log"};
        QTest::newRow("create a new log")
            << false << false << QStringList{"fsync log", "fsync folder"};
        QTest::newRow("create over an existing log") << true << false << QStringList{};
        QTest::newRow("append") << true << true << journaled;
        QTest::newRow("append to a vanished log")
            << false << true << QStringList{"fsync log", "fsync folder"} + journaled;
    }
    void durabilityCalls() {
        QFETCH(bool, logExists);
        QFETCH(bool, append);
        QFETCH(QStringList, calls);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        if (logExists)
            writeAll(path, "A\r\n");
        Faults faults;
        if (append)
            QCOMPARE(save(path, "R\r\n").state, SaveState::Saved);
        else
            QVERIFY(createLog(path).ok());
        QCOMPARE(faults.calls, calls);
    }

    // A FIFO or a device in the log's place is refused at once, by every
    // call that opens the log; none of them may block or read without end.
    void notARegularFileNeverBlocks_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo"
                              << "It is a FIFO (named pipe), not a regular file";
        QTest::newRow("symlink to a FIFO") << "link to fifo"
                                           << "It is a FIFO (named pipe), not a regular file";
        QTest::newRow("symlink to /dev/zero") << "link to /dev/zero"
                                              << "It is a character device, not a regular file";
    }
    void notARegularFileNeverBlocks() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
        QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0644), 0);
        else
            QCOMPARE(::symlink(kind == "link to fifo" ? fifo.constData() : "/dev/zero",
                               name.constData()),
                     0);
        const tavrelo::OsError created = createLog(path);
        QVERIFY2(created.message().endsWith(reason + '.'), qPrintable(created.message()));
        const SaveResult saved = save(path, "R\r\n");
        QCOMPARE(saved.state, SaveState::NotSaved);
        QVERIFY2(saved.error.message().contains(reason), qPrintable(saved.error.message()));
        const ReadResult read = readLogBlocks(path, [](const char*, const char*) {});
        QCOMPARE(read.status, ReadStatus::Failed);
        QVERIFY2(read.error.message().contains(path), qPrintable(read.error.message()));
        QVERIFY(read.error.message().contains(reason));
    }

    // A lock that something else holds for long ends the save with an error
    // instead of freezing the window.
    void lockHeldElsewhereIsAnError() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        writeAll(path, "A\r\n");
        const int holder = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        QCOMPARE(::flock(holder, LOCK_EX), 0);
        const SaveResult r = save(path, "R\r\n");
        ::close(holder);
        QCOMPARE(r.state, SaveState::NotSaved);
        QVERIFY2(r.error.message().contains("held it locked"), qPrintable(r.error.message()));
        QCOMPARE(readAll(path), QByteArray("A\r\n"));
    }

    // Several copies of the program saving at once leave only whole lines.
    void concurrentAppendsStayWhole() {
        QTemporaryDir dir(scratchBase());
        const QString path = logPath(dir.path());
        const int writers = 4, perWriter = 5000;
        QList<QProcess*> procs;
        for (int w = 0; w < writers; ++w) {
            auto* p = new QProcess(this);
            p->start(QCoreApplication::applicationDirPath() + "/append_helper",
                     {path, QString::number(perWriter), QStringLiteral("W%1").arg(w)});
            procs << p;
        }
        for (QProcess* p : procs) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
        }
        const QList<QByteArray> lines = readAll(path).split('\n');
        QCOMPARE(lines.size(), writers * perWriter + 1);
        QVERIFY(lines.last().isEmpty());
        QList<int> next(writers, 0);
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const QList<QByteArray> f = lines[i].chopped(1).split(',');
            QCOMPARE(f.size(), 8);
            const int w = f[3].trimmed().mid(1).toInt();
            // Each writer's records arrive whole and in its own order.
            QCOMPARE(f[4].trimmed().toInt(), next[w]++);
            QCOMPARE(lines[i],
                     buildRecord({"2026-Dec-07", "12:00:00", "20m", QStringLiteral("W%1").arg(w),
                                  QString::number(next[w] - 1), "Somewhere far away", "599", "579"})
                         .chopped(1));
        }
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
