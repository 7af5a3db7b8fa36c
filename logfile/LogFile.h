// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "OsError.h"

#include <QByteArray>
#include <QString>

#include <array>

namespace tavrelo::logfile {

// The eight boxes of the entry row, in index order: date, UTC time, band,
// call sign, name, QTH, report sent, report received.
constexpr int FieldCount = 8;
using Fields = std::array<QString, FieldCount>;

// Between two fields of a record: a comma and two spaces.
inline constexpr char FieldSeparator[] = ",  ";

// The log's file name.
inline constexpr char LogFileName[] = "Tavrelo.txt";

// The log in that folder.
QString logPath(const QString& folder);
// A file beside the log, named as the log with its ".txt" replaced by
// suffix: ".adi" gives Tavrelo.adi.
QString besideLog(const QString& logPath, const QString& suffix);

// Where the log is. A copied, "portable" Tavrelo keeps its log with it:
// beside the program when it is there, or when the program's folder is
// writable. An installed program never does, for any user, root included:
// its log is in the folder Tavrelo of the user's data folder, and a log
// found beside it is not used (note says so). The window, Open, the history
// and the companions all find the log through this one rule.
struct LogLocation {
    QString path;  // empty when there is nowhere to keep it
    QString note;  // to be said once, or empty
    QString error; // why there is nowhere to keep it
};
LogLocation locateLog(const QString& programDirectory, bool installedProgram,
                      const QString& dataDirectory);
QString findLogPath(const QString& programDirectory, const QString& dataDirectory,
                    bool installedProgram = false);

// One log record: the fields joined by the separator, ended by CR LF, UTF-8.
// Nothing is trimmed, quoted or escaped; only control characters are
// dropped (CR and LF among them), because a record must stay on one line
// and stay text.
QByteArray buildRecord(const Fields& fields);

// Creates the log empty when it is missing, with its folder when that is
// missing too, and makes the new file and its folder entry durable; an
// existing log is not touched. A log that is not a
// regular file (a FIFO, a device) is an error, found without blocking.
// created, when given, tells whether it was made now.
OsError createLog(const QString& path, bool* created = nullptr);

enum class SaveState {
    Saved,       // the record is in the log and on disk
    NotSaved,    // the log holds nothing of this save
    Unconfirmed, // the record is whole in the log, but the disk did not confirm it
};

// What a Save did; see appendWithRecord().

struct SaveResult {
    SaveState state = SaveState::Saved;
    OsError error;        // what failed, unless Saved
    QString recoveryNote; // an unfinished append put right first, to be said once
};

// Why a file of that st_mode cannot be a log; empty for a regular file.
QString notARegularFile(unsigned mode);

// What stands at a path, for a program about to write a file there: why it
// is not a regular file (empty when it is one, or when nothing is there),
// and whether it is the log itself under another name (a relative path, a
// symbolic or a hard link).
struct OutputCheck {
    bool exists = false;
    QString notRegular;
    bool isTheLog = false;
};
OutputCheck checkOutput(const QString& outPath, const QString& logPath);

} // namespace tavrelo::logfile
