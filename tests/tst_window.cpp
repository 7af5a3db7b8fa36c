#include "FakePlatform.h"
#include "Tavrelo.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimeZone>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <memory>

using namespace tavrelo;

namespace {

// A window on a fake platform, with its log in a fresh folder and its timer
// stopped, so that a test decides when the clock ticks.
struct Fixture {
    QTemporaryDir dir;
    FakePlatform platform;
    std::unique_ptr<Tavrelo> window;

    explicit Fixture(const QString& folderName = QString()) {
        platform.directory = dir.path();
        if (!folderName.isEmpty()) {
            QDir(dir.path()).mkdir(folderName);
            platform.directory = dir.filePath(folderName);
        }
        platform.now = QDateTime(QDate(2026, 12, 7), QTime(10, 20, 30), QTimeZone("Europe/Berlin"));
        window = std::make_unique<Tavrelo>(platform);
        loadError = window->load();
        window->Timer1->stop();
    }
    logfile::LogError loadError;

    QLineEdit* box(int i) const { return window->Text1[size_t(i)]; }
    QString logPath() const { return platform.directory + "/Tavrelo.txt"; }
    QByteArray log() const {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void writeLog(const QByteArray& bytes) const {
        QFile f(logPath());
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    void tick() const { QMetaObject::invokeMethod(window->Timer1, "timeout"); }
    void fill(const QStringList& texts) const {
        for (int i = 0; i < texts.size(); ++i)
            box(i)->setText(texts[i]);
    }
    QStringList texts() const {
        QStringList t;
        for (QLineEdit* b : window->Text1)
            t << b->text();
        return t;
    }
    void save() const { QTest::mouseClick(window->Command1, Qt::LeftButton); }
    void doubleClick(int i) const { QTest::mouseDClick(box(i), Qt::LeftButton); }
    QStringList paneLines() const {
        QStringList lines = window->Text2->toPlainText().split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    // The text of the error message the window shows, closing it; empty if none.
    QString takeMessage() const {
        QString text;
        for (QMessageBox* m : window->findChildren<QMessageBox*>()) {
            text += m->text();
            m->close();
            delete m;
        }
        return text;
    }
};

const QStringList exampleContact = {"2006-Nov-18", "14:05:33", "40m", "ZZ9ZZ",
                                    "Hans",        "Berlin",   "599", "579"};

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void controls_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QColor>("background"); // invalid: the style's own
        QTest::addColumn<int>("tabPosition");   // -1: takes no focus

        const QColor tip = QPalette().color(QPalette::ToolTipBase);
        const QColor green(192, 255, 192);
        struct Col {
            const char* caption;
            QRect label, box;
        };
        const Col cols[] = {{"Date", {6, 15, 102, 23}, {6, 38, 102, 23}},
                            {"UTC", {108, 15, 72, 23}, {108, 38, 72, 23}},
                            {"Band", {180, 15, 95, 23}, {180, 38, 95, 23}},
                            {"Call", {275, 15, 66, 23}, {275, 38, 66, 23}},
                            {"Name", {341, 15, 99, 23}, {341, 38, 99, 23}},
                            {"QTH", {440, 15, 106, 23}, {440, 38, 106, 23}},
                            {"RSTs", {546, 15, 53, 23}, {546, 38, 53, 23}},
                            {"RSTr", {599, 15, 52, 23}, {599, 38, 52, 23}}};
        for (int i = 0; i < 8; ++i) {
            QTest::addRow("Label1(%d)", i) << QStringLiteral("Label1(%1)").arg(i) << cols[i].label
                                           << cols[i].caption << QColor() << -1;
            QTest::addRow("Text1(%d)", i) << QStringLiteral("Text1(%1)").arg(i) << cols[i].box << ""
                                          << (i < 3 ? tip : green) << i + 1;
        }
        QTest::newRow("Command1") << "Command1" << QRect(660, 40, 99, 27) << "Save" << QColor()
                                  << 0;
        QTest::newRow("Command2") << "Command2" << QRect(660, 9, 99, 26) << "Open" << QColor()
                                  << 10;
        QTest::newRow("Text2") << "Text2" << QRect(6, 77, 752, 105) << "" << QColor() << 9;
    }
    void controls() {
        QFETCH(QString, control);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(QColor, background);
        QFETCH(int, tabPosition);

        Fixture f;
        Tavrelo& w = *f.window;
        QWidget* widget = nullptr;
        QString text;
        if (control.startsWith("Label1")) {
            QLabel* label = w.Label1[size_t(control.mid(7, 1).toInt())];
            widget = label;
            text = label->text();
            QCOMPARE(label->alignment(), Qt::AlignCenter);
            QCOMPARE(label->frameShape(), QFrame::Box);
            QCOMPARE(label->lineWidth(), 1);
        } else if (control.startsWith("Text1")) {
            QLineEdit* box = w.Text1[size_t(control.mid(6, 1).toInt())];
            widget = box;
            text = box->text();
            QCOMPARE(box->palette().color(QPalette::Base), background);
        } else if (control == "Text2") {
            widget = w.Text2;
            text = w.Text2->toPlainText();
            QCOMPARE(w.Text2->lineWrapMode(), QPlainTextEdit::NoWrap);
            QCOMPARE(w.Text2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            QCOMPARE(w.Text2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            QVERIFY(!w.Text2->isReadOnly());
        } else {
            auto* button = control == "Command1" ? w.Command1 : w.Command2;
            widget = button;
            text = button->text();
        }
        QCOMPARE(widget->parentWidget(), &w);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(text, caption);
        QCOMPARE(widget->font().family(), QStringLiteral("Arial"));
        QCOMPARE(widget->font().pointSize(), 12);
        QCOMPARE(widget->font().weight(), QFont::Bold);

        // Walk the focus chain from Save.
        QWidget* step = w.Command1;
        int position = 0;
        while (step != widget && position < 20) {
            step = step->nextInFocusChain();
            if (step->focusPolicy() & Qt::TabFocus)
                ++position;
        }
        QCOMPARE(tabPosition == -1 ? widget->focusPolicy() & Qt::TabFocus : position,
                 tabPosition == -1 ? 0 : tabPosition);
    }

    void startUp() {
        Fixture f;
        Tavrelo& w = *f.window;
        QVERIFY(f.loadError.ok());
        QCOMPARE(w.windowTitle(), QStringLiteral("Tavrelo"));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(16, 16));
        QCOMPARE(w.size(), QSize(767, 74));
        QCOMPARE(w.focusWidget(), w.Command1);
        QCOMPARE(w.Text1[0]->text(), QString());
        QCOMPARE(w.Text1[1]->text(), QString());
        QVERIFY(QFileInfo(f.logPath()).isFile());
        QCOMPARE(QFileInfo(f.logPath()).size(), 0);
        // The clock ticks every second, on time.
        Tavrelo fresh(f.platform);
        QVERIFY(fresh.Timer1->isActive());
        QCOMPARE(fresh.Timer1->interval(), 1000);
        QCOMPARE(fresh.Timer1->timerType(), Qt::PreciseTimer);
    }

    void startUpFailsWithoutFolder() {
        FakePlatform platform;
        platform.directory = "/nonexistent-tavrelo-folder";
        Tavrelo w(platform);
        const logfile::LogError e = w.load();
        QCOMPARE(e.error, ENOENT);
        QVERIFY(e.message().contains("/nonexistent-tavrelo-folder/Tavrelo.txt"));
    }

    void saveWritesRecord_data() {
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("example")
            << exampleContact
            << QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n");
        QTest::newRow("all empty") << QStringList(8, "") << QByteArray(",  ,  ,  ,  ,  ,  ,  \r\n");
        QTest::newRow("comma in name")
            << QStringList{"", "", "", "ZZ9ZZ", "Smith, John", "", "", ""}
            << QByteArray(",  ,  ,  ZZ9ZZ,  Smith, John,  ,  ,  \r\n");
    }
    void saveWritesRecord() {
        QFETCH(QStringList, boxes);
        QFETCH(QByteArray, record);
        Fixture f;
        f.fill(boxes);
        f.save();
        QCOMPARE(f.log(), record);
        QStringList after(8, "");
        after[2] = boxes[2];
        QCOMPARE(f.texts(), after);
        QVERIFY(f.takeMessage().isEmpty());
    }

    void bandKeptAcrossSaves() {
        Fixture f;
        f.fill(exampleContact);
        f.save();
        f.save();
        QCOMPARE(f.log(),
                 QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n"
                            ",  ,  40m,  ,  ,  ,  ,  \r\n"));
    }

    // A failed save changes nothing the operator typed, says why, and the
    // program goes on; the same contact saves once the log is writable again.
    void failedSaveKeepsBoxes() {
        Fixture f;
        QVERIFY(QFile::remove(f.logPath()));
        QVERIFY(QDir().mkdir(f.logPath()));
        f.fill(exampleContact);
        f.box(3)->setText("ZZ9ZZ");
        f.save();
        QCOMPARE(f.texts(), exampleContact);
        const QString message = f.takeMessage();
        QVERIFY2(message.contains("Error 21: Is a directory"), qPrintable(message));
        QVERIFY(message.contains(f.logPath()));
        QVERIFY(QDir().rmdir(f.logPath()));
        f.save();
        QCOMPARE(
            f.log(),
            QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n"));
    }

    void saveCollapsesExpandedWindow() {
        Fixture f;
        f.writeLog("x,  ZZ9ZZ\r\n");
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        f.save();
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
    }

    void openHandsEditorThePath() {
        Fixture f("log folder; with 'quotes' & spaces");
        QVERIFY(f.loadError.ok());
        f.fill(exampleContact);
        QTest::mouseClick(f.window->Command2, Qt::LeftButton);
        QCOMPARE(f.platform.openedPaths, QStringList{f.logPath()});
        QCOMPARE(f.texts(), exampleContact);
        QVERIFY(f.takeMessage().isEmpty());
    }

    void openFailureIsReported() {
        Fixture f;
        f.platform.editorError = ENOENT;
        f.fill(exampleContact);
        QTest::mouseClick(f.window->Command2, Qt::LeftButton);
        const QString message = f.takeMessage();
        QVERIFY2(message.contains("Error 2: No such file or directory"), qPrintable(message));
        QCOMPARE(f.texts(), exampleContact);
    }

    // Each tick reads the clock once and shows the true UTC time, so a
    // change to winter time during a run takes effect at the next tick.
    void tickShowsUtc() {
        Fixture f;
        const QTimeZone berlin("Europe/Berlin");
        f.platform.now =
            QDateTime(QDate(2026, 10, 25), QTime(0, 59, 59), QTimeZone::utc()).toTimeZone(berlin);
        f.platform.clockReads = 0;
        f.tick();
        QCOMPARE(f.platform.clockReads, 1);
        QCOMPARE(f.box(0)->text(), QStringLiteral("2026-Oct-25"));
        QCOMPARE(f.box(1)->text(), QStringLiteral("00:59:59"));
        QVERIFY(qAbs(f.window->zoneOffset() + 2.0 / 24) < 1e-12);
        f.platform.now = f.platform.now.addSecs(1); // local 02:00:00 again, now CET
        f.tick();
        QCOMPARE(f.box(1)->text(), QStringLiteral("01:00:00"));
        QVERIFY(qAbs(f.window->zoneOffset() + 1.0 / 24) < 1e-12);
        QCOMPARE(f.window->Datum(f.platform.now), QStringLiteral("2026-Oct-25"));
        QCOMPARE(f.window->Uhrzeit(f.platform.now), QStringLiteral("02:00"));
        QCOMPARE(f.window->Uhrzeit2(f.platform.now), QStringLiteral("02:00:00"));
    }

    // A record carries the latest tick; before the first tick and right after
    // a save, date and time are empty.
    void recordCarriesLatestTick() {
        Fixture f;
        f.box(3)->setText("ZZ9ZZ");
        f.save();
        f.tick(); // 10:20:30 in Berlin is 09:20:30 UTC
        f.box(3)->setText("DL1ABC");
        f.save();
        QCOMPARE(f.box(0)->text(), QString());
        QCOMPARE(f.box(1)->text(), QString());
        f.save();
        QCOMPARE(f.log(), QByteArray(",  ,  ,  ZZ9ZZ,  ,  ,  ,  \r\n"
                                     "2026-Dec-07,  09:20:30,  ,  DL1ABC,  ,  ,  ,  \r\n"
                                     ",  ,  ,  ,  ,  ,  ,  \r\n"));
    }

    void lookupWhileTyping() {
        Fixture f;
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n2,  DL1ABC,  Berlin\r\n3,  zz9zz,  Eva\r\n");
        QTest::keyClicks(f.box(3), "zz");
        QCOMPARE(f.window->Text2->toPlainText(), QString());
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QTest::keyClicks(f.box(3), "9");
        QCOMPARE(f.paneLines(), (QStringList{"3,  zz9zz,  Eva", "1,  ZZ9ZZ,  Hans"}));
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        QTest::keyClicks(f.box(3), "X");
        QCOMPARE(f.paneLines(), QStringList());
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QTest::keyClick(f.box(3), Qt::Key_Backspace);
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        // Back to two characters: collapsed, the last result kept hidden.
        QTest::keyClick(f.box(3), Qt::Key_Backspace);
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QCOMPARE(f.paneLines().size(), 2);
        // Other boxes never start a lookup, whatever the call holds.
        f.box(3)->setText("BER");
        QCOMPARE(f.paneLines(), QStringList{"2,  DL1ABC,  Berlin"});
        f.writeLog("");
        f.box(5)->setText("Berlin");
        f.box(0)->setText("x");
        QCOMPARE(f.paneLines(), QStringList{"2,  DL1ABC,  Berlin"});
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
    }

    void savedContactLeadsHistory() {
        Fixture f;
        f.writeLog("old,  ZZ9ZZ\r\n");
        f.fill(exampleContact);
        f.save();
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines(),
                 (QStringList{QString::fromLatin1("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  "
                                                  "Berlin,  599,  579"),
                              "old,  ZZ9ZZ"}));
    }

    // A long history goes into the pane in slices; a new keystroke replaces
    // a result still being appended.
    void longHistoryFillsInSlices() {
        Fixture f;
        QByteArray log;
        QStringList newestFirst;
        for (int i = 0; i < 1300; ++i) {
            const QByteArray line = QByteArray::number(i) + (i % 2 ? ",  ZZ9ZZ" : ",  ZZ9ABC");
            log += line + "\r\n";
            newestFirst.prepend(QString::fromLatin1(line));
        }
        f.writeLog(log);
        QTest::keyClicks(f.box(3), "ZZ9");
        QVERIFY(f.window->isHistoryFilling());
        QCOMPARE(f.paneLines().size(), 500);
        QTRY_VERIFY(!f.window->isHistoryFilling());
        QCOMPARE(f.paneLines(), newestFirst);
        QCOMPARE(f.window->Text2->document()->isUndoAvailable(), false);

        f.box(3)->setText("ZZ");
        QTest::keyClicks(f.box(3), "9");
        QVERIFY(f.window->isHistoryFilling());
        QTest::keyClicks(f.box(3), "A");
        QTRY_VERIFY(!f.window->isHistoryFilling());
        QCOMPARE(f.paneLines().size(), 650);
        QVERIFY(f.paneLines().first().endsWith("ZZ9ABC"));
    }

    void vanishedLogIsEmptyHistory() {
        Fixture f;
        f.writeLog("old,  ZZ9ZZ\r\n");
        QVERIFY(QFile::remove(f.logPath()));
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines(), QStringList());
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QVERIFY(f.takeMessage().isEmpty());
        f.save();
        QCOMPARE(f.log(), QByteArray(",  ,  ,  ZZ9,  ,  ,  ,  \r\n"));
    }

    void unreadableLogSaidOnce() {
        Fixture f;
        QVERIFY(QFile::remove(f.logPath()));
        QVERIFY(QDir().mkdir(f.logPath()));
        QTest::keyClicks(f.box(3), "ZZ9");
        const QString message = f.takeMessage();
        QVERIFY2(message.contains("Error 21: Is a directory"), qPrintable(message));
        QTest::keyClicks(f.box(3), "ZZ");
        QCOMPARE(f.takeMessage(), QString());
        QCOMPARE(f.box(3)->text(), QStringLiteral("ZZ9ZZ"));
    }

    void paste_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("after");
        QTest::newRow("call, spaces removed") << 3 << ""
                                              << " ZZ9 ZZ "
                                              << "ZZ9ZZ";
        QTest::newRow("name replaced") << 4 << "Hans"
                                       << "John"
                                       << "John";
        QTest::newRow("band unchanged") << 2 << "40m"
                                        << "20m"
                                        << "40m";
        QTest::newRow("date unchanged") << 0 << "2026-Dec-07"
                                        << "x"
                                        << "2026-Dec-07";
        QTest::newRow("empty clipboard empties QTH") << 5 << "Berlin"
                                                     << ""
                                                     << "";
        QTest::newRow("line break removed") << 6 << ""
                                            << "599\r\n"
                                            << "599";
        QTest::newRow("tab kept") << 7 << ""
                                  << "5\t9 9"
                                  << "5\t99";
    }
    void paste() {
        QFETCH(int, box);
        QFETCH(QString, before);
        QFETCH(QString, clipboard);
        QFETCH(QString, after);
        Fixture f;
        f.box(0)->setText("2026-Dec-07");
        f.box(box)->setText(before);
        f.platform.clipboard = clipboard;
        f.doubleClick(box);
        QCOMPARE(f.box(box)->text(), after);
        QCOMPARE(f.platform.clipboardReads, 1);
        if (box > 2)
            QVERIFY(!f.box(box)->hasSelectedText());
    }

    void pastedCallStartsLookup() {
        Fixture f;
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n");
        f.platform.clipboard = " ZZ9 ZZ ";
        f.doubleClick(3);
        QCOMPARE(f.paneLines(), QStringList{"1,  ZZ9ZZ,  Hans"});
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        f.save();
        QVERIFY(f.log().endsWith(",  ZZ9ZZ,  ,  ,  ,  \r\n"));
    }

    void pasteOfAMegabyte() {
        Fixture f;
        QString big;
        for (int i = 0; i < 100000; ++i)
            big += QStringLiteral("DL1ABC  \r\n");
        f.platform.clipboard = big;
        f.doubleClick(4);
        // The box holds as much as a line box can, without spaces or breaks.
        const QString name = f.box(4)->text();
        QCOMPARE(name.size(), f.box(4)->maxLength());
        QVERIFY(name.startsWith("DL1ABCDL1ABC"));
        f.save();
        QCOMPARE(f.log().count('\n'), 1);
    }

    void stamp_data() {
        QTest::addColumn<int>("box");
        for (int i = 0; i < 8; ++i)
            QTest::addRow("box %d", i) << i;
    }
    // After a save the date is empty until the next tick: a double-click on
    // any box stamps Date and the time as HH:MM; with a date, nothing is stamped.
    void stamp() {
        QFETCH(int, box);
        Fixture f;
        f.save();
        f.doubleClick(box);
        QCOMPARE(f.box(0)->text(), QStringLiteral("2026-Dec-07"));
        QCOMPARE(f.box(1)->text(), QStringLiteral("09:20"));
        f.box(0)->setText("2000-Jan-01");
        f.box(1)->setText("01:02:03");
        f.doubleClick(box);
        QCOMPARE(f.box(0)->text(), QStringLiteral("2000-Jan-01"));
        QCOMPARE(f.box(1)->text(), QStringLiteral("01:02:03"));
    }

    void closingWritesNothing() {
        Fixture f;
        f.fill(exampleContact);
        f.window->show();
        QVERIFY(f.window->close());
        QCOMPARE(f.log(), QByteArray());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
