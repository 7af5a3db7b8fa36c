// SPDX-License-Identifier: GPL-3.0-or-later
#include "DigestSet.h"

#include <cstring>

namespace tavrelo {

quint64 DigestSet::mix(quint64 h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

DigestSet::Digest DigestSet::digestOf(QByteArrayView bytes, quint64 domain) {
    // Two hashes of different make in one pass, a word at a time.
    const char* p = bytes.data();
    qsizetype n = bytes.size();
    quint64 a = 0x9e3779b97f4a7c15ull ^ quint64(n) ^ domain;
    quint64 b = 0x6a09e667f3bcc909ull + quint64(n);
    for (; n >= 8; p += 8, n -= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        a = (a ^ w) * 0xff51afd7ed558ccdull;
        a ^= a >> 32;
        b = ((b + w) << 27 | (b + w) >> 37) * 0x9fb21c651e98df25ull;
    }
    quint64 w = 0;
    if (n > 0)
        std::memcpy(&w, p, size_t(n));
    return {mix(a ^ w), mix(b + w + 0x94d049bb133111ebull) | 1};
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

void DigestSet::reserve(qsizetype n) {
    size_t size = std::max<size_t>(1024, slots_.size());
    while (qsizetype(size) < (n + 1) * 4 / 3 + 1)
        size *= 2;
    if (size > slots_.size())
        grow(size);
}

void DigestSet::grow(size_t size) {
    std::vector<Digest> old;
    old.swap(slots_);
    slots_.resize(size ? size : std::max<size_t>(1024, old.size() * 2));
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
