// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"

#include <QByteArray>
#include <QHash>

#include <array>

namespace tavrelo::adif {

// The entity's fields that the records written lack, from their calls,
// put before their ends. With a DXCC of its own, a record gets them only
// when its call is of that entity. The fields of an entity and its zones
// are made once.
class EntityFiller {
public:
    EntityFiller(const dxcc::CountryFile& countries, bool utf8)
        : countries_(countries), utf8_(utf8) {}

    void fill(QByteArray& out, qsizetype recordStart);

private:
    static constexpr QByteArrayView names[] = {"DXCC", "COUNTRY", "CQZ", "ITUZ", "CONT"};
    const dxcc::CountryFile& countries_;
    bool utf8_;
    QHash<quint64, std::array<QByteArray, 5>> made_;
};

} // namespace tavrelo::adif
