// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakePlatform.h"
#include "HistoryView.h"
#include "QtPlatform.h"
#include "SystemCalls.h"
#include "Tavrelo.h"
#include "Transaction.h"

#include <QAccessible>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <memory>
#include <unistd.h>

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
        platform.dataHome = dir.filePath("share");
        if (!folderName.isEmpty()) {
            QDir(dir.path()).mkdir(folderName);
            platform.directory = dir.filePath(folderName);
        }
        platform.now = QDateTime(QDate(2026, 12, 7), QTime(10, 20, 30), QTimeZone("Europe/Berlin"));
        window = std::make_unique<Tavrelo>(platform);
        loadError = window->load();
        window->Timer1->stop();
    }
    OsError loadError;

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
    // One clock tick at the fake time; the timer it re-arms is stopped again.
    void tick() const {
        QMetaObject::invokeMethod(window->Timer1, "timeout");
        window->Timer1->stop();
    }
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
    // Waits for the history lookup in progress to show its result.
    void settle() const {
        QDeadlineTimer deadline(10000);
        while (window->isHistoryBusy() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    // The pane's rows once the lookup has shown its result, each as its
    // whole text gives it.
    QStringList paneLines() const {
        settle();
        QStringList lines = window->Text2->text().split(QStringLiteral("\r\n"));
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
            text = w.Text2->text();
            QCOMPARE(w.Text2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            QCOMPARE(w.Text2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
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

    // In a dark colour scheme (light text on dark ground), the boxes whose
    // ground is fixed keep a text colour readable on it; each box carries
    // its header's name for a screen reader; the history pane runs left to
    // right on a right-to-left desktop.
    void readableAndNamed_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light scheme") << false;
        QTest::newRow("dark scheme") << true;
    }
    void readableAndNamed() {
        QFETCH(bool, dark);
        const QPalette saved = QApplication::palette();
        if (dark) {
            QPalette p = saved;
            p.setColor(QPalette::Base, QColor(30, 30, 30));
            p.setColor(QPalette::Text, QColor(230, 230, 230));
            p.setColor(QPalette::WindowText, QColor(230, 230, 230));
            QApplication::setPalette(p);
        }
        QApplication::setLayoutDirection(Qt::RightToLeft);
        Fixture f;
        const auto lightness = [](const QColor& c) { return c.toHsl().lightness(); };
        static const char* const captions[] = {"Date", "UTC", "Band", "Call",
                                               "Name", "QTH", "RSTs", "RSTr"};
        for (int i = 0; i < Tavrelo::BoxCount; ++i) {
            const QPalette p = f.box(i)->palette();
            QVERIFY2(std::abs(lightness(p.color(QPalette::Base)) -
                              lightness(p.color(QPalette::Text))) > 100,
                     captions[i]);
            QCOMPARE(f.window->Label1[size_t(i)]->buddy(), f.box(i));
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(f.box(i));
            QVERIFY(a);
            QCOMPARE(a->text(QAccessible::Name), QString::fromLatin1(captions[i]));
        }
        QCOMPARE(f.window->Text2->layoutDirection(), Qt::LeftToRight);
        QApplication::setLayoutDirection(Qt::LeftToRight);
        QApplication::setPalette(saved);
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
    }

    // The clock ticks at the start of each second: at start and at every
    // tick the timer is armed for the next whole second of the clock.
    void clockTicksAtTheStartOfEachSecond_data() {
        QTest::addColumn<int>("msec");
        QTest::addColumn<int>("interval");
        QTest::newRow("on the second") << 0 << 1000;
        QTest::newRow("just after") << 1 << 999;
        QTest::newRow("a quarter in") << 250 << 750;
        QTest::newRow("just before the next") << 999 << 1;
    }
    void clockTicksAtTheStartOfEachSecond() {
        QFETCH(int, msec);
        QFETCH(int, interval);
        FakePlatform platform;
        QTemporaryDir dir;
        platform.directory = dir.path();
        platform.now =
            QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59, msec), QTimeZone("Europe/Berlin"));
        Tavrelo w(platform);
        QVERIFY(w.Timer1->isActive());
        QVERIFY(w.Timer1->isSingleShot());
        QCOMPARE(w.Timer1->timerType(), Qt::PreciseTimer);
        QCOMPARE(w.Timer1->interval(), interval);
        QCOMPARE(w.Text1[0]->text(), QString()); // empty until the first tick
        platform.now = platform.now.addMSecs(1000);
        QMetaObject::invokeMethod(w.Timer1, "timeout");
        QCOMPARE(w.Timer1->interval(), interval);
        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.Text1[1]->text(), QStringLiteral("01:00:00"));
    }

    // On the real clock the shown second changes right after the real one,
    // and none is skipped or shown twice.
    void clockFollowsTheRealSecond() {
        QTemporaryDir dir;
        QtPlatform platform;
        Tavrelo w(platform);
        QList<QTime> seen;
        QList<int> lateness;
        connect(w.Text1[1], &QLineEdit::textChanged, this, [&](const QString& text) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            seen << QTime::fromString(text, QStringLiteral("HH:mm:ss"));
            lateness << int(seen.last().msecsTo(now.time()) + 86400000) % 86400000;
        });
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 4, 6000);
        for (qsizetype i = 1; i < seen.size(); ++i)
            QCOMPARE(seen[i - 1].secsTo(seen[i]) % 86400, 1);
        for (int late : lateness)
            QVERIFY2(late < 150, qPrintable(QStringLiteral("shown %1 ms late").arg(late)));
    }

    // A program in a folder it cannot write to (an installed one) keeps its
    // log in the user's data folder, made at first start; every use of the
    // log goes there. When even that cannot be made, start-up says why.
    void installedProgramLogsInDataFolder() {
        QTemporaryDir dir;
        FakePlatform platform;
        platform.directory = "/nonexistent-tavrelo-folder";
        platform.dataHome = dir.filePath("home/.local/share");
        platform.now = QDateTime::currentDateTime();
        Tavrelo w(platform);
        QVERIFY(w.load().ok());
        const QString log = dir.filePath("home/.local/share/Tavrelo/Tavrelo.txt");
        QCOMPARE(w.logPath(), log);
        QVERIFY(QFileInfo(log).isFile());
        w.Text1[3]->setText("ZZ9ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().endsWith(",  ,  ZZ9ZZ,  ,  ,  ,  \r\n"));
        QTest::mouseClick(w.Command2, Qt::LeftButton);
        QCOMPARE(platform.openedPaths, QStringList{log});

        platform.dataHome = "/dev/null/share";
        Tavrelo broken(platform);
        const OsError e = broken.load();
        QCOMPARE(e.error, ENOTDIR);
        QVERIFY2(e.message().contains("/dev/null/share/Tavrelo/Tavrelo.txt"),
                 qPrintable(e.message()));
    }

    void saveWritesRecord_data() {
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("example")
            << exampleContact
            << QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n");
        // Saved before the clock refilled Date and UTC: stamped, never empty.
        QTest::newRow("all empty")
            << QStringList(8, "") << QByteArray("2026-Dec-07,  09:20:30,  ,  ,  ,  ,  ,  \r\n");
        QTest::newRow("only the time empty")
            << QStringList{"2006-Nov-18", "", "", "ZZ9ZZ", "", "", "", ""}
            << QByteArray("2006-Nov-18,  09:20:30,  ,  ZZ9ZZ,  ,  ,  ,  \r\n");
        QTest::newRow("comma in name")
            << QStringList{"2006-Nov-18", "14:05", "", "ZZ9ZZ", "Smith, John", "", "", ""}
            << QByteArray("2006-Nov-18,  14:05,  ,  ZZ9ZZ,  Smith, John,  ,  ,  \r\n");
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
                            "2026-Dec-07,  09:20:30,  40m,  ,  ,  ,  ,  \r\n"));
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
        f.settle();
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

    // An editor that cannot start, and one that starts but ends in failure,
    // are both reported; a failure that comes after the window has gone is not.
    void openFailureIsReported() {
        Fixture f;
        f.platform.editorError = OsError::fromErrno("start the text editor", "xdg-open", ENOENT);
        f.fill(exampleContact);
        QTest::mouseClick(f.window->Command2, Qt::LeftButton);
        QString message = f.takeMessage();
        QVERIFY2(message.startsWith("Could not start the text editor xdg-open.\nError 2: No such "
                                    "file or directory."),
                 qPrintable(message));
        QVERIFY(message.contains(f.logPath() + " was not shown; it is unchanged"));
        QCOMPARE(f.texts(), exampleContact);

        f.platform.editorError = {};
        QTest::mouseClick(f.window->Command2, Qt::LeftButton);
        QVERIFY(f.takeMessage().isEmpty());
        const OsError ended = OsError::because("show in the text editor the log", f.logPath(),
                                               "xdg-open ended with exit status 3");
        f.platform.editorFailure(ended);
        QCOMPARE(f.takeMessage(), ended.message());
        f.window.reset();
        f.platform.editorFailure(ended);
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
    // a save, date and time are empty in the boxes, and a Save then stamps
    // the moment of the save rather than write a contact without a date.
    void recordCarriesLatestTick() {
        Fixture f;
        f.box(3)->setText("ZZ9ZZ");
        f.save();
        f.tick(); // 10:20:30 in Berlin is 09:20:30 UTC
        f.box(0)->setText("2026-Dec-06");
        f.box(3)->setText("DL1ABC");
        f.save();
        QCOMPARE(f.box(0)->text(), QString());
        QCOMPARE(f.box(1)->text(), QString());
        f.platform.now = f.platform.now.addSecs(1);
        f.save();
        QCOMPARE(f.log(), QByteArray("2026-Dec-07,  09:20:30,  ,  ZZ9ZZ,  ,  ,  ,  \r\n"
                                     "2026-Dec-06,  09:20:30,  ,  DL1ABC,  ,  ,  ,  \r\n"
                                     "2026-Dec-07,  09:20:31,  ,  ,  ,  ,  ,  \r\n"));
    }

    void lookupWhileTyping() {
        Fixture f;
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n2,  DL1ABC,  Berlin\r\n3,  zz9zz,  Eva\r\n");
        QTest::keyClicks(f.box(3), "zz");
        QVERIFY(!f.window->isHistoryBusy());
        QCOMPARE(f.paneLines(), QStringList());
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QTest::keyClicks(f.box(3), "9");
        QCOMPARE(f.paneLines(), (QStringList{"3,  zz9zz,  Eva", "1,  ZZ9ZZ,  Hans"}));
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        QTest::keyClicks(f.box(3), "X");
        QCOMPARE(f.paneLines(), QStringList());
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QTest::keyClick(f.box(3), Qt::Key_Backspace);
        f.settle();
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        // Back to two characters: collapsed, the last result kept hidden.
        QTest::keyClick(f.box(3), Qt::Key_Backspace);
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QCOMPARE(f.paneLines().size(), 2);
        // Other boxes never start a lookup, whatever the call holds.
        f.box(3)->setText("BER");
        QCOMPARE(f.paneLines(), QStringList{"2,  DL1ABC,  Berlin"});
        f.writeLog(f.log() + "4,  BER,  Bern\r\n"); // a lookup would show it
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

    // A long history: every row reachable at once, the oldest last, and a
    // selection copied as exactly its rows.
    void longHistoryScrollsAndCopies() {
        Fixture f;
        QByteArray log;
        QStringList newestFirst;
        for (int i = 0; i < 30000; ++i) {
            const QByteArray line = QByteArray::number(i) + (i % 2 ? ",  ZZ9ZZ" : ",  ZZ9ABC");
            log += line + "\r\n";
            newestFirst.prepend(QString::fromLatin1(line));
        }
        f.writeLog(log);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines(), newestFirst);
        HistoryView* pane = f.window->Text2;
        pane->setFocus();
        QTest::keyClick(pane, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(pane->caret().row, 29999);
        QCOMPARE(pane->verticalScrollBar()->value(), pane->verticalScrollBar()->maximum());
        QCOMPARE(pane->rowText(pane->caret().row), QStringLiteral("0,  ZZ9ABC"));
        QTest::keyClick(pane, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(pane, Qt::Key_Down);
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(pane, Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(),
                 newestFirst.mid(1, 3).join(QStringLiteral("\r\n")) + "\r\n");
        QTest::keyClick(pane, Qt::Key_PageDown, Qt::ShiftModifier);
        QTest::keyClick(pane, Qt::Key_Up);
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier); // no selection: nothing new
        QCOMPARE(QApplication::clipboard()->text(),
                 newestFirst.mid(1, 3).join(QStringLiteral("\r\n")) + "\r\n");
        QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), newestFirst.join(QStringLiteral("\r\n")));
        // A click puts the caret between two characters; Shift and a click
        // select from there to another place, across rows.
        const int h = pane->fontMetrics().height();
        const int top = pane->verticalScrollBar()->value();
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, QPoint(20, h / 2));
        const qsizetype column = pane->caret().column;
        QVERIFY(column > 0 && column < 4);
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          QPoint(20, h + h / 2));
        QCOMPARE(pane->selectedText(),
                 pane->rowText(top).mid(column) + "\r\n" + pane->rowText(top + 1).left(column));
        // Upward too: the text in order.
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, QPoint(20, 2 * h + h / 2));
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(2, h / 2));
        QCOMPARE(pane->selectedText(), pane->rowText(top) + "\r\n" + pane->rowText(top + 1) +
                                           "\r\n" + pane->rowText(top + 2).left(column));
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), pane->selectedText());
    }

    // A lookup dropped because the call became too short never shows its
    // result, however late it comes.
    void discardedLookupNeverShows() {
        Fixture f;
        QByteArray log;
        for (int i = 0; i < 20000; ++i)
            log += "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ,  ,  ,  \r\n";
        f.writeLog(log);
        f.box(3)->setText("ZZ9"); // starts a lookup
        f.box(3)->setText("ZZ");  // drops it, in the same handler turn
        QTest::qWait(300);
        f.settle();
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);
        QVERIFY(f.window->Text2->text().isEmpty());
    }

    // Only the latest text's result is ever shown: not an older text's that
    // comes late, nor any after Save. Closing the window stops its lookup.
    void onlyTheLatestLookupIsShown() {
        Fixture f;
        QByteArray log;
        for (int i = 0; i < 300000; ++i)
            log += "2026-Dec-07,  12:00:00,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n";
        log += "x,  DL1ABC\r\n";
        f.writeLog(log);
        QStringList shown;
        connect(f.window->Text2->verticalScrollBar(), &QScrollBar::rangeChanged, this,
                [&] { shown << f.window->Text2->rowText(0); });
        QTest::keyClicks(f.box(3), "ZZ9"); // every line: a slow lookup
        f.box(3)->setText("DL1");          // supersedes it at once
        QCOMPARE(f.paneLines(), QStringList{"x,  DL1ABC"});
        QTest::qWait(200);
        QVERIFY2(
            !shown.contains("2026-Dec-07,  12:00:00,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579"),
            qPrintable(shown.join('|')));
        QCOMPARE(f.window->Text2->rowCount(), 1);

        f.box(3)->setText("ZZ9");
        f.save();
        QVERIFY(!f.window->isHistoryBusy());
        QTest::qWait(300);
        QCOMPARE(f.window->Text2->rowCount(), 1);
        QCOMPARE(f.window->height(), Tavrelo::CollapsedHeight);

        // Counted once the threads that lookups of every line start for a
        // while (to read and to sort) have ended: a count still for 100 ms.
        const auto threads = [] { return QDir("/proc/self/task").count(); };
        qsizetype before = -1;
        for (int i = 0; i < 100 && before != threads(); ++i) {
            before = threads();
            QTest::qWait(100);
        }
        f.box(3)->setText("ZZ9");
        f.window.reset();
        QCOMPARE(threads(), before - 1); // the lookup's thread has ended
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
        QCOMPARE(f.log(), QByteArray("2026-Dec-07,  09:20:30,  ,  ZZ9,  ,  ,  ,  \r\n"));
    }

    // A log that cannot be read while the call is typed is said in the
    // pane, never in a box that would take the keys that follow; it is said
    // until the log reads again, and again at a later failure.
    void unreadableLogSaidInPane() {
        Fixture f;
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n");
        QByteArray good = f.log();
        const QString folder = f.logPath() + ".moved";
        QVERIFY(QFile::rename(f.logPath(), folder));
        QVERIFY(QDir().mkdir(f.logPath()));
        f.box(3)->setFocus();
        QTest::keyClicks(f.box(3), "ZZ9");
        QTest::keyClick(f.box(3), Qt::Key_Tab);
        QTest::keyClicks(QApplication::focusWidget(), "Hans");
        QCOMPARE(f.takeMessage(), QString());
        QCOMPARE(f.box(3)->text(), QStringLiteral("ZZ9"));
        QCOMPARE(f.box(4)->text(), QStringLiteral("Hans"));
        const QStringList error{"The history cannot be shown.",
                                "Could not read the log " + f.logPath() + ".",
                                "It is a folder, not a file."};
        QCOMPARE(f.paneLines(), error);
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);

        QVERIFY(QDir().rmdir(f.logPath()));
        QVERIFY(QFile::rename(folder, f.logPath()));
        f.box(3)->end(false);
        QTest::keyClicks(f.box(3), "Z");
        QCOMPARE(f.paneLines(), QStringList{"1,  ZZ9ZZ,  Hans"});
        QVERIFY(QFile::remove(f.logPath()));
        QVERIFY(QDir().mkdir(f.logPath()));
        QTest::keyClicks(f.box(3), "Z");
        QCOMPARE(f.paneLines(), error);
        QCOMPARE(f.takeMessage(), QString());
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
        QTest::newRow("spaces from a web page")
            << 3 << "" << QString::fromUtf8("\u00a0DL1\u2009ABC\u200b\u3000\u2060\ufeff\u202f")
            << "DL1ABC";
        QTest::newRow("other characters kept")
            << 4 << "" << QString::fromUtf8("J\u00f6rg\u00ad\U0001F4FB")
            << QString::fromUtf8("J\u00f6rg\u00ad\U0001F4FB");
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

    // Every paste into Call looks the call up, the same call again too, so
    // that an edit of the log since shows.
    void pastedCallStartsLookup() {
        Fixture f;
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n");
        f.platform.clipboard = " ZZ9 ZZ ";
        f.doubleClick(3);
        QCOMPARE(f.paneLines(), QStringList{"1,  ZZ9ZZ,  Hans"});
        QCOMPARE(f.window->height(), Tavrelo::ExpandedHeight);
        f.writeLog("1,  ZZ9ZZ,  Hans\r\n2,  ZZ9ZZ,  Eva\r\n");
        f.doubleClick(3);
        QCOMPARE(f.paneLines(), (QStringList{"2,  ZZ9ZZ,  Eva", "1,  ZZ9ZZ,  Hans"}));
        f.save();
        QVERIFY(f.log().endsWith(",  ZZ9ZZ,  ,  ,  ,  \r\n"));
    }

    // A paste longer than the box is cut at a whole character, and the
    // operator is told how much was left out.
    void pasteTooLongForTheBox_data() {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("expectedSize"); // UTF-16 units kept
        QTest::addColumn<int>("cut");          // characters left out
        const int max = 32767;
        QTest::newRow("ASCII") << "DL1ABC  \r\n" << max << 100000 * 6 - max;
        // 32767 is odd: the radio emoji at the limit would be split in two.
        QTest::newRow("surrogate pair at the limit")
            << QString::fromUtf8("\U0001F4FB") << max - 1 << 100000 - (max - 1) / 2;
        QTest::newRow("combining mark at the limit")
            << QString::fromUtf8("e\u0301") << max - 1 << 200000 - (max - 1);
    }
    void pasteTooLongForTheBox() {
        QFETCH(QString, unit);
        QFETCH(int, expectedSize);
        QFETCH(int, cut);
        Fixture f;
        f.platform.clipboard = unit.repeated(100000);
        f.doubleClick(4);
        const QString name = f.box(4)->text();
        QCOMPARE(name.size(), expectedSize);
        QVERIFY(!name.back().isHighSurrogate());
        QCOMPARE(name.toUtf8().count('?'), 0);
        const QString message = f.takeMessage();
        QVERIFY2(
            message.contains(QStringLiteral("The last %1 characters were not pasted").arg(cut)),
            qPrintable(message));
        QVERIFY(message.contains("Name box"));
        f.save();
        QCOMPARE(f.log().count('\n'), 1);
        QVERIFY(!f.log().contains('?'));
    }

    // The Call box shows a six-character call whole, from its first letter.
    void sixCharacterCallFits() {
        Fixture f;
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        f.box(3)->setText("DL1ABC");
        const QImage shown = f.box(3)->grab().toImage();
        f.box(3)->resize(200, f.box(3)->height());
        const QImage wide = f.box(3)->grab().toImage().copy(shown.rect());
        // Scrolled text would show other pixels at the left than the wide box does.
        for (int x = 1; x < shown.width() - 1; ++x)
            for (int y = 1; y < shown.height() - 1; ++y)
                QVERIFY2(shown.pixel(x, y) == wide.pixel(x, y), qPrintable(QString::number(x)));
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

    // A save whose sync fails takes the contact back out of the log and
    // keeps it in the boxes; saving again writes it once.
    void failedSyncLeavesTheLogAsItWas() {
        Fixture f;
        int failures = 1;
        logfile::systemCalls().fdatasync = [&](int fd) {
            if (failures-- > 0) {
                errno = EIO;
                return -1;
            }
            return ::fdatasync(fd);
        };
        f.fill(exampleContact);
        f.save();
        const QString message = f.takeMessage();
        QVERIFY2(message.contains("Error 5: Input/output error"), qPrintable(message));
        QVERIFY(message.contains("The contact was not saved"));
        QCOMPARE(f.texts(), exampleContact);
        QCOMPARE(f.log(), QByteArray());
        QVERIFY(!QFileInfo::exists(logfile::journalPath(f.logPath())));
        f.save();
        logfile::systemCalls() = {};
        QCOMPARE(f.takeMessage(), QString());
        QCOMPARE(f.log(), QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  "
                                     "599,  579\r\n"));
        QCOMPARE(f.box(3)->text(), QString());
    }

    // What the window tells the operator when a Save could not simply
    // append: a sync that failed with another program's line behind the
    // contact (it stays, once), and a log deleted while the window ran.
    void saveTellsWhatHappened_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("emptied");
        QTest::newRow("sync fails, another program appends") << "sync"
                                                             << "it may not be on the disk" << true;
        QTest::newRow("log deleted") << "deleted"
                                     << "a new one was started" << true;
    }
    void saveTellsWhatHappened() {
        QFETCH(QString, fault);
        QFETCH(QString, said);
        QFETCH(bool, emptied);
        Fixture f;
        const QByteArray other = "OTHER PROGRAM\r\n";
        if (fault == "sync") {
            logfile::systemCalls().fdatasync = [&](int fd) {
                if (QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget() ==
                    f.logPath()) {
                    QFile log(f.logPath());
                    if (log.open(QIODevice::Append))
                        log.write(other);
                    errno = EIO;
                    return -1;
                }
                return ::fdatasync(fd);
            };
        } else {
            QVERIFY(QFile::remove(f.logPath()));
        }
        f.fill(exampleContact);
        f.save();
        logfile::systemCalls() = {};
        QCoreApplication::processEvents();
        const QString message = f.takeMessage();
        QVERIFY2(message.contains(said), qPrintable(message));
        QCOMPARE(f.box(3)->text().isEmpty(), emptied);
        const QByteArray line =
            "2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n";
        QCOMPARE(f.log(), fault == "sync" ? line + other : line);
        // The next Save writes the next contact only.
        f.fill({"2006-Nov-18", "14:06:00", "40m", "ZZ1ZZ", "", "", "", ""});
        f.save();
        QCoreApplication::processEvents();
        QCOMPARE(f.takeMessage(), QString());
        QCOMPARE(f.log().count("ZZ9ZZ"), 1);
        QVERIFY(f.log().endsWith("ZZ1ZZ,  ,  ,  ,  \r\n"));
    }

    // The pane is a text box: typing, deleting and undo change its text and
    // only its text; the log stays as it is, and the next lookup replaces
    // the edited text.
    void paneIsEditableNotTheLog() {
        Fixture f;
        const QByteArray log = "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans,  ,  ,  \r\n"
                               "2024-Mar-02,  12:05,  20m,  ZZ9ZZ,  Anna,  ,  ,  \r\n";
        f.writeLog(log);
        f.window->show();
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines().size(), 2);
        HistoryView* pane = f.window->Text2;
        pane->setFocus();
        QTest::keyClick(pane, Qt::Key_Down); // the caret to the older row
        QTest::keyClicks(pane, "note ");
        QVERIFY(pane->isEditing());
        QTest::keyClick(pane->editor(), Qt::Key_Backspace);
        QCOMPARE(pane->editor()->toPlainText(),
                 QStringLiteral("2024-Mar-02,  12:05,  20m,  ZZ9ZZ,  Anna,  ,  ,  \n"
                                "note2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans,  ,  ,  "));
        QTest::keyClick(pane->editor(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(pane->editor()->toPlainText().contains("note 2024-Mar-01"));
        QTest::keyClick(pane->editor(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(!pane->editor()->toPlainText().contains("note"));
        QCOMPARE(f.log(), log);
        // Focus that comes back to the pane goes to the text being edited.
        f.box(4)->setFocus();
        pane->setFocus();
        QVERIFY(pane->editor()->hasFocus());
        // A new lookup shows its own result again, and nothing is saved.
        f.box(3)->setText("ZZ9Z");
        QCOMPARE(f.paneLines().size(), 2);
        QVERIFY(!pane->isEditing());
        f.save();
        QCOMPARE(f.log().count('\n'), 3);
        QVERIFY(!f.log().contains("note"));
    }

    // A double-click takes a word, a third click the whole row with its
    // line end; a drag with a word held extends by words.
    void mouseSelectsWordsAndRows() {
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans,  Berlin,  ,  \r\n"
                   "2024-Mar-02,  12:05,  20m,  ZZ9ZZ,  Anna,  Bonn,  ,  \r\n");
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines().size(), 2);
        HistoryView* pane = f.window->Text2;
        const QString row0 = pane->rowText(0);
        const QPoint onAnna = pane->characterRect({0, row0.indexOf("Anna") + 1}).center();
        QTest::mouseDClick(pane->viewport(), Qt::LeftButton, {}, onAnna);
        QCOMPARE(pane->selectedText(), QStringLiteral("Anna"));
        QTest::mousePress(pane->viewport(), Qt::LeftButton, {}, onAnna);
        QTest::mouseRelease(pane->viewport(), Qt::LeftButton, {}, onAnna);
        QCOMPARE(pane->selectedText(), row0 + "\r\n");
        // A plain click later only places the caret.
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, onAnna);
        QVERIFY(!pane->hasSelection());
        QCOMPARE(pane->caret().row, 0);
        QCOMPARE(pane->caret().column, row0.indexOf("Anna") + 1);
        // The keyboard by words: Ctrl+Shift+Right takes the rest of the word.
        QTest::keyClick(pane, Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(pane->selectedText(), QStringLiteral("nna"));
    }

    // A drag held below the pane scrolls it on, the selection growing with
    // it, until the button is let go.
    void dragPastTheEdgeScrolls() {
        Fixture f;
        QByteArray log;
        for (int i = 0; i < 200; ++i)
            log += "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  " + QByteArray::number(i) + "\r\n";
        f.writeLog(log);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines().size(), 200);
        HistoryView* pane = f.window->Text2;
        QWidget* v = pane->viewport();
        QTest::mousePress(v, Qt::LeftButton, {}, QPoint(10, 5));
        QMouseEvent below(QEvent::MouseMove, QPointF(10, v->height() + 20),
                          v->mapToGlobal(QPointF(10, v->height() + 20)), Qt::NoButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(v, &below);
        QTRY_VERIFY(pane->verticalScrollBar()->value() >= 5);
        QTest::mouseRelease(v, Qt::LeftButton, {}, QPoint(10, v->height() + 20));
        const int stopped = pane->verticalScrollBar()->value();
        QTest::qWait(200);
        QCOMPARE(pane->verticalScrollBar()->value(), stopped);
        QCOMPARE(pane->anchor().row, 0);
        QVERIFY(pane->caret().row >= stopped);
        QVERIFY(pane->selectedText().count("\r\n") >= 5);
    }

    // The context menu offers Copy and Select All, and they work.
    void contextMenuCopiesAndSelectsAll() {
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ\r\n2024-Mar-02,  12:05,  20m,  ZZ9ZZ\r\n");
        f.window->show();
        QTest::keyClicks(f.box(3), "ZZ9");
        QCOMPARE(f.paneLines().size(), 2);
        HistoryView* pane = f.window->Text2;
        // Opens the menu and triggers one of its entries, which must be enabled.
        auto choose = [pane](const QString& entry) {
            const QPoint at(20, 5);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at,
                                    pane->viewport()->mapToGlobal(at));
            QApplication::sendEvent(pane->viewport(), &event);
            QMenu* menu = pane->findChild<QMenu*>();
            QStringList names;
            QAction* chosen = nullptr;
            for (QAction* a : menu->actions()) {
                names << a->text().remove('&');
                if (names.last() == entry && a->isEnabled())
                    chosen = a;
            }
            if (chosen)
                chosen->trigger();
            menu->close();
            delete menu;
            return chosen ? QString() : names.join('|');
        };
        QApplication::clipboard()->setText("before");
        QCOMPARE(choose("Copy"), QStringLiteral("Copy|Paste||Select All")); // nothing selected
        QCOMPARE(choose("Select All"), QString());
        QCOMPARE(choose("Copy"), QString());
        QCOMPARE(QApplication::clipboard()->text(),
                 QStringLiteral(
                     "2024-Mar-02,  12:05,  20m,  ZZ9ZZ\r\n2024-Mar-01,  12:05,  20m,  ZZ9ZZ"));
    }

    // A line too long for the pane is shown cut, and copied whole, as the
    // log holds it; once the log has changed under it, the copy says so and
    // copies nothing.
    void longLineCopiedWhole() {
        Fixture f;
        QByteArray line = "2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  ";
        while (line.size() < 5049)
            line += "\xe5\xb9\xb3\xe5\x92\x8c m\xc3\xbcnchen ";
        f.writeLog(line + "\r\n");
        f.window->show();
        QTest::keyClicks(f.box(3), "ZZ9");
        f.settle();
        HistoryView* pane = f.window->Text2;
        QVERIFY(pane->rowText(0).contains("cut short"));
        pane->setFocus();
        QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString::fromUtf8(line));
        // From the middle of the shown part to its end: the rest of the line.
        pane->select({0, 100}, {0, pane->rowText(0).size()});
        QCOMPARE(pane->selectedText(), QString::fromUtf8(line).mid(100));
        QApplication::clipboard()->setText("before");
        f.writeLog(line.replace("m\xc3\xbcnchen", "Muenchen") + "\r\n");
        QTest::keyClick(pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
        const QString message = f.takeMessage();
        QVERIFY2(message.contains("The log has changed") && message.contains("Nothing was copied"),
                 qPrintable(message));
    }

    // The horizontal scroll bar reaches exactly the end of the widest row
    // drawn, whatever its letters, on a desktop of either direction.
    void horizontalRangeIsTheWidestRow_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("rightToLeft");
        QTest::newRow("wide letters") << QString(400, 'W') << false;
        QTest::newRow("narrow letters") << QString(400, 'i') << false;
        QTest::newRow("ideographs") << QString(200, QChar(0x5E73)) << false;
        QTest::newRow("right-to-left desktop") << QString(300, 'W') << true;
    }
    void horizontalRangeIsTheWidestRow() {
        QFETCH(QString, text);
        QFETCH(bool, rightToLeft);
        QApplication::setLayoutDirection(rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  " + text.toUtf8() +
                   "\r\n2024-Mar-02,  12:05,  20m,  ZZ9ZZ\r\n");
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QTest::keyClicks(f.box(3), "ZZ9");
        f.settle();
        HistoryView* pane = f.window->Text2;
        pane->viewport()->repaint();
        QCoreApplication::processEvents();
        QScrollBar* bar = pane->horizontalScrollBar();
        // Rows run left to right: the first character at the left edge.
        QVERIFY(pane->characterRect({0, 0}).left() < 10);
        bar->setValue(bar->maximum());
        const QString longest = pane->rowText(1);
        const QRect end = pane->characterRect({1, longest.size() - 1});
        const int width = pane->viewport()->width();
        QApplication::setLayoutDirection(Qt::LeftToRight);
        QVERIFY2(
            end.right() < width && end.right() > width - 12,
            qPrintable(QString("last character ends at %1 of %2").arg(end.right()).arg(width)));
    }

    // A screen reader reads the pane as a multi-line text: all of its text,
    // by line and by word, its caret and its selection.
    void paneIsAccessibleText() {
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans\r\n2024-Mar-02,  12:05,  20m,  ZZ9ZZ, "
                   " Anna\r\n");
        f.window->show();
        QTest::keyClicks(f.box(3), "ZZ9");
        const QStringList rows = f.paneLines();
        QCOMPARE(rows.size(), 2);
        HistoryView* pane = f.window->Text2;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(pane);
        QVERIFY(a);
        QCOMPARE(a->role(), QAccessible::EditableText);
        QVERIFY(a->state().multiLine && a->state().editable);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("History"));
        QAccessibleTextInterface* t = a->textInterface();
        QVERIFY(t);
        const QString all = rows.join('\n');
        QCOMPARE(t->characterCount(), all.size());
        QCOMPARE(t->text(0, t->characterCount()), all);
        int start = -1, end = -1;
        const int inSecond = int(rows[0].size()) + 5;
        QCOMPARE(t->textAtOffset(inSecond, QAccessible::LineBoundary, &start, &end), rows[1]);
        QCOMPARE(start, rows[0].size() + 1);
        QCOMPARE(t->textBeforeOffset(inSecond, QAccessible::LineBoundary, &start, &end),
                 rows[0] + "\n");
        QCOMPARE(t->textAtOffset(6, QAccessible::WordBoundary, &start, &end),
                 QStringLiteral("Mar"));
        QCOMPARE(t->textAfterOffset(all.size() - 1, QAccessible::CharBoundary, &start, &end),
                 QString());
        t->setCursorPosition(inSecond);
        QCOMPARE(pane->caret(), (TextPosition{1, 4}));
        t->setSelection(0, 1, 4);
        QCOMPARE(pane->selectedText(), rows[0].mid(1, 3));
        int selStart = -1, selEnd = -1;
        t->selection(0, &selStart, &selEnd);
        QCOMPARE(selStart, 1);
        QCOMPARE(selEnd, 4);
        // The character under a point is the one drawn there.
        const QRect r = t->characterRect(inSecond);
        QCOMPARE(t->offsetAtPoint(r.center()), inSecond);
    }

    // The pane's text at its very start and end, as a screen reader walks
    // it: nothing before the first character or line, nothing after the
    // last, and the last row without a line end of its own.
    void paneTextBoundaries_data() {
        QTest::addColumn<QString>("ask");  // before, at or after
        QTest::addColumn<int>("offset");   // -1: the character count
        QTest::addColumn<int>("boundary"); // QAccessible::TextBoundaryType
        QTest::addColumn<QString>("text"); // the pane's "first" or "second" row, "first\n", or text
        QTest::addColumn<int>("start");    // -2: the character count; -4: the second row's start
        QTest::addColumn<int>("end");
        const int c = QAccessible::CharBoundary, l = QAccessible::LineBoundary;
        QTest::newRow("no character before the first") << "before" << 0 << c << "" << -1 << -1;
        QTest::newRow("no line before the first") << "before" << 3 << l << "" << -1 << -1;
        QTest::newRow("the line before the second") << "before" << -1 << l << "first\n" << 0 << -4;
        QTest::newRow("the last line has no line end") << "at" << -1 << l << "second" << -4 << -2;
        QTest::newRow("the line after the first") << "after" << 3 << l << "second" << -4 << -2;
        QTest::newRow("no line after the last") << "after" << -1 << l << "" << -1 << -1;
        QTest::newRow("no character after the last")
            << "after" << -3 << c << "" << -1 << -1; // -3: the last character
        QTest::newRow("the first character") << "at" << 0 << c << "2" << 0 << 1;
    }
    void paneTextBoundaries() {
        QFETCH(QString, ask);
        QFETCH(int, offset);
        QFETCH(int, boundary);
        QFETCH(QString, text);
        QFETCH(int, start);
        QFETCH(int, end);
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans,  Ulm\r\n"
                   "2024-Mar-02,  12:05,  20m,  ZZ9ZZ,  Anna,  Ulm\r\n");
        f.window->show();
        QTest::keyClicks(f.box(3), "ZZ9");
        const QStringList rows = f.paneLines();
        QCOMPARE(rows.size(), 2);
        QAccessibleTextInterface* t =
            QAccessible::queryAccessibleInterface(f.window->Text2)->textInterface();
        const int count = t->characterCount();
        offset = offset == -1 ? count : offset == -3 ? count - 1 : offset;
        const int second = int(rows[0].size()) + 1;
        start = start == -4 ? second : start;
        end = end == -2 ? count : end == -4 ? second : end;
        const QString expected = text == "first"     ? rows[0]
                                 : text == "second"  ? rows[1]
                                 : text == "first\n" ? rows[0] + "\n"
                                                     : text;
        const auto type = QAccessible::TextBoundaryType(boundary);
        int s = -9, e = -9;
        const QString got = ask == "before" ? t->textBeforeOffset(offset, type, &s, &e)
                            : ask == "at"   ? t->textAtOffset(offset, type, &s, &e)
                                            : t->textAfterOffset(offset, type, &s, &e);
        QCOMPARE(got, expected);
        QCOMPARE(s, start);
        QCOMPARE(e, end);
    }

    // An empty pane (a call without history, or before any lookup) answers
    // a screen reader with empty text at every offset, and never crashes.
    void emptyPaneIsEmptyAccessibleText() {
        Fixture f;
        f.writeLog("2024-Mar-01,  12:05,  20m,  ZZ9ZZ\r\n");
        f.window->show();
        QTest::keyClicks(f.box(3), "XQX"); // a lookup that finds nothing
        f.settle();
        HistoryView* pane = f.window->Text2;
        QAccessibleTextInterface* t = QAccessible::queryAccessibleInterface(pane)->textInterface();
        QCOMPARE(t->characterCount(), 0);
        int start = -1, end = -1;
        for (const auto boundary : {QAccessible::CharBoundary, QAccessible::WordBoundary,
                                    QAccessible::LineBoundary, QAccessible::NoBoundary}) {
            QCOMPARE(t->textAtOffset(0, boundary, &start, &end), QString());
            QCOMPARE(t->textBeforeOffset(0, boundary, &start, &end), QString());
            QCOMPARE(t->textAfterOffset(0, boundary, &start, &end), QString());
        }
        QCOMPARE(t->text(0, 10), QString());
        t->setCursorPosition(3);
        t->setSelection(0, 0, 5);
        QCOMPARE(t->selectionCount(), 0);
        pane->setFocus();
        for (int key : {Qt::Key_Down, Qt::Key_End, Qt::Key_Right, Qt::Key_A})
            QTest::keyClick(pane, Qt::Key(key),
                            key == Qt::Key_A ? Qt::ControlModifier : Qt::NoModifier);
        QVERIFY(!pane->isEditing());
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
