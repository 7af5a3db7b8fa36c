// SPDX-License-Identifier: GPL-3.0-or-later
#include "DigestSet.h"

#include "SlotTable.h"

namespace tavrelo {

namespace {

// FNV-1a, a second hash independent of keys::hashOf(), made non-zero.
quint64 secondHash(QByteArrayView bytes) {
    quint64 h = 0xcbf29ce484222325ull;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h | 1;
}

} // namespace

DigestSet::Digest DigestSet::digestOf(QByteArrayView bytes, quint64 domain) {
    return {keys::hashOf(bytes) ^ domain, secondHash(bytes)};
}

void DigestSet::clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
}

bool DigestSet::insert(const Digest& d) {
    if (qsizetype(slots_.size()) < (count_ + 1) * 4 / 3 + 1)
        grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = size_t(d.a) & mask;; i = (i + 1) & mask) {
        Digest& slot = slots_[i];
        if (slot.b == 0) {
            slot = d;
            ++count_;
            return true;
        }
        if (slot.a == d.a && slot.b == d.b)
            return false;
    }
}

bool DigestSet::contains(const Digest& d) const {
    if (slots_.empty())
        return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = size_t(d.a) & mask;; i = (i + 1) & mask) {
        const Digest& slot = slots_[i];
        if (slot.b == 0)
            return false;
        if (slot.a == d.a && slot.b == d.b)
            return true;
    }
}

void DigestSet::grow() {
    std::vector<Digest> old;
    old.swap(slots_);
    slots_.resize(std::max<size_t>(1024, old.size() * 2));
    const size_t mask = slots_.size() - 1;
    for (const Digest& d : old) {
        if (d.b == 0)
            continue;
        size_t i = size_t(d.a) & mask;
        while (slots_[i].b != 0)
            i = (i + 1) & mask;
        slots_[i] = d;
    }
}

} // namespace tavrelo
