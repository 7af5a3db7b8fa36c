#include "FakePlatform.h"
#include "Tavrelo.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
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
            QTest::addRow("Label1(%d)", i)
                << QStringLiteral("Label1(%1)").arg(i) << cols[i].label << cols[i].caption << QColor() << -1;
            QTest::addRow("Text1(%d)", i) << QStringLiteral("Text1(%1)").arg(i) << cols[i].box << ""
                                          << (i < 3 ? tip : green) << i + 1;
        }
        QTest::newRow("Command1") << "Command1" << QRect(660, 40, 99, 27) << "Save" << QColor() << 0;
        QTest::newRow("Command2") << "Command2" << QRect(660, 9, 99, 26) << "Open" << QColor() << 10;
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
        QTest::newRow("example") << exampleContact
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
        QCOMPARE(f.log(), QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n"
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
        QCOMPARE(f.log(), QByteArray("2006-Nov-18,  14:05:33,  40m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n"));
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
