// SPDX-License-Identifier: GPL-3.0-or-later
#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo {

QString executableDirectory() {
    return QCoreApplication::applicationDirPath();
}

QString userDataDirectory() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home + QStringLiteral("/.local/share"));
    return {};
}

bool isInstalledProgramFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QString dir = canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
    static const char* const systemFolders[] = {
        TAVRELO_INSTALL_BINDIR, "/usr/bin",  "/usr/local/bin", "/bin",      "/usr/games",
        "/usr/local/games",     "/usr/sbin", "/sbin",          "/snap/bin", "/app/bin"};
    for (const char* s : systemFolders) {
        const QString system = QFileInfo(QString::fromLocal8Bit(s)).canonicalFilePath();
        if (dir == QDir::cleanPath(QString::fromLocal8Bit(s)) ||
            (!system.isEmpty() && dir == system))
            return true;
    }
    // A folder laid out as an installation, with the package's menu entry
    // beside it (prefix/bin and prefix/share), wherever it was unpacked.
    if (QFileInfo::exists(dir + QStringLiteral("/../share/applications/tavrelo.desktop")))
        return true;
    struct stat st;
    return ::stat(QFile::encodeName(dir).constData(), &st) == 0 && st.st_uid != ::getuid();
}

} // namespace tavrelo
