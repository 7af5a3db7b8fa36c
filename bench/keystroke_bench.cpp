// Times a keystroke in the real window, offscreen: from the third character
// of a call typed into the Call box to the first screen of its history.
// keystroke_bench LOGFOLDER CALL [REPEATS]
#include "FakePlatform.h"
#include "QtPlatform.h"
#include "Tavrelo.h"

#include "HistoryView.h"
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: keystroke_bench LOGFOLDER CALL [REPEATS]\n");
        return 2;
    }
    tavrelo::FakePlatform platform;
    platform.directory = QString::fromLocal8Bit(argv[1]);
    const QString call = QString::fromLocal8Bit(argv[2]);
    const int repeats = argc > 3 ? std::max(1, atoi(argv[3])) : 11;
    tavrelo::Tavrelo window(platform);
    window.show();
    QLineEdit* box = window.Text1[tavrelo::Tavrelo::Call];
    std::vector<double> ms, complete;
    for (int i = 0; i < repeats; ++i) {
        box->clear();
        QTest::keyClicks(box, call.left(2));
        QElapsedTimer timer;
        timer.start();
        QTest::keyClicks(box, call.mid(2, 1));
        ms.push_back(double(timer.nsecsElapsed()) / 1e6); // the key handled
        while (window.isHistoryBusy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        window.Text2->viewport()->repaint(); // the first screen of the result
        complete.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(complete.begin(), complete.end());
    std::sort(ms.begin(), ms.end());
    std::printf("pane lines: %lld\nkey handled, median ms: %.2f\n"
                "first screen of the result, median ms:\n%.2f\n",
                (long long)window.Text2->rowCount(), ms[ms.size() / 2],
                complete[complete.size() / 2]);
    return 0;
}
