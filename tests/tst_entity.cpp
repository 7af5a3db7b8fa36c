// SPDX-License-Identifier: GPL-3.0-or-later
// The line that tells who a typed call is, in the window: shown while a
// call is typed (also without history), named for a screen reader, kept up
// to date by Save, and absent without the country data.
#include "FakePlatform.h"
#include "HistoryView.h"
#include "Tavrelo.h"
#include "TestFiles.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tavrelo;

namespace {

struct Window {
    QTemporaryDir dir;
    FakePlatform platform;
    std::unique_ptr<Tavrelo> window;

    explicit Window(bool dxcc) {
        platform.directory = dir.path();
        platform.dataHome = dir.filePath("share");
        platform.now = QDateTime(QDate(2026, 12, 7), QTime(10, 20, 30), QTimeZone("UTC"));
        testing::writeFile(dir.filePath("Tavrelo.txt"),
                           "2024-Mar-01,  12:05,  20m,  DL1ABC,  Hans,  ,  ,  \r\n");
        window = std::make_unique<Tavrelo>(platform);
        QVERIFY(window->load().ok());
        window->Timer1->stop();
        if (dxcc)
            window->tellEntities();
    }
    QLineEdit* box(int i) const { return window->Text1[size_t(i)]; }
    // The line below the row, once the country data is read; null when
    // the window has none.
    QLabel* line() const {
        for (QLabel* l : window->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            if (std::find(window->Label1.cbegin(), window->Label1.cend(), l) ==
                window->Label1.cend())
                return l;
        }
        return nullptr;
    }
    void settle() const {
        // The worked-before index is built at the lowest priority: on a
        // machine busy with other tests it may wait many seconds.
        QDeadlineTimer deadline(60000);
        while ((window->isHistoryBusy() || (line() && line()->toolTip().isEmpty())) &&
               !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
};

} // namespace

class TestEntity : public QObject {
    Q_OBJECT

private slots:
    void lineWhileACallIsTyped_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("band");
        QTest::addColumn<QString>("words");
        QTest::newRow("worked on the band") << "DL2XYZ"
                                            << "20m"
                                            << "Fed. Rep. of Germany (230), CQ 14, ITU 28, EU: "
                                               "Worked, not confirmed; DL2XYZ not worked before";
        QTest::newRow("a new band") << "DL2XYZ"
                                    << "40m"
                                    << "Fed. Rep. of Germany (230), CQ 14, ITU 28, EU: New band";
        QTest::newRow("a new one, without history")
            << "EA8ABC"
            << "20m"
            << "Canary Islands (29), CQ 33, ITU 36, AF: New one";
        QTest::newRow("the call worked before") << "DL1ABC"
                                                << "20m"
                                                << "DL1ABC 1 contact, last 2024-03-01";
        QTest::newRow("at sea") << "DL1ABC/MM"
                                << "20m"
                                << "No DXCC entity";
    }
    void lineWhileACallIsTyped() {
        QFETCH(QString, call);
        QFETCH(QString, band);
        QFETCH(QString, words);
        Window w(true);
        w.settle();
        QVERIFY(w.line());
        QVERIFY(w.line()->toolTip().contains("cty.dat"));
        QVERIFY(!w.line()->isVisibleTo(w.window.get()));
        w.box(Tavrelo::Band)->setText(band);
        QTest::keyClicks(w.box(Tavrelo::Call), call);
        w.settle();
        QVERIFY(w.line()->isVisibleTo(w.window.get()));
        QVERIFY2(w.line()->text().contains(words), qPrintable(w.line()->text()));
        QCOMPARE(w.line()->accessibleName(), w.line()->text());
        // Within the strip, below the boxes.
        QVERIFY(w.line()->geometry().bottom() < Tavrelo::CollapsedHeight);
        QVERIFY(w.line()->geometry().top() >= w.box(Tavrelo::Call)->geometry().bottom());
        // No call: the window as it always was.
        w.box(Tavrelo::Call)->clear();
        w.settle();
        QVERIFY(!w.line()->isVisibleTo(w.window.get()));
        QCOMPARE(w.window->height(), Tavrelo::CollapsedHeight);
    }

    // A contact saved counts at once.
    void saveCounts() {
        Window w(true);
        w.settle();
        w.box(Tavrelo::Band)->setText("15m");
        QTest::keyClicks(w.box(Tavrelo::Call), "F1ABC");
        QVERIFY(w.line()->text().contains("New one"));
        QTest::mouseClick(w.window->Command1, Qt::LeftButton);
        QTest::keyClicks(w.box(Tavrelo::Call), "F1ABC");
        w.settle();
        QVERIFY2(
            w.line()->text().contains("Worked, not confirmed; F1ABC 1 contact, last 2026-12-07"),
            qPrintable(w.line()->text()));
    }

    // A call with a location shows the history of its base call.
    void baseCallHistory() {
        Window w(true);
        w.settle();
        QTest::keyClicks(w.box(Tavrelo::Call), "VK2/DL1ABC/P");
        w.settle();
        QVERIFY(w.window->Text2->text().contains("DL1ABC,  Hans"));
        QCOMPARE(w.window->height(), Tavrelo::ExpandedHeight);
    }

    // Without it: no line, the window's geometry as ever, and no base call.
    void withoutIt() {
        Window w(false);
        QTest::keyClicks(w.box(Tavrelo::Call), "VK2/DL1ABC/P");
        w.settle();
        QVERIFY(!w.line());
        QCOMPARE(w.window->height(), Tavrelo::CollapsedHeight);
        QCOMPARE(w.window->width(), Tavrelo::ClientWidth);
    }
};

QTEST_MAIN(TestEntity)
#include "tst_entity.moc"
