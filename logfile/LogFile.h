#pragma once

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

// The log's file name; the file lives beside the executable.
inline constexpr char LogFileName[] = "Tavrelo.txt";

// What went wrong with the log; error 0 means nothing did.
struct LogError {
    QString action;      // what was being done, e.g. "write to"
    QString path;        // the log's path
    int error = 0;       // errno of the call that failed
    QString description; // the system's text for that error

    bool ok() const { return error == 0; }
    // "Could not write to the log /x/Tavrelo.txt.\nError 28: No space left on device."
    QString message() const;
};

QString logPath(const QString& programDirectory);

// One log record: the fields joined by the separator, ended by CR LF, UTF-8.
// Nothing is trimmed, quoted or escaped; only CR and LF are dropped, because
// a record must stay on one line.
QByteArray buildRecord(const Fields& fields);

// Creates the log empty when it is missing; an existing log is not touched.
LogError createLog(const QString& path);

// Appends one record and returns only once it is on disk. Holds an exclusive
// lock for the whole append so that records of two copies of the program
// never interleave; starts the record on a fresh line when the log's last
// line has no end; undoes a partial write. On failure the log is as before.
LogError appendRecord(const QString& path, const QByteArray& record);

} // namespace tavrelo::logfile
