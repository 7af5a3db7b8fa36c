// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"

#include <QByteArray>
#include <QHash>
#include <QVarLengthArray>

#include <array>

namespace tavrelo::adif {

// The fields of a call's entity and zones, each " <NAME:n>value", with the
// entity's number; none for a call of no entity.
struct EntityFields {
    int dxcc = 0;
    std::array<QByteArray, 5> written;
};

struct RecordView;

// The fields of the calls' entities, made once for each entity and zones.
class EntityFiller {
public:
    EntityFiller(const dxcc::CountryFile& countries, bool utf8)
        : countries_(countries), utf8_(utf8) {}

    EntityFields fieldsOf(QByteArrayView call);

private:
    const dxcc::CountryFile& countries_;
    bool utf8_;
    QHash<quint64, EntityFields> made_;
};

// The entity's fields that a contact lacks: those its record (if any) has
// no value for, and none when the record's own DXCC is another entity's.
// A value that came with the contact is never changed.
QVarLengthArray<QByteArrayView, 5> lacking(const EntityFields& entity, const RecordView* record);

} // namespace tavrelo::adif
