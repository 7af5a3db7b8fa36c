#include "LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

LogError failure(const char* action, const QString& path, int err) {
    return LogError{QString::fromLatin1(action), path, err,
                    QString::fromLocal8Bit(std::strerror(err))};
}

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

int openRetrying(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens the log for appending, creating it when it is missing; created
// tells whether it was.
int openOrCreate(const QString& path, int access, bool& created) {
    const QByteArray name = QFile::encodeName(path);
    int fd = openRetrying(name, access | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = openRetrying(name, access | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        created = fd >= 0;
    }
    return fd;
}

// A new directory entry is durable only once its directory is synced.
int syncDirectoryOf(const QString& path) {
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = openRetrying(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
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

} // namespace

QString LogError::message() const {
    return QStringLiteral("Could not %1 the log %2.\nError %3: %4.")
        .arg(action, QDir::toNativeSeparators(path))
        .arg(error)
        .arg(description);
}

QString logPath(const QString& programDirectory) {
    return programDirectory + QLatin1Char('/') + QLatin1String(LogFileName);
}

QByteArray buildRecord(const Fields& fields) {
    QString line;
    for (int i = 0; i < FieldCount; ++i) {
        if (i > 0)
            line += QLatin1String(FieldSeparator);
        line += fields[i];
    }
    line.remove(QLatin1Char('\r'));
    line.remove(QLatin1Char('\n'));
    return line.toUtf8() + "\r\n";
}

LogError createLog(const QString& path) {
    bool created = false;
    const int fd = openOrCreate(path, O_WRONLY, created);
    if (fd < 0)
        return failure("open", path, errno);
    const Descriptor file(fd);
    if (!created)
        return {}; // an existing log is left as it is
    if (::fsync(fd) != 0)
        return failure("create", path, errno);
    if (const int err = syncDirectoryOf(path))
        return failure("create", path, err);
    return {};
}

LogError appendRecord(const QString& path, const QByteArray& record) {
    ignoreFileSizeSignal();
    bool created = false; // the log vanished while we ran, and starts again
    const int fd = openOrCreate(path, O_RDWR, created);
    if (fd < 0)
        return failure("open", path, errno);
    const Descriptor file(fd);

    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return failure("lock", path, errno);

    struct stat st;
    if (::fstat(fd, &st) != 0)
        return failure("inspect", path, errno);
    const off_t sizeBefore = st.st_size;

    QByteArray bytes;
    if (sizeBefore > 0) {
        char last = 0;
        ssize_t n;
        do {
            n = ::pread(fd, &last, 1, sizeBefore - 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return failure("read", path, errno);
        if (n == 1 && last != '\n')
            bytes = "\r\n"; // a hand edit left the last line without an end
    }
    bytes += record;

    // Puts the log back to its size before this append, so that a failed
    // save leaves no partial record behind.
    auto undo = [&](const char* action, int err) {
        while (::ftruncate(fd, sizeBefore) != 0 && errno == EINTR) {
        }
        return failure(action, path, err);
    };

    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return undo("write to", errno);
        }
        if (n == 0)
            return undo("write to", ENOSPC);
        written += n;
    }
    if (::fdatasync(fd) != 0)
        return undo("write to", errno);
    if (created) {
        if (const int err = syncDirectoryOf(path))
            return undo("create", err);
    }
    return {};
}

} // namespace tavrelo::logfile
