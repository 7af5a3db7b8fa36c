// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Settings.h"

#include <QString>

#include <functional>

namespace tavrelo::upload {

// What tqsl's exit code means, as its manual lists codes 0 to 11.
QString tqslExitMeaning(int code);

struct LotwResult {
    int contacts = 0;    // sent to tqsl
    int exitCode = -1;   // tqsl's; -1 when it did not run
    QString finalStatus; // tqsl's "Final Status" line
    QString error;       // why nothing was marked sent; empty when they were
};

// Signs and uploads the contacts of the log not yet sent to LoTW (no
// LOTW_QSL_SENT Y) with tqsl (tqsl -x -d -a compliant -l LOCATION -u
// FILE), and marks them sent (LOTW_QSL_SENT Y, LOTW_QSLSDATE today, added
// to their records in the fields file) only when tqsl exits 0, or 9 (some
// were uploaded before). tqsl needs a display, even in batch mode.
LotwResult sendToLotw(const QString& logPath, const Settings& settings, const QString& tqsl,
                      const std::function<void(const QString&)>& note);

} // namespace tavrelo::upload
