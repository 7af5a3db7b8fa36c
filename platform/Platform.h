// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "OsError.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace tavrelo {

// Told, on the GUI thread, when the editor started by openInEditor() ends in
// failure after all.
using EditorFailure = std::function<void(const OsError&)>;

// Everything the program asks of the operating system, apart from the
// widgets themselves and the log file's own I/O. The window receives one
// instance and passes it on; tests hand it a FakePlatform.
class Platform {
public:
    virtual ~Platform() = default;

    // The current local date and time, to the millisecond, carrying the time
    // zone in force, so that it converts exactly to UTC, daylight saving
    // included.
    virtual QDateTime localNow() const = 0;

    // The directory that holds the program's executable.
    virtual QString programDirectory() const = 0;

    // Whether the program is an installed one (see isInstalledProgramFolder).
    virtual bool isInstalledProgram() const = 0;

    // The user's data folder ($XDG_DATA_HOME, by default ~/.local/share);
    // empty when there is none.
    virtual QString dataDirectory() const = 0;

    // The clipboard as plain text; empty when it holds no text.
    virtual QString clipboardText() const = 0;

    // Shows the file in the desktop's text editor without waiting for it.
    // Fails at once when the editor cannot be started; when it starts but
    // then ends in failure, onFailure is called later.
    virtual OsError openInEditor(const QString& path, EditorFailure onFailure) = 0;
};

} // namespace tavrelo
