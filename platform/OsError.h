// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavrelo {

// A call to the operating system that failed: what was attempted, on which
// file or program, and why. The window, the log and tavrelo-adif all report
// failures through this one type and its one message form.
struct OsError {
    QString action;      // what was attempted, e.g. "write to the log"
    QString path;        // the file or program it was attempted on
    int error = 0;       // errno of the call that failed; 0 when reason says why
    QString description; // the system's text for error, or the plain reason
    bool failed = false;

    bool ok() const { return !failed; }

    static OsError fromErrno(const QString& action, const QString& path, int err);
    // A failure that no errno describes, such as a log that is a FIFO.
    static OsError because(const QString& action, const QString& path, const QString& reason);

    // "Could not write to the log /x/Tavrelo.txt.\nError 28: No space left on device."
    // or, with a plain reason, "Could not read the log /x/Tavrelo.txt.\nIt is a FIFO, ..."
    QString message() const;
};

// The system's text for an errno value.
QString errorText(int err);

} // namespace tavrelo
