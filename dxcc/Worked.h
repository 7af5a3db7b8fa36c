// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <map>
#include <vector>

namespace tavrelo::dxcc {

// What a log says of an entity and a call before the next contact: built
// once from the log, and kept up to date as contacts are saved. Calls are
// kept as 64-bit hashes, whatever their length.
class WorkedIndex {
public:
    // One contact: its DXCC entity (0: none), call (its base call), band
    // and mode as the log has them (either may be empty), date as
    // yyyymmdd, and whether it was confirmed (by card or LoTW).
    void add(int dxcc, QStringView call, QByteArrayView band, QByteArrayView mode, int date,
             bool confirmed) {
        add(dxcc, callKey(call), band, mode, date, confirmed);
    }
    void add(int dxcc, quint64 callKey, QByteArrayView band, QByteArrayView mode, int date,
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
    Status status(int dxcc, QStringView call, QByteArrayView band, QByteArrayView mode) const;

    // Per entity, the bands and modes worked and confirmed, as an award
    // application lists them: bands in lower case, modes in upper case.
    struct Entity {
        QSet<QByteArray> bands, modes, confirmedBands, confirmedModes;
        QSet<QByteArray> bandModes, confirmedBandModes; // "band mode"
        bool confirmed = false;
    };
    const std::map<int, Entity>& entities() const { return entities_; }

    static quint64 callKey(QStringView call);

    // Once the log is read: the calls go from the hash that counted them
    // into a sorted array, which holds a call in 16 bytes rather than
    // about 40, and leaves nothing behind in the heap that built it.
    void settle();

private:
    struct Call {
        int count = 0;
        int lastDate = 0;
    };
    struct SettledCall {
        quint64 key;
        Call call;
    };
    const Call* settled(quint64 key) const;
    std::map<int, Entity> entities_;
    std::vector<SettledCall> settled_; // by key
    QHash<quint64, Call> calls_;       // added since
};

// "New one", "New band", "New mode", "New slot", "Worked".
QString describe(WorkedIndex::Standing standing);

// The line the window shows for a typed call: "Fed. Rep. of Germany (230),
// CQ 14, ITU 28, EU: New band; DL1ABC 7 contacts, last 2024-03-01"; only
// the entity while the log's status is not known (s null).
QString entityLine(const Resolution& r, const WorkedIndex::Status* s);

} // namespace tavrelo::dxcc
