// tavrelo-adif: converts a Tavrelo log to an ADIF file for upload to
// confirmation services and for other logging programs.
#include "Adif.h"
#include "QtPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char usage[] =
    "Usage: tavrelo-adif [LOG] [-o OUT.adi] [--mode MODE]\n"
    "\n"
    "Converts a Tavrelo log to ADIF "
    "3.1.4 (.adi), one record per contact.\n"
    "\n"
    "  LOG           the log to read; by default Tavrelo.txt beside this program\n"
    "  -o OUT.adi    write the ADIF file there (replaced only once it is complete);\n"
    "                by default it goes to standard output\n"
    "  --mode MODE   give every contact this mode (SSB, CW, FM, FT8, RTTY, ...);\n"
    "                confirmation services need a mode, and the log has none\n"
    "  --help        show this text\n"
    "\n"
    "Lines that give no contact (a wrong number of fields, a date or time that\n"
    "does not parse, a band ADIF does not know) are listed on standard error with\n"
    "their line number, and skipped.\n"
    "\n"
    "Exit status: 0 every line converted; 1 some lines skipped; 2 the log could\n"
    "not be read, the output not written, or the command line is wrong.\n";

int fail(const QString& message) {
    std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(message));
    return 2;
}

QString osError(const char* what, const QString& path, int err) {
    return QStringLiteral("cannot %1 %2: error %3: %4")
        .arg(QLatin1String(what), path)
        .arg(err)
        .arg(QString::fromLocal8Bit(std::strerror(err)));
}

int writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QString logPath, outPath;
    QByteArray modeField;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (a == QLatin1String("-o") || a == QLatin1String("--mode")) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("%1 needs a value (see --help)").arg(a));
            const QString value = args[++i];
            if (a == QLatin1String("-o")) {
                outPath = value;
            } else {
                const auto m = tavrelo::adif::mode(value);
                if (!m)
                    return fail(QStringLiteral("\"%1\" is not an ADIF mode").arg(value));
                modeField = *m;
            }
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(a));
        } else if (logPath.isEmpty()) {
            logPath = a;
        } else {
            return fail(QStringLiteral("only one log can be converted at a time (see --help)"));
        }
    }
    if (logPath.isEmpty())
        logPath = tavrelo::logfile::logPath(tavrelo::executableDirectory());

    // A file is written under a temporary name and renamed once complete, so
    // that an earlier export is never left half overwritten.
    int fd = STDOUT_FILENO;
    QString tempPath;
    if (!outPath.isEmpty()) {
        tempPath = outPath + QStringLiteral(".part");
        fd = ::open(QFile::encodeName(tempPath).constData(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(osError("create", tempPath, errno));
    }
    if (modeField.isEmpty())
        std::fputs("tavrelo-adif: note: no --mode given; confirmation services need a mode for "
                   "every contact\n",
                   stderr);

    const tavrelo::adif::ExportSummary summary = tavrelo::adif::exportLog(
        logPath, modeField, QDateTime::currentDateTimeUtc(), QStringLiteral(TAVRELO_VERSION),
        [fd](const QByteArray& bytes) { return writeAll(fd, bytes); },
        [](const QString& note) { std::fprintf(stderr, "%s\n", qPrintable(note)); });

    int writeError = summary.writeError;
    if (!outPath.isEmpty()) {
        if (writeError == 0 && ::fsync(fd) != 0)
            writeError = errno;
        if (::close(fd) != 0 && writeError == 0)
            writeError = errno;
        if (writeError == 0 && summary.read.status == tavrelo::logfile::ReadStatus::Read &&
            ::rename(QFile::encodeName(tempPath).constData(),
                     QFile::encodeName(outPath).constData()) != 0)
            return fail(osError("rename to", outPath, errno));
        if (writeError != 0 || summary.read.status != tavrelo::logfile::ReadStatus::Read)
            ::unlink(QFile::encodeName(tempPath).constData());
    }
    if (summary.read.status == tavrelo::logfile::ReadStatus::Missing)
        return fail(osError("read", QDir::toNativeSeparators(logPath), ENOENT));
    if (summary.read.status == tavrelo::logfile::ReadStatus::Failed)
        return fail(osError("read", summary.read.error.path, summary.read.error.error));
    if (writeError != 0)
        return fail(osError(
            "write", outPath.isEmpty() ? QStringLiteral("standard output") : tempPath, writeError));
    std::fprintf(stderr, "%lld contacts written, %lld lines skipped\n", (long long)summary.written,
                 (long long)summary.skipped);
    return summary.skipped > 0 ? 1 : 0;
}
