// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"
#include "OsError.h"
#include "Worked.h"

#include <QString>

namespace tavrelo::adif {

// What is known of a logged contact for worked-before: its entity is its
// record's DXCC when it has one, else its call's; its mode its record's
// MODE (the mode of its SUBMODE); confirmed when QSL_RCVD or LOTW_QSL_RCVD
// is Y.
struct WorkedContact {
    int dxcc = 0;
    QString call, band, mode;
    int date = 0; // yyyymmdd
    bool confirmed = false;
};

// Every contact of the log, with its record in the fields file beside it,
// into the index. A log that is missing is an empty one.
OsError readWorked(const QString& logPath, const dxcc::CountryFile& countries,
                   dxcc::WorkedIndex& index);

// The date of the log's Date box as yyyymmdd; 0 when it is none.
int dateNumber(const QString& logDate);

} // namespace tavrelo::adif
