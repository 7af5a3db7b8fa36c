#include "LogFile.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/resource.h>

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

} // namespace

class TestLogFile : public QObject {
    Q_OBJECT

private slots:
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
        QTest::newRow("utf-8, tab kept")
            << QStringList{"", "", "", "", "Müller\tJr", "Zürich", "", ""}
            << QByteArray(",  ,  ,  ,  M\xc3\xbcller\tJr,  Z\xc3\xbcrich,  ,  \r\n");
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

    void createFailsInMissingFolder() {
        QTemporaryDir dir;
        const LogError e = createLog(dir.filePath("absent/Tavrelo.txt"));
        QCOMPARE(e.error, ENOENT);
        QVERIFY(e.message().contains("absent/Tavrelo.txt"));
        QVERIFY(e.message().contains("Error 2:"));
    }

    void appendStartsOnFreshLine_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("empty log") << QByteArray() << QByteArray("R\r\n");
        QTest::newRow("ends in CR LF") << QByteArray("a\r\n") << QByteArray("a\r\nR\r\n");
        QTest::newRow("ends in LF") << QByteArray("a\n") << QByteArray("a\nR\r\n");
        QTest::newRow("no final end") << QByteArray("a") << QByteArray("a\r\nR\r\n");
        QTest::newRow("ends in CR") << QByteArray("a\r") << QByteArray("a\r\r\nR\r\n");
    }
    void appendStartsOnFreshLine() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        writeAll(path, before);
        QVERIFY(appendRecord(path, "R\r\n").ok());
        QCOMPARE(readAll(path), after);
    }

    void appendRecreatesVanishedLog() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        QVERIFY(appendRecord(path, "R\r\n").ok());
        QCOMPARE(readAll(path), QByteArray("R\r\n"));
    }

    void appendToFolderFails() {
        QTemporaryDir dir;
        const QString path = logPath(dir.path());
        QVERIFY(QDir().mkdir(path));
        const LogError e = appendRecord(path, "R\r\n");
        QCOMPARE(e.error, EISDIR);
        QVERIFY(!e.description.isEmpty());
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
        const LogError e = appendRecord(path, "a record longer than the limit\r\n");
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(e.error, EFBIG);
        QCOMPARE(readAll(path), before);
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
