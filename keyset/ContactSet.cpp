// SPDX-License-Identifier: GPL-3.0-or-later
#include "ContactSet.h"

namespace tavrelo {

using keys::PackedStrings;
using keys::SlotTable;

// Calls visit(discriminator) for every entry of the key; returns the empty
// slot that ends the walk, where a new entry of the key belongs.
template <typename Visit>
void ContactSet::walk(QByteArrayView key, quint64 hash, Visit visit) const {
    if (slots_.empty())
        return;
    for (size_t i = slots_.home(hash);; i = slots_.next(i)) {
        const quint64 s = slots_[i];
        if (s == 0)
            return;
        if (!SlotTable::tagMatches(s, hash))
            continue;
        const unsigned char* p = strings_.at(SlotTable::placeOf(s));
        if (PackedStrings::next(p) == key && !visit(PackedStrings::next(p)))
            return;
    }
}

ContactSet::Known ContactSet::find(QByteArrayView key, QByteArrayView discriminator,
                                   quint64 hash) const {
    Known known;
    walk(key, hash, [&](QByteArrayView d) {
        known.any = true;
        known.plain = known.plain || d.isEmpty();
        known.same = known.same || d == discriminator;
        return !(known.plain && known.same);
    });
    return known;
}

void ContactSet::forEach(QByteArrayView key, quint64 hash,
                         const std::function<void(QByteArrayView)>& found) const {
    walk(key, hash, [&](QByteArrayView d) {
        found(d);
        return true;
    });
}

bool ContactSet::insert(QByteArrayView key, QByteArrayView discriminator, quint64 hash) {
    if (find(key, discriminator, hash).same)
        return false;
    add(key, discriminator, hash);
    return true;
}

void ContactSet::reserve(qsizetype count) {
    slots_.reserveFor(count, strings_);
}

void ContactSet::add(QByteArrayView key, QByteArrayView discriminator, quint64 hash) {
    reserve(count_ + 1);
    size_t i = slots_.home(hash);
    while (slots_[i] != 0)
        i = slots_.next(i);
    slots_[i] = SlotTable::slotOf(strings_.store({key, discriminator}), hash);
    ++count_;
}

void ContactSet::prefetchEntry(quint64 hash) const {
    if (slots_.empty())
        return;
    const quint64 s = slots_[slots_.home(hash)];
    if (s != 0 && SlotTable::tagMatches(s, hash))
        __builtin_prefetch(strings_.at(SlotTable::placeOf(s)));
}

} // namespace tavrelo
