// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"

#include <QByteArray>
#include <QHash>

#include <array>

namespace tavrelo::adif {

// The fields of a call's entity and zones, each " <NAME:n>value", with the
// entity's number; none for a call of no entity.
struct EntityFields {
    int dxcc = 0;
    std::array<QByteArray, 5> written;
};

// The entity's fields that the records written lack, from their calls,
// put before their ends. With a DXCC of its own, a record gets them only
// when its call is of that entity. The fields of an entity and its zones
// are made once.
class EntityFiller {
public:
    EntityFiller(const dxcc::CountryFile& countries, bool utf8)
        : countries_(countries), utf8_(utf8) {}

    EntityFields fieldsOf(QByteArrayView call);
    // Puts the fields that the record written from recordStart on lacks
    // before its end: those of its call's entity, or the ones given
    // (fieldsOf() its call, made beforehand).
    void fill(QByteArray& out, qsizetype recordStart, const EntityFields* given = nullptr);

private:
    static constexpr QByteArrayView names[] = {"DXCC", "COUNTRY", "CQZ", "ITUZ", "CONT"};
    const dxcc::CountryFile& countries_;
    bool utf8_;
    QHash<quint64, EntityFields> made_;
};

} // namespace tavrelo::adif
