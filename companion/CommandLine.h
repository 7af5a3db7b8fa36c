// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QCommandLineParser>
#include <QString>

#include <optional>

namespace tavrelo::companion {

// What the command line of every command-line companion has: an optional
// LOG (by default the log the window uses), --where, --help and --version.
// A companion adds its own options to parser() before parse().
class CommandLine {
public:
    // program: its name, which starts its messages; logUse: what it does
    // with the log, for the help ("read", "write").
    CommandLine(const QString& program, const char* description, const QString& logUse);

    QCommandLineParser& parser() { return parser_; }

    // The exit status when the command is done already (--help, --version,
    // --where, or a wrong command line), or nothing when the program goes on.
    std::optional<int> parse(const QStringList& arguments);

    // LOG, or the log the window uses.
    const QString& logPath() const { return logPath_; }

    // Says on standard error what went wrong, after the program's name;
    // returns the exit status 2.
    int fail(const QString& message) const;

private:
    QString program_;
    QCommandLineParser parser_;
    QCommandLineOption where_;
    QString logPath_;
};

} // namespace tavrelo::companion
