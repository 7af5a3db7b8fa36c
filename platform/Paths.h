// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavrelo {

// The folder that holds the running program.
QString executableDirectory();

// The user's data folder: $XDG_DATA_HOME, by default ~/.local/share. A
// relative XDG_DATA_HOME is ignored, as the XDG rules say; empty when there
// is neither an absolute XDG_DATA_HOME nor an absolute HOME.
QString userDataDirectory();

// Whether a program in that folder is an installed one: the folder the
// package installs to, a system folder for programs, or a folder that
// belongs to another user (root's /usr/bin, say). An installed program
// never keeps its log beside itself.
bool isInstalledProgramFolder(const QString& folder);

} // namespace tavrelo
