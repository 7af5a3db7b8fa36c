// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <map>

namespace tavrelo::dxcc {

// What a log says of an entity and a call before the next contact: built
// once from the log, and kept up to date as contacts are saved.
class WorkedIndex {
public:
    // One contact: its DXCC entity (0: none), call, band and mode as the
    // log has them (either may be empty), date as yyyymmdd, and whether it
    // was confirmed (by card or LoTW).
    void add(int dxcc, const QString& call, const QString& band, const QString& mode, int date,
             bool confirmed);

    enum class Standing { NewOne, NewBand, NewMode, NewSlot, Worked };
    struct Status {
        Standing standing = Standing::NewOne;
        bool confirmed = false; // the entity, on this band and mode when worked there
        int calls = 0;          // contacts with the call
        int lastDate = 0;       // yyyymmdd of the call's last contact; 0 when none
    };
    // For the next contact with call, of entity dxcc, on band in mode; an
    // empty band or mode is not asked about.
    Status status(int dxcc, const QString& call, const QString& band, const QString& mode) const;

    // Per entity, the bands and modes worked and confirmed, as an award
    // application lists them.
    struct Entity {
        QSet<QString> bands, modes, confirmedBands, confirmedModes;
        QSet<QString> bandModes, confirmedBandModes; // "band mode"
        bool confirmed = false;
    };
    const std::map<int, Entity>& entities() const { return entities_; }

private:
    struct Call {
        int count = 0;
        int lastDate = 0;
    };
    std::map<int, Entity> entities_;
    QHash<QByteArray, Call> calls_;
};

// "New one", "New band", "New mode", "New slot", "Worked".
QString describe(WorkedIndex::Standing standing);

// The line the window shows for a typed call: "Fed. Rep. of Germany (230),
// CQ 14, ITU 28, EU: New band; DL1ABC 7 contacts, last 2024-03-01".
QString entityLine(const Resolution& r, const WorkedIndex::Status& s);

} // namespace tavrelo::dxcc
