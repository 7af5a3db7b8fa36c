// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogFile.h"

#include "OpenLog.h"
#include "SystemCalls.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

SystemCalls& systemCalls() {
    static SystemCalls calls;
    return calls;
}

long sysWrite(int fd, const void* data, size_t size) {
    const SystemCalls& c = systemCalls();
    return c.write ? c.write(fd, data, size) : long(::write(fd, data, size));
}
int sysFdatasync(int fd) {
    const SystemCalls& c = systemCalls();
    return c.fdatasync ? c.fdatasync(fd) : ::fdatasync(fd);
}
int sysFsync(int fd) {
    const SystemCalls& c = systemCalls();
    return c.fsync ? c.fsync(fd) : ::fsync(fd);
}

namespace {

// Closes a descriptor when the scope ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

int writeAll(int fd, const char* data, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const long n = sysWrite(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

qint64 readAt(int fd, char* data, qint64 size, qint64 offset) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -1 : done;
        done += n;
    }
    return done;
}

int truncateTo(int fd, qint64 size) {
    int rc;
    do {
        rc = ::ftruncate(fd, off_t(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return errno;
    return sysFdatasync(fd) == 0 ? 0 : errno;
}

int openRetrying(const QByteArray& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A new directory entry is durable only once its directory is synced.
int syncDirectoryOf(const QString& path) {
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = openRetrying(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = sysFsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

// A file-size limit must turn into an EFBIG error, not kill the program.
void ignoreFileSizeSignal() {
    static const bool done = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)done;
}

void startWriting(int fd, long long offset, long long length) {
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

// Another copy of the program holds the lock only for one append. A lock
// held longer belongs to something else, and must not freeze the window.
int lockExclusive(int fd) {
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
        if (attempt >= 300)
            return EWOULDBLOCK;
        QThread::msleep(10);
    }
}

QString notARegularFile(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return {};
    case S_IFIFO:
        return QStringLiteral("It is a FIFO (named pipe), not a regular file");
    case S_IFCHR:
        return QStringLiteral("It is a character device, not a regular file");
    case S_IFBLK:
        return QStringLiteral("It is a block device, not a regular file");
    case S_IFDIR:
        return QStringLiteral("It is a folder, not a file");
    case S_IFSOCK:
        return QStringLiteral("It is a socket, not a regular file");
    default:
        return QStringLiteral("It is not a regular file");
    }
}

int openLog(const QString& path, int access, const QString& action, OsError& error, bool* created,
            struct stat* opened) {
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO would otherwise wait for its other end.
    const int flags = access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = openRetrying(name, flags);
    if (fd < 0 && errno == ENOENT && created) {
        fd = openRetrying(name, flags | O_CREAT | O_EXCL, 0644);
        *created = fd >= 0;
        if (fd < 0 && errno == EEXIST) // another copy created it just now
            fd = openRetrying(name, flags);
    }
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ENXIO && ::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode))
            error = OsError::because(action, path, notARegularFile(st.st_mode));
        else
            error = OsError::fromErrno(action, path, err);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = OsError::fromErrno(action, path, errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = OsError::because(action, path, notARegularFile(st.st_mode));
        ::close(fd);
        return -1;
    }
    if (opened)
        *opened = st;
    return fd;
}

OutputCheck checkOutput(const QString& outPath, const QString& logPath) {
    OutputCheck check;
    struct stat out;
    if (::stat(QFile::encodeName(outPath).constData(), &out) != 0)
        return check; // a new file cannot be the log
    check.exists = true;
    check.notRegular = notARegularFile(out.st_mode);
    struct stat log;
    check.isTheLog = ::stat(QFile::encodeName(logPath).constData(), &log) == 0 &&
                     log.st_dev == out.st_dev && log.st_ino == out.st_ino;
    return check;
}

QString logPath(const QString& folder) {
    return folder + QLatin1Char('/') + QLatin1String(LogFileName);
}

QString besideLog(const QString& logPath, const QString& suffix) {
    const QFileInfo info(logPath);
    QString base = info.fileName();
    if (base.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        base.chop(4);
    return info.path() + QLatin1Char('/') + base + suffix;
}

LogLocation locateLog(const QString& programDirectory, bool installedProgram,
                      const QString& dataDirectory) {
    LogLocation where;
    const QString beside = logPath(programDirectory);
    struct stat st;
    const bool logBeside = ::lstat(QFile::encodeName(beside).constData(), &st) == 0;
    if (!installedProgram) {
        // Without a data folder (no home), the log stays beside the program.
        if (logBeside || ::access(QFile::encodeName(programDirectory).constData(), W_OK) == 0 ||
            dataDirectory.isEmpty()) {
            where.path = beside;
            return where;
        }
    }
    if (dataDirectory.isEmpty()) {
        where.error = QStringLiteral("There is no folder for your log: neither HOME nor "
                                     "XDG_DATA_HOME names an absolute folder. Set HOME and start "
                                     "again; nothing was written.");
        return where;
    }
    where.path = logPath(dataDirectory + QStringLiteral("/Tavrelo"));
    if (installedProgram && logBeside)
        where.note = QStringLiteral("%1 beside the installed program is not used: your log is %2")
                         .arg(beside, where.path);
    return where;
}

QString findLogPath(const QString& programDirectory, const QString& dataDirectory,
                    bool installedProgram) {
    return locateLog(programDirectory, installedProgram, dataDirectory).path;
}

namespace {

// mkdir -p, each new folder made durable in its parent; returns an errno.
int makeFolders(const QString& folder) {
    const QByteArray name = QFile::encodeName(folder);
    struct stat st;
    if (::stat(name.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    const QString parent = QFileInfo(folder).path();
    if (parent != folder) {
        if (const int err = makeFolders(parent))
            return err;
    }
    if (::mkdir(name.constData(), 0755) != 0 && errno != EEXIST)
        return errno;
    return syncDirectoryOf(folder);
}

} // namespace

QByteArray buildRecord(const Fields& fields) {
    QString line;
    for (int i = 0; i < FieldCount; ++i) {
        if (i > 0)
            line += QLatin1String(FieldSeparator);
        line += fields[i];
    }
    // Control characters are dropped: CR and LF would break the record in
    // two, and a NUL or the like makes tools such as grep take the whole
    // log for a binary file.
    line.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    return line.toUtf8() + "\r\n";
}

OsError createLog(const QString& path, bool* madeNow) {
    if (const int err = makeFolders(QFileInfo(path).path()))
        return OsError::fromErrno(QStringLiteral("create the folder of the log"), path, err);
    OsError error;
    bool created = false;
    const QString action = QStringLiteral("open the log");
    const int fd = openLog(path, O_WRONLY | O_APPEND, action, error, &created);
    if (fd < 0)
        return error;
    const Descriptor file(fd);
    if (madeNow)
        *madeNow = created;
    if (!created)
        return {}; // an existing log is left as it is
    const QString create = QStringLiteral("create the log");
    if (sysFsync(fd) != 0)
        return OsError::fromErrno(create, path, errno);
    if (const int err = syncDirectoryOf(path))
        return OsError::fromErrno(create, path, err);
    return {};
}

} // namespace tavrelo::logfile
