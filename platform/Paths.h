// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavrelo {

// The folder that holds the running program.
QString executableDirectory();

// The user's data folder: $XDG_DATA_HOME, by default ~/.local/share.
QString userDataDirectory();

} // namespace tavrelo
