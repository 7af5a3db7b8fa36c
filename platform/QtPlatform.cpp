#include "QtPlatform.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace tavrelo {

namespace {

// The program that opens a text file in the desktop's editor.
#if defined(Q_OS_MACOS)
const char* const editorCommand[] = {"open", "-t"};
#else
const char* const editorCommand[] = {"xdg-open"};
#endif

} // namespace

QDateTime QtPlatform::localNow() const {
    return QDateTime::currentDateTime();
}

QString QtPlatform::programDirectory() const {
    return executableDirectory();
}

QString executableDirectory() {
    return QCoreApplication::applicationDirPath();
}

QString QtPlatform::clipboardText() const {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    return clipboard ? clipboard->text() : QString();
}

OsResult QtPlatform::openInEditor(const QString& path) {
    // No shell is involved: the path reaches the editor as one argument,
    // whatever spaces, quotes or semicolons it holds.
    const QByteArray encodedPath = QFile::encodeName(path);
    std::vector<char*> argv;
    for (const char* word : editorCommand)
        argv.push_back(const_cast<char*>(word));
    argv.push_back(const_cast<char*>(encodedPath.constData()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own session, so that the editor outlives us and ignores our signals.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0)
        return OsResult::fromErrno(err);

    // Do not wait for the editor; reap it whenever it ends so that no zombie is left.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return {};
}

bool hasGraphicalDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

void keepFreedMemoryForReuse() {
#ifdef __GLIBC__
    // Blocks up to 256 MiB come from the heap, and the heap's top is kept up
    // to 512 MiB, so a lookup's few megabytes stay with the process.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
#endif
}

} // namespace tavrelo
