// SPDX-License-Identifier: GPL-3.0-or-later
#include "CallHistory.h"
#include "Oracle.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

using namespace tavrelo;

namespace {

QString writeLog(const QTemporaryDir& dir, const QByteArray& bytes) {
    const QString path = dir.filePath("Tavrelo.txt");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
    return path;
}

using oracle::plainLines;

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

private slots:
    void lookup_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("pane");

        const QByteArray log = "a,  ZZ9ZZ,  Hans\r\n"
                               "b,  DL1ABC,  Berlin\r\n"
                               "c,  zz9zz,  Eva\r\n";
        QTest::newRow("both cases, newest first") << log << "zz9"
                                                  << "c,  zz9zz,  Eva\r\na,  ZZ9ZZ,  Hans\r\n";
        QTest::newRow("upper-case call") << log << "DL1"
                                         << "b,  DL1ABC,  Berlin\r\n";
        QTest::newRow("in the QTH") << log << "BER"
                                    << "b,  DL1ABC,  Berlin\r\n";
        QTest::newRow("no match") << log << "XYZ"
                                  << "";
        QTest::newRow("empty log") << QByteArray() << "ZZ9"
                                   << "";
        QTest::newRow("LF only") << QByteArray("ZZ9A\nx\nzz9b\n") << "ZZ9"
                                 << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("mixed ends, no final end") << QByteArray("ZZ9A\r\nx\nzz9b") << "zz9"
                                                  << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("match at the very end") << QByteArray("x\nabZZ9") << "zz9"
                                               << "abZZ9\r\n";
        QTest::newRow("not across a CR LF") << QByteArray("abZZ\r\n9x\r\n") << "zz\r"
                                            << "";
        QTest::newRow("lone CR ends a line") << QByteArray("ab\rZZ9\r\n") << "zz9"
                                             << "ZZ9\r\n";
        QTest::newRow("old editor, CR only")
            << QByteArray("1,  ZZ9A,  Hans\r2,  DL1ABC,  Eva\r3,  zz9b,  Jo\r") << "zz9"
            << "3,  zz9b,  Jo\r\n1,  ZZ9A,  Hans\r\n";
        QTest::newRow("CR only, no final end") << QByteArray("ZZ9A\rx\rzz9b") << "ZZ9"
                                               << "zz9b\r\nZZ9A\r\n";
        QTest::newRow("empty lines between CR and CR LF") << QByteArray("\r\r\nZZ9\r\r\n") << "zz9"
                                                          << "ZZ9\r\n";
        QTest::newRow("NUL bytes") << QByteArray("a\0ZZ9\0b\r\nc\r\n", 13) << "zz9"
                                   << QString::fromLatin1("a\0ZZ9\0b\r\n", 9);
        QTest::newRow("Windows-1252 line by a non-ASCII call")
            << QByteArray("x,  M\xfcller,  K\xf6ln\r\ny,  Meier\r\n") << "MÜL"
            << "x,  Müller,  Köln\r\n";
        QTest::newRow("UTF-8 line by a non-ASCII call")
            << QByteArray("x,  M\xc3\xbcller\r\n") << "mÜl"
            << "x,  Müller\r\n";
        QTest::newRow("Windows-1252 shown decoded")
            << QByteArray("ZZ9,  \x80 \x93quoted\x94\r\n") << "zz9"
            << "ZZ9,  \u20ac \u201cquoted\u201d\r\n";
        QTest::newRow("symbols are not letters") << QByteArray("a[b\nA{B\n") << "a[b"
                                                 << "a[b\r\n";
    }
    void lookup() {
        QFETCH(QByteArray, log);
        QFETCH(QString, call);
        QFETCH(QString, pane);
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(writeLog(dir, log), call);
        QCOMPARE(r.read.status, logfile::ReadStatus::Read);
        QCOMPARE(r.paneText(), pane);
        QCOMPARE(r.count(), pane.count(QStringLiteral("\r\n")));
    }

    // Lines far longer than the read buffer, and matches on every side of
    // the buffer's edges.
    void longLines() {
        QByteArray log;
        log += QByteArray(10 * 1024 * 1024, 'x') + "ZZ9" + QByteArray(100, 'y') + "\r\n";
        log += "short zz9\r\n";
        for (int i = 0; i < 5000; ++i)
            log += QByteArray(i % 300, 'q') + (i % 7 == 0 ? "Zz9" : "zz8") + "\r\n";
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(writeLog(dir, log), "ZZ9");
        qsizetype expected = 0;
        for (const QByteArray& line : plainLines(log))
            expected += line.toLower().contains("zz9");
        QCOMPARE(r.count(), expected);
        // The 10 MB line is shown cut short, saying how long it is.
        const qsizetype bytes = 10 * 1024 * 1024 + 103;
        QVERIFY(r.paneText().endsWith(
            QString(history::MaxPaneLineBytes, 'x') +
            QStringLiteral(" \u2026 [line of %1 bytes cut short]\r\n").arg(bytes)));
    }

    // A line is cut before a character, never inside its UTF-8 bytes.
    void longLineCutOnCharacter() {
        QTemporaryDir dir;
        const QByteArray line =
            "ZZ9" + QByteArray(history::MaxPaneLineBytes - 4, 'a') + "\xc3\xa9tail\n";
        const history::LookupResult r = history::lookUp(writeLog(dir, line), "zz9");
        QVERIFY(r.paneText().startsWith("ZZ9aaa"));
        QVERIFY(r.paneText().contains(
            QStringLiteral("a \u2026 [line of %1 bytes").arg(line.size() - 1)));
        QVERIFY(!r.paneText().contains(QChar(0xC3)));
    }

    // The cut falls inside a 2-, 3- or 4-byte character at each of its
    // inner bytes: the whole character goes, and no broken byte shows.
    void longLineCutInsideCharacter_data() {
        QTest::addColumn<QByteArray>("character");
        QTest::addColumn<int>("before"); // its bytes before the cut
        const QList<QByteArray> characters = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\xbb"};
        for (const QByteArray& c : characters) {
            for (int k = 1; k < c.size(); ++k)
                QTest::addRow("%d bytes, %d before the cut", int(c.size()), k) << c << k;
        }
    }
    void longLineCutInsideCharacter() {
        QFETCH(QByteArray, character);
        QFETCH(int, before);
        QTemporaryDir dir;
        const QByteArray line =
            "ZZ9" + QByteArray(history::MaxPaneLineBytes - 3 - before, 'a') + character + "tail\n";
        const history::LookupResult r = history::lookUp(writeLog(dir, line), "zz9");
        const QString text = r.paneText();
        QVERIFY(text.contains(QStringLiteral("a \u2026 [line of %1 bytes").arg(line.size() - 1)));
        QVERIFY(!text.contains(QChar(QChar::ReplacementCharacter)));
        QVERIFY(!text.contains(QString::fromUtf8(character)));
        QCOMPARE(text.indexOf(QStringLiteral(" \u2026")), history::MaxPaneLineBytes - before);
    }

    // Both searches, the x86 vector one and the one for every processor,
    // must agree with the plain definition on any bytes.
    void scanAgreesWithPlainMatch_data() {
        QTest::addColumn<bool>("portable");
        QTest::newRow("this processor's search") << false;
        QTest::newRow("portable search") << true;
    }
    void scanAgreesWithPlainMatch() {
        QFETCH(bool, portable);
        history::usePortableSearch(portable);
        QRandomGenerator rng(12345);
        const char alphabet[] = "aAzZ9b\r\n\0\xfc\xc3\xbc[{ ,";
        const QStringList calls = {"az9",   "Az",   "A",
                                   "zz9zz", "\xfc", "Ü",
                                   "a{",    ", ",   "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaz"};
        for (int round = 0; round < 300; ++round) {
            QByteArray block;
            const int n = int(rng.bounded(400));
            for (int i = 0; i < n; ++i)
                block += alphabet[rng.bounded(int(sizeof alphabet - 1))];
            for (const QString& call : calls) {
                const history::CallMatcher matcher(call);
                QList<QByteArray> found;
                matcher.scan(block.constBegin(), block.constEnd(),
                             [&](const char* b, const char* e) { found << QByteArray(b, e - b); });
                QList<QByteArray> expected;
                for (const QByteArray& line : plainLines(block)) {
                    if (oracle::plainMatch(line, call))
                        expected << line;
                }
                if (found != expected) {
                    history::usePortableSearch(false);
                    QFAIL(qPrintable(QStringLiteral("call %1 on %2")
                                         .arg(call, QString::fromLatin1(block.toHex()))));
                }
            }
        }
        history::usePortableSearch(false);
    }

    // However the chunks fall, the reader gives the lines of a plain split,
    // a CR at a chunk's end waiting to see whether an LF follows.
    void readerLines_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("every kind of end") << QByteArray("ab\rcd\r\nef\ngh\r\r\nij\r\n\nkl\r");
        QTest::newRow("no final end") << QByteArray("abc\rdefgh\r\nij");
        QTest::newRow("CR runs") << QByteArray("\r\r\r\na\r\r");
        QTest::newRow("one long line, CR only") << QByteArray(40, 'x') + "\r" + QByteArray(3, 'y');
    }
    void readerLines() {
        QFETCH(QByteArray, log);
        QTemporaryDir dir;
        const QString path = writeLog(dir, log);
        for (size_t chunk = 1; chunk <= 9; ++chunk) {
            QList<QByteArray> lines;
            const auto r = logfile::readLogBlocks(
                path,
                [&](const char* b, const char* e) {
                    logfile::forEachLine(b, e, [&](const char* lb, const char* le) {
                        lines << QByteArray(lb, le - lb);
                    });
                },
                chunk);
            QCOMPARE(r.status, logfile::ReadStatus::Read);
            QVERIFY2(lines == plainLines(log), qPrintable(QStringLiteral("chunk %1").arg(chunk)));
        }
    }

    void missingLogIsEmptyHistory() {
        QTemporaryDir dir;
        const history::LookupResult r = history::lookUp(dir.filePath("Tavrelo.txt"), "ZZ9");
        QCOMPARE(r.read.status, logfile::ReadStatus::Missing);
        QVERIFY(r.paneText().isEmpty());
    }

    void unreadableLogIsAnError() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Tavrelo.txt"));
        const history::LookupResult r = history::lookUp(dir.filePath("Tavrelo.txt"), "ZZ9");
        QCOMPARE(r.read.status, logfile::ReadStatus::Failed);
        QCOMPARE(r.read.error.message(),
                 QStringLiteral("Could not read the log %1.\nIt is a folder, "
                                "not a file.")
                     .arg(dir.filePath("Tavrelo.txt")));
    }

    void decode_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QByteArray("abc") << "abc";
        QTest::newRow("utf-8") << QByteArray("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb") << "é€📻";
        QTest::newRow("1252") << QByteArray("\xe9\x80") << "é€";
        QTest::newRow("overlong is not UTF-8") << QByteArray("\xc0\xaf") << "À¯";
        QTest::newRow("surrogate is not UTF-8") << QByteArray("\xed\xa0\x80") << "í\u00a0\u20ac";
        QTest::newRow("cut sequence") << QByteArray("a\xc3") << "aÃ";
    }
    void decode() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(logfile::decodeLine(bytes.constBegin(), bytes.constEnd()), text);
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
