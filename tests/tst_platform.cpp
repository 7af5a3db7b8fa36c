#include "QtPlatform.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

using namespace tavrelo;

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    // The opener gets the path as one argument, with no shell in between.
    void openerGetsPathWhole() {
        QTemporaryDir dir;
        const QString record = dir.filePath("args");
        QFile stub(dir.filePath("xdg-open"));
        QVERIFY(stub.open(QIODevice::WriteOnly));
        stub.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '%1'\n")
                       .arg(record)
                       .toUtf8());
        stub.close();
        stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir.path()) + ":/usr/bin:/bin");

        QtPlatform platform;
        const QString path = dir.filePath("a b; 'c' $(d)/Tavrelo.txt");
        const OsResult result = platform.openInEditor(path);
        qputenv("PATH", oldPath);
        QVERIFY(result.ok());
        QTRY_VERIFY(QFileInfo(record).size() > 0);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), "1\n" + path + "\n");
    }

    void missingOpenerIsAnError() {
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", "/nonexistent-tavrelo-path");
        QtPlatform platform;
        const OsResult result = platform.openInEditor(QStringLiteral("/tmp/Tavrelo.txt"));
        qputenv("PATH", oldPath);
        QCOMPARE(result.error, ENOENT);
        QCOMPARE(result.description, QStringLiteral("No such file or directory"));
    }
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
