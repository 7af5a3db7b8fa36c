// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace tavrelo {

// Makes the history pane known to screen readers as a multi-line text box,
// its whole text readable by character, word and line, with its caret and
// selection. Installs itself once; later calls do nothing.
void installHistoryAccessible();

} // namespace tavrelo
