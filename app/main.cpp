// SPDX-License-Identifier: GPL-3.0-or-later
#include "QtPlatform.h"
#include "Tavrelo.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

void noDisplayHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr,
                 "tavrelo: no usable graphical display: %s\nStart Tavrelo from a desktop "
                 "session.\n",
                 qPrintable(message.section(QLatin1Char('\n'), 0, 0)));
    std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
    if (!tavrelo::hasGraphicalDisplay()) {
        std::fputs("tavrelo: no graphical display found (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set).\nStart Tavrelo from a desktop session.\n",
                   stderr);
        return 1;
    }
    // Qt ends the program with abort() when its display cannot be reached,
    // even with a platform named in QT_QPA_PLATFORM: say so plainly instead.
    qInstallMessageHandler(noDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    tavrelo::QtPlatform platform;
    tavrelo::Tavrelo window(platform);
    if (const tavrelo::OsError error = window.load(); !error.ok()) {
        const QString message =
            error.message() + QStringLiteral("\n\nTavrelo cannot run without its log.");
        std::fprintf(stderr, "tavrelo: %s\n", qPrintable(message));
        QMessageBox::critical(nullptr, QStringLiteral("Tavrelo"), message);
        return 1;
    }
    window.show();
    return app.exec();
}
