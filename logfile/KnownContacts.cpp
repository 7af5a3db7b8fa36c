// SPDX-License-Identifier: GPL-3.0-or-later
#include "KnownContacts.h"

namespace tavrelo::logfile {

namespace {

// The digest a key's further telling is filed under.
DigestSet::Digest withTelling(const DigestSet::Digest& key, quint64 telling) {
    return {key.a ^ DigestSet::mix(telling),
            key.b ^ DigestSet::mix(telling + 0x9e3779b97f4a7c15ull)};
}

} // namespace

DigestSet::Digest KnownContacts::keyDigest(QByteArrayView key) {
    return DigestSet::digestOf(key, 0x4b4559ull);
}

quint64 KnownContacts::tellingDigest(QByteArrayView telling) {
    return telling.isEmpty() ? 0 : DigestSet::digestOf(telling).a | 1;
}

void KnownContacts::clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
}

size_t KnownContacts::probe(const Digest& d) const {
    const quint32 b = (quint32(d.b) & ~quint32(Flags)) | Used;
    const size_t mask = slots_.size() - 1;
    for (size_t i = size_t(d.a) & mask;; i = (i + 1) & mask) {
        const Entry& e = slots_[i];
        if (e.b == 0 || (e.a == d.a && (e.b & ~quint32(Flags - Used)) == b))
            return i;
    }
}

KnownContacts::Entry* KnownContacts::find(const Digest& d) const {
    if (slots_.empty())
        return nullptr;
    const Entry& e = slots_[probe(d)];
    return e.b == 0 ? nullptr : const_cast<Entry*>(&e);
}

KnownContacts::Entry& KnownContacts::findOrAdd(const Digest& d) {
    if (qsizetype(slots_.size()) * 3 < (count_ + 1) * 4)
        grow();
    Entry& e = slots_[probe(d)];
    if (e.b == 0) {
        e = {d.a, (quint32(d.b) & ~quint32(Flags)) | Used, 0};
        ++count_;
    }
    return e;
}

void KnownContacts::grow() {
    std::vector<Entry> old;
    old.swap(slots_);
    slots_.resize(std::max<size_t>(1024, old.size() * 2));
    const size_t mask = slots_.size() - 1;
    for (const Entry& e : old) {
        if (e.b == 0)
            continue;
        size_t i = size_t(e.a) & mask;
        while (slots_[i].b != 0)
            i = (i + 1) & mask;
        slots_[i] = e;
    }
}

bool KnownContacts::holdsTelling(const Entry& key, const Digest& d, quint64 telling) const {
    return key.telling == quint32(telling) || find(withTelling(d, telling)) != nullptr;
}

void KnownContacts::tell(Entry& key, const Digest& d, quint64 telling) {
    key.b |= Told;
    if (key.telling == 0) {
        key.telling = quint32(telling);
    } else if (!holdsTelling(key, d, telling)) {
        findOrAdd(withTelling(d, telling)); // key may move as the table grows
    }
}

void KnownContacts::addLine(const Digest& key) {
    findOrAdd(key).b |= Line;
}

void KnownContacts::addRecord(const Digest& key, quint64 telling) {
    if (telling != 0)
        tell(findOrAdd(key), key, telling);
}

bool KnownContacts::holds(const Entry& e, const Digest& key, quint64 telling) const {
    if (!(e.b & Line))
        return false;
    return telling == 0 || !(e.b & Told) || (e.b & Plain) || holdsTelling(e, key, telling);
}

bool KnownContacts::holds(const Digest& key, quint64 telling) const {
    const Entry* e = find(key);
    return e && holds(*e, key, telling);
}

bool KnownContacts::addIfNew(const Digest& key, quint64 telling) {
    // One look for the key, whether it is held or is to be added.
    Entry& e = findOrAdd(key);
    if (holds(e, key, telling))
        return false;
    e.b |= Line;
    if (telling == 0)
        e.b |= Plain;
    else
        tell(e, key, telling);
    return true;
}

} // namespace tavrelo::logfile
