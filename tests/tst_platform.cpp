// SPDX-License-Identifier: GPL-3.0-or-later
#include "Paths.h"
#include "QtPlatform.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <optional>

using namespace tavrelo;

namespace {

// Puts a stand-in xdg-open first on PATH for the lifetime of the object.
struct StubOpener {
    QTemporaryDir dir;
    QByteArray oldPath = qgetenv("PATH");

    explicit StubOpener(const QString& script) {
        QFile stub(dir.filePath("xdg-open"));
        if (stub.open(QIODevice::WriteOnly))
            stub.write(("#!/bin/sh\n" + script + "\n").toUtf8());
        stub.close();
        stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", QFile::encodeName(dir.path()) + ":/usr/bin:/bin");
    }
    ~StubOpener() { qputenv("PATH", oldPath); }
};

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    // The data folder from the environment: a relative XDG_DATA_HOME is
    // ignored, and without an absolute HOME there is none.
    void dataFolder_data() {
        QTest::addColumn<QByteArray>("xdg");
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG_DATA_HOME") << QByteArray("/data") << QByteArray("/home/op") << "/data";
        QTest::newRow("default") << QByteArray() << QByteArray("/home/op")
                                 << "/home/op/.local/share";
        QTest::newRow("relative XDG_DATA_HOME")
            << QByteArray("data") << QByteArray("/home/op") << "/home/op/.local/share";
        QTest::newRow("no HOME") << QByteArray() << QByteArray() << "";
        QTest::newRow("relative HOME") << QByteArray() << QByteArray("op") << "";
    }
    void dataFolder() {
        QFETCH(QByteArray, xdg);
        QFETCH(QByteArray, home);
        QFETCH(QString, expected);
        const QByteArray oldXdg = qgetenv("XDG_DATA_HOME"), oldHome = qgetenv("HOME");
        xdg.isEmpty() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", xdg);
        home.isEmpty() ? qunsetenv("HOME") : qputenv("HOME", home);
        const QString found = userDataDirectory();
        qputenv("XDG_DATA_HOME", oldXdg);
        qputenv("HOME", oldHome);
        QCOMPARE(found, expected);
    }

    // The package's folder and the system's are installed ones; a folder
    // of the user's own is not.
    void installedFolders() {
        QVERIFY(isInstalledProgramFolder(QStringLiteral("/usr/bin")));
        QVERIFY(isInstalledProgramFolder(QStringLiteral("/usr/local/bin/")));
        QTemporaryDir mine;
        QVERIFY(QDir(mine.path()).mkpath("usr/bin"));
        QVERIFY(!isInstalledProgramFolder(mine.filePath("usr/bin")));
        // Unpacked from the package, wherever that is.
        QVERIFY(QDir(mine.path()).mkpath("usr/share/applications"));
        QFile entry(mine.filePath("usr/share/applications/tavrelo.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.close();
        QVERIFY(isInstalledProgramFolder(mine.filePath("usr/bin")));
    }

    // The opener gets the path as one argument, with no shell in between.
    void openerGetsPathWhole() {
        QTemporaryDir out;
        const QString record = out.filePath("args");
        StubOpener stub(QStringLiteral("printf '%s\\n' \"$#\" \"$@\" > '%1'").arg(record));
        QtPlatform platform;
        const QString path = out.filePath("a b; 'c' $(d)/Tavrelo.txt");
        QVERIFY(platform.openInEditor(path, {}).ok());
        QTRY_VERIFY(QFileInfo(record).size() > 0);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), "1\n" + path + "\n");
    }

    // An opener that starts but then fails is reported once it has ended.
    void openerThatEndsBadly_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected"); // empty: no failure
        QTest::newRow("success") << "exit 0" << QString();
        QTest::newRow("no program for the file")
            << "exit 3"
            << "xdg-open ended with exit status 3: it found no program that opens";
        QTest::newRow("action failed")
            << "exit 4"
            << "xdg-open ended with exit status 4: the program it started failed";
        QTest::newRow("killed") << "kill -9 $$"
                                << "xdg-open was ended by signal 9";
    }
    void openerThatEndsBadly() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        StubOpener stub(QStringLiteral("touch \"$1.seen\"; ") + script);
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        QtPlatform platform;
        std::optional<OsError> reported;
        QVERIFY(platform.openInEditor(path, [&](const OsError& e) { reported = e; }).ok());
        QTRY_VERIFY(QFileInfo::exists(path + ".seen"));
        if (expected.isEmpty()) {
            QTest::qWait(300);
            QVERIFY(!reported);
            return;
        }
        QTRY_VERIFY(reported.has_value());
        QVERIFY2(reported->message().contains(expected), qPrintable(reported->message()));
        QVERIFY(reported->message().contains(path));
    }

    // A missing opener is named as such; the message does not read as if the
    // log were missing.
    void missingOpenerIsAnError() {
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", "/nonexistent-tavrelo-path");
        QtPlatform platform;
        const OsError e = platform.openInEditor(QStringLiteral("/tmp/Tavrelo.txt"), {});
        qputenv("PATH", oldPath);
        QCOMPARE(e.error, ENOENT);
        QCOMPARE(e.message(), QStringLiteral("Could not start the text editor xdg-open.\n"
                                             "Error 2: No such file or directory."));
    }
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
