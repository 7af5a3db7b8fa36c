// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <functional>

namespace tavrelo::platform {

// Catches SIGINT and SIGTERM: instead of ending the program on the spot,
// each calls onStop with the signal's number, on the thread of context, from
// its event loop, so that the program can finish what it does and end
// cleanly. For one context in the program.
void catchStopSignals(QObject* context, std::function<void(int)> onStop);

} // namespace tavrelo::platform
