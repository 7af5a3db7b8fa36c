// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeySet.h"

namespace tavrelo {

using keys::hashOf;
using keys::SlotTable;

QByteArrayView KeySet::keyAt(quint64 slot) const {
    const unsigned char* p = strings_.at(SlotTable::placeOf(slot));
    return keys::PackedStrings::next(p);
}

size_t KeySet::find(QByteArrayView key, quint64 hash) const {
    for (size_t i = slots_.home(hash);; i = slots_.next(i)) {
        const quint64 s = slots_[i];
        if (s == 0 || (SlotTable::tagMatches(s, hash) && keyAt(s) == key))
            return i;
    }
}

void KeySet::reserveFor(qsizetype count) {
    slots_.reserveFor(count, strings_);
}

bool KeySet::insert(QByteArrayView key) {
    reserveFor(count_ + 1);
    const quint64 hash = hashOf(key);
    const size_t i = find(key, hash);
    if (slots_[i] != 0)
        return false;
    slots_[i] = SlotTable::slotOf(strings_.store({key}), hash);
    ++count_;
    return true;
}

void KeySet::insertMany(const QByteArrayView* keys, qsizetype n, bool* inserted) {
    reserveFor(count_ + n);
    // Each key's slot, and then the key its slot points at, is far from the
    // last one in memory: ask for a group of them at once, so that their
    // waits overlap, before any is needed.
    constexpr qsizetype Group = 32;
    quint64 hashes[Group];
    for (qsizetype first = 0; first < n; first += Group) {
        const qsizetype count = std::min(Group, n - first);
        for (qsizetype k = 0; k < count; ++k) {
            hashes[k] = hashOf(keys[first + k]);
            slots_.prefetch(hashes[k]);
        }
        for (qsizetype k = 0; k < count; ++k) {
            const quint64 s = slots_[slots_.home(hashes[k])];
            if (s != 0 && SlotTable::tagMatches(s, hashes[k]))
                __builtin_prefetch(strings_.at(SlotTable::placeOf(s)));
        }
        for (qsizetype k = 0; k < count; ++k) {
            const size_t i = find(keys[first + k], hashes[k]);
            inserted[first + k] = slots_[i] == 0;
            if (slots_[i] == 0) {
                slots_[i] = SlotTable::slotOf(strings_.store({keys[first + k]}), hashes[k]);
                ++count_;
            }
        }
    }
}

bool KeySet::contains(QByteArrayView key) const {
    return !slots_.empty() && slots_[find(key, hashOf(key))] != 0;
}

} // namespace tavrelo
