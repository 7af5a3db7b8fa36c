// SPDX-License-Identifier: GPL-3.0-or-later
#include "QtPlatform.h"

#include "Paths.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrelo {

namespace {

// The program that opens a text file in the desktop's editor.
#if defined(Q_OS_MACOS)
const char* const editorCommand[] = {"open", "-t"};
#else
const char* const editorCommand[] = {"xdg-open"};
#endif

// The program that shows a text file in the desktop's editor.
QString editorProgram() {
    return QString::fromLatin1(editorCommand[0]);
}

// How an editor process ended, passed from its reaper thread to the GUI
// thread through a pipe. The pipe lives as long as the process: a reaper
// may still write to it after the window has gone.
struct Ended {
    pid_t pid;
    int status;
};
int endedPipe[2] = {-1, -1};

bool openEndedPipe() {
    static const bool ok = ::pipe2(endedPipe, O_CLOEXEC) == 0;
    return ok;
}

// What xdg-open's exit status means, as its manual gives it.
QString editorExitReason(int status) {
    const QString program = editorProgram();
    if (WIFSIGNALED(status))
        return QStringLiteral("%1 was ended by signal %2").arg(program).arg(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    QString why;
    switch (code) {
    case 1:
        why = QStringLiteral("it was given a wrong command line");
        break;
    case 2:
        why = QStringLiteral("it found no such file");
        break;
    case 3:
        why = QStringLiteral("it found no program that opens text files");
        break;
    case 4:
        why = QStringLiteral("the program it started failed");
        break;
    default:
        why = QStringLiteral("it failed");
        break;
    }
    return QStringLiteral("%1 ended with exit status %2: %3").arg(program).arg(code).arg(why);
}

} // namespace

QtPlatform::QtPlatform() = default;
QtPlatform::~QtPlatform() = default;

QDateTime QtPlatform::localNow() const {
    return QDateTime::currentDateTime();
}

QString QtPlatform::programDirectory() const {
    return executableDirectory();
}

QString QtPlatform::dataDirectory() const {
    return userDataDirectory();
}

bool QtPlatform::isInstalledProgram() const {
    if (!installed_)
        installed_ = isInstalledProgramFolder(executableDirectory());
    return *installed_;
}

QString QtPlatform::clipboardText() const {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    return clipboard ? clipboard->text() : QString();
}

OsError QtPlatform::openInEditor(const QString& path, EditorFailure onFailure) {
    const QString startAction = QStringLiteral("start the text editor");
    if (!openEndedPipe())
        return OsError::fromErrno(startAction, editorProgram(), errno);
    if (!endedNotifier_) {
        endedNotifier_ = std::make_unique<QSocketNotifier>(endedPipe[0], QSocketNotifier::Read);
        QObject::connect(endedNotifier_.get(), &QSocketNotifier::activated,
                         [this] { collectEndedEditors(); });
    }

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
        return OsError::fromErrno(startAction, editorProgram(), err);

    editors_.insert(pid, Started{path, std::move(onFailure)});
    // Do not wait for the editor; reap it whenever it ends, so that no zombie
    // is left, and pass on how it ended.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const Ended ended{pid, status};
        while (::write(endedPipe[1], &ended, sizeof ended) < 0 && errno == EINTR) {
        }
    }).detach();
    return {};
}

void QtPlatform::collectEndedEditors() {
    Ended ended;
    ssize_t n;
    do {
        n = ::read(endedPipe[0], &ended, sizeof ended);
    } while (n < 0 && errno == EINTR);
    if (n != sizeof ended)
        return;
    const auto it = editors_.find(ended.pid);
    if (it == editors_.end())
        return;
    const Started started = it.value();
    editors_.erase(it);
    const bool failed = !WIFEXITED(ended.status) || WEXITSTATUS(ended.status) != 0;
    if (failed && started.onFailure)
        started.onFailure(OsError::because(QStringLiteral("show in the text editor the log"),
                                           started.path, editorExitReason(ended.status)));
}

bool hasGraphicalDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace tavrelo
