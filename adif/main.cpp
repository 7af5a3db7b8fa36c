// SPDX-License-Identifier: GPL-3.0-or-later
// tavrelo-adif: converts a Tavrelo log to an ADIF file for upload to
// confirmation services and for other logging programs.
#include "Adif.h"
#include "Paths.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char description[] =
    "Converts a Tavrelo log to ADIF 3.1.4 (.adi), one record per contact.\n"
    "\n"
    "Lines that give no contact (a wrong number of fields, a date or time that\n"
    "does not parse, a band ADIF does not know) are listed on standard error with\n"
    "their line number, and skipped.\n"
    "\n"
    "Exit status: 0 every line converted; 1 some lines skipped; 2 the log could\n"
    "not be read, the output not written, or the command line is wrong.";

int fail(const QString& message) {
    std::fprintf(stderr, "tavrelo-adif: %s\n", qPrintable(message));
    return 2;
}

int fail(const tavrelo::OsError& error) {
    return fail(error.message());
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

// The error of a QSaveFile call that just failed: the errno it left, or
// Qt's own text when there is none.
tavrelo::OsError saveFileError(const QString& action, const QSaveFile& file, int err) {
    return err != 0 ? tavrelo::OsError::fromErrno(action, file.fileName(), err)
                    : tavrelo::OsError::because(action, file.fileName(), file.errorString());
}

// An output file is refused when it is the log itself, by whatever name
// (a relative path, a symlink or a hard link), or not a regular file.
std::optional<tavrelo::OsError> refusedOutput(const QString& outPath, const QString& logPath) {
    const QString action = QStringLiteral("write the ADIF file");
    struct stat out;
    if (::stat(QFile::encodeName(outPath).constData(), &out) != 0)
        return std::nullopt; // a new file cannot be the log
    if (!S_ISREG(out.st_mode))
        return tavrelo::OsError::because(
            action, outPath,
            tavrelo::logfile::notARegularFile(out.st_mode) +
                QStringLiteral("; leave out -o to write to standard output"));
    struct stat log;
    if (::stat(QFile::encodeName(logPath).constData(), &log) == 0 && log.st_dev == out.st_dev &&
        log.st_ino == out.st_ino)
        return tavrelo::OsError::because(
            action, outPath,
            QStringLiteral("It is the log %1 itself, which it would replace; the log is unchanged")
                .arg(QDir::toNativeSeparators(logPath)));
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrelo-adif"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRELO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addPositionalArgument(
        QStringLiteral("LOG"),
        QStringLiteral("The log to read; by default the log the window uses (see --where)."),
        QStringLiteral("[LOG]"));
    const QCommandLineOption outOption(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Write the ADIF file there, replaced only once it is complete; by default "
                       "it goes to standard output."),
        QStringLiteral("OUT.adi"));
    const QCommandLineOption modeOption(
        QStringLiteral("mode"),
        QStringLiteral("Give every contact this mode (SSB, CW, FM, FT8, RTTY, ...): confirmation "
                       "services need a mode, and the log has none."),
        QStringLiteral("MODE"));
    const QCommandLineOption whereOption(
        QStringLiteral("where"), QStringLiteral("Print where the log is, and do nothing else."));
    parser.addOptions({outOption, modeOption, whereOption});
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("tavrelo-adif %s\n", TAVRELO_VERSION);
        return 0;
    }
    const QString defaultLog =
        tavrelo::logfile::findLogPath(tavrelo::executableDirectory(), tavrelo::userDataDirectory());
    if (parser.isSet(whereOption)) {
        std::printf("%s\n", qPrintable(QDir::toNativeSeparators(defaultLog)));
        return 0;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return fail(QStringLiteral("only one log can be converted at a time (see --help)"));
    const QString logPath = positional.isEmpty() ? defaultLog : positional.first();
    const QString outPath = parser.value(outOption);
    QByteArray modeField;
    if (parser.isSet(modeOption)) {
        const auto m = tavrelo::adif::mode(parser.value(modeOption));
        if (!m)
            return fail(QStringLiteral("\"%1\" is not an ADIF mode").arg(parser.value(modeOption)));
        modeField = *m;
    }

    if (!outPath.isEmpty()) {
        if (const auto refused = refusedOutput(outPath, logPath))
            return fail(*refused);
    }
    // A file is written under a fresh temporary name and renamed over the
    // output only once complete, so an earlier export is never left half
    // overwritten, and a failed export leaves nothing behind.
    QSaveFile file(outPath);
    if (!outPath.isEmpty()) {
        errno = 0;
        if (!file.open(QIODevice::WriteOnly))
            return fail(saveFileError(QStringLiteral("create the ADIF file"), file, errno));
    }
    if (modeField.isEmpty())
        std::fputs("tavrelo-adif: note: no --mode given; confirmation services need a mode for "
                   "every contact\n",
                   stderr);

    const QString writeAction = QStringLiteral("write the ADIF file");
    const tavrelo::adif::ExportSummary summary = tavrelo::adif::exportLog(
        logPath, modeField, QDateTime::currentDateTimeUtc(), QStringLiteral(TAVRELO_VERSION),
        [&](const QByteArray& bytes) {
            if (outPath.isEmpty())
                return writeAll(STDOUT_FILENO, bytes);
            errno = 0;
            return file.write(bytes) == bytes.size() ? 0 : (errno ? errno : EIO);
        },
        [](const QString& note) { std::fprintf(stderr, "%s\n", qPrintable(note)); });

    if (summary.read.status == tavrelo::logfile::ReadStatus::Missing)
        return fail(tavrelo::OsError::fromErrno(QStringLiteral("read the log"), logPath, ENOENT));
    if (summary.read.status == tavrelo::logfile::ReadStatus::Failed)
        return fail(summary.read.error);
    if (summary.writeError != 0)
        return fail(tavrelo::OsError::fromErrno(
            writeAction, outPath.isEmpty() ? QStringLiteral("standard output") : outPath,
            summary.writeError));
    if (!outPath.isEmpty()) {
        errno = 0;
        if (!file.commit())
            return fail(saveFileError(writeAction, file, errno));
    }
    std::fprintf(stderr, "%lld contacts written, %lld lines skipped\n", (long long)summary.written,
                 (long long)summary.skipped);
    return summary.skipped > 0 ? 1 : 0;
}
