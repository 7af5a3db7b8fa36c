#pragma once

#include <QDateTime>
#include <QString>

namespace tavrelo {

// Outcome of an operating-system call: zero error means success.
struct OsResult {
    int error = 0;       // errno of the call that failed
    QString description; // the system's text for that error

    bool ok() const { return error == 0; }
    static OsResult fromErrno(int err);
};

// Everything the program asks of the operating system, apart from the
// widgets themselves and the log file's own I/O. The window receives one
// instance and passes it on; tests hand it a FakePlatform.
class Platform {
public:
    virtual ~Platform() = default;

    // The current local date and time, carrying the time zone in force,
    // so that it converts exactly to UTC, daylight saving included.
    virtual QDateTime localNow() const = 0;

    // The directory that holds the program's executable.
    virtual QString programDirectory() const = 0;

    // The clipboard as plain text; empty when it holds no text.
    virtual QString clipboardText() const = 0;

    // Shows the file in the desktop's text editor without waiting for it.
    virtual OsResult openInEditor(const QString& path) = 0;
};

} // namespace tavrelo
