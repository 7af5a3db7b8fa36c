// SPDX-License-Identifier: GPL-3.0-or-later
#include "CommandLine.h"

#include "LogFile.h"
#include "Paths.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace tavrelo::companion {

CommandLine::CommandLine(const QString& program, const char* description, const QString& logUse)
    : program_(program), where_(QStringLiteral("where"),
                                QStringLiteral("Print where the log is, and do nothing else.")) {
    parser_.setApplicationDescription(QString::fromLatin1(description));
    parser_.addPositionalArgument(
        QStringLiteral("LOG"),
        QStringLiteral("The log to %1; by default the log the window uses (see --where).")
            .arg(logUse),
        QStringLiteral("[LOG]"));
    parser_.addOption(where_);
}

std::optional<int> CommandLine::parse(const QStringList& arguments) {
    const QCommandLineOption help = parser_.addHelpOption();
    const QCommandLineOption version = parser_.addVersionOption();
    if (!parser_.parse(arguments))
        return fail(parser_.errorText() + QStringLiteral(" (see --help)"));
    if (parser_.isSet(help)) {
        std::fputs(qPrintable(parser_.helpText()), stdout);
        return 0;
    }
    if (parser_.isSet(version)) {
        std::printf("%s %s\n", qPrintable(program_),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    const QStringList positional = parser_.positionalArguments();
    const logfile::LogLocation where =
        logfile::locateLog(executableDirectory(), isInstalledProgramFolder(executableDirectory()),
                           userDataDirectory());
    if (!where.note.isEmpty())
        std::fprintf(stderr, "%s: note: %s\n", qPrintable(program_), qPrintable(where.note));
    if (where.path.isEmpty() && (positional.isEmpty() || parser_.isSet(where_)))
        return fail(where.error);
    const QString defaultLog = where.path;
    if (parser_.isSet(where_)) {
        std::printf("%s\n", qPrintable(QDir::toNativeSeparators(defaultLog)));
        return 0;
    }
    if (positional.size() > 1)
        return fail(QStringLiteral("only one log at a time (see --help)"));
    logPath_ = positional.isEmpty() ? defaultLog : positional.first();
    return std::nullopt;
}

int CommandLine::fail(const QString& message) const {
    std::fprintf(stderr, "%s: %s\n", qPrintable(program_), qPrintable(message));
    std::fflush(stderr);
    return 2;
}

} // namespace tavrelo::companion
