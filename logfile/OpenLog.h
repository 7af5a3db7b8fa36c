// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "OsError.h"

#include <QString>

#include <sys/stat.h>

namespace tavrelo::logfile {

// Opens the log without ever blocking: a FIFO or a device put in its place
// gives an error at once instead of freezing the caller. Returns the
// descriptor, or -1 with error set (action names what was attempted).
// created tells whether O_CREAT made a new file; pass nullptr not to create.
// opened, when given, receives the file's status as it was checked.
int openLog(const QString& path, int access, const QString& action, OsError& error,
            bool* created = nullptr, struct stat* opened = nullptr);

} // namespace tavrelo::logfile
