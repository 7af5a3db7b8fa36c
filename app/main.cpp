#include "QtPlatform.h"
#include "Tavrelo.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (!tavrelo::hasGraphicalDisplay()) {
        std::fputs("tavrelo: no graphical display found (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set).\nStart Tavrelo from a desktop session.\n",
                   stderr);
        return 1;
    }
    tavrelo::keepFreedMemoryForReuse();
    QApplication app(argc, argv);
    tavrelo::QtPlatform platform;
    tavrelo::Tavrelo window(platform);
    if (const tavrelo::logfile::LogError error = window.load(); !error.ok()) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavrelo"),
                              error.message() +
                                  QStringLiteral("\n\nTavrelo cannot run without its log."));
        return 1;
    }
    window.show();
    return app.exec();
}
