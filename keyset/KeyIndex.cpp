// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyIndex.h"

#include <cstring>

namespace tavrelo {

using keys::hashOf;
using keys::PackedStrings;
using keys::SlotTable;

// An entry: the key, then its number in eight bytes.
size_t KeyIndex::find(QByteArrayView key, quint64 hash) const {
    for (size_t i = slots_.home(hash);; i = slots_.next(i)) {
        const quint64 s = slots_[i];
        if (s == 0)
            return i;
        if (SlotTable::tagMatches(s, hash)) {
            const unsigned char* p = strings_.at(SlotTable::placeOf(s));
            if (PackedStrings::next(p) == key)
                return i;
        }
    }
}

qsizetype KeyIndex::numberAt(quint64 slot) const {
    const unsigned char* p = strings_.at(SlotTable::placeOf(slot));
    PackedStrings::next(p);
    const QByteArrayView n = PackedStrings::next(p);
    qint64 number = 0;
    std::memcpy(&number, n.data(), sizeof number);
    return qsizetype(number);
}

qsizetype KeyIndex::insert(QByteArrayView key) {
    slots_.reserveFor(count_ + 1, strings_);
    const quint64 hash = hashOf(key);
    const size_t i = find(key, hash);
    if (slots_[i] != 0)
        return numberAt(slots_[i]);
    const qint64 number = count_++;
    slots_[i] = SlotTable::slotOf(
        strings_.store(
            {key, QByteArrayView(reinterpret_cast<const char*>(&number), sizeof number)}),
        hash);
    return qsizetype(number);
}

qsizetype KeyIndex::indexOf(QByteArrayView key) const {
    if (slots_.empty())
        return -1;
    const quint64 s = slots_[find(key, hashOf(key))];
    return s == 0 ? -1 : numberAt(s);
}

} // namespace tavrelo
