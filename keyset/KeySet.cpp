// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeySet.h"

#include "Memory.h"

#include <cstring>

namespace tavrelo {

namespace {

// A slot: the key's place (block << BlockBits | offset), plus one, in the
// upper 40 bits; the top 24 bits of its hash in the lower 24. The table is
// indexed by the hash's top bits, so that it grows without reading the
// keys again up to 2^24 slots, and the tag spares most comparisons of keys.
constexpr int BlockBits = 22;
constexpr qsizetype BlockSize = qsizetype(1) << BlockBits;
constexpr int TagBits = 24;

quint64 tagOf(quint64 hash) {
    return hash >> (64 - TagBits);
}

// 64 bits on every platform, 32-bit ones included: eight bytes at a time,
// each step mixed by a multiply and a shift.
quint64 hashOf(QByteArrayView key) {
    const char* p = key.data();
    qsizetype n = key.size();
    quint64 h = 0x9e3779b97f4a7c15ull ^ quint64(n);
    for (; n >= 8; p += 8, n -= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    quint64 w = 0;
    if (n > 0)
        std::memcpy(&w, p, size_t(n));
    h = (h ^ w) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 32);
}

} // namespace

const char* KeySet::placeOf(quint64 slot) const {
    const quint64 place = (slot >> TagBits) - 1;
    return blocks_[size_t(place >> BlockBits)].constData() + (place & (BlockSize - 1));
}

QByteArrayView KeySet::keyAt(quint64 slot) const {
    const auto* p = reinterpret_cast<const unsigned char*>(placeOf(slot));
    // The length, seven bits to a byte, low bits first.
    qsizetype length = 0;
    for (int shift = 0;; shift += 7) {
        length |= qsizetype(*p & 0x7f) << shift;
        if (!(*p++ & 0x80))
            break;
    }
    return QByteArrayView(reinterpret_cast<const char*>(p), length);
}

size_t KeySet::find(QByteArrayView key, quint64 hash) const {
    const size_t mask = slots_.size() - 1;
    const quint64 tag = tagOf(hash);
    for (size_t i = size_t(hash >> (64 - bits_));; i = (i + 1) & mask) {
        const quint64 s = slots_[i];
        if (s == 0 || ((s & ((1u << TagBits) - 1)) == tag && keyAt(s) == key))
            return i;
    }
}

quint64 KeySet::store(QByteArrayView key, quint64 hash) {
    unsigned char length[10];
    int n = 0;
    for (quint64 l = quint64(key.size());; l >>= 7) {
        length[n++] = static_cast<unsigned char>((l & 0x7f) | (l > 0x7f ? 0x80 : 0));
        if (l <= 0x7f)
            break;
    }
    const qsizetype needed = n + key.size();
    if (blocks_.empty() || blocks_.back().size() + needed > BlockSize) {
        // A key longer than a block gets one of its own, at offset 0.
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(BlockSize, needed));
        platform::adviseHugePages(blocks_.back().constData(), size_t(blocks_.back().capacity()));
    }
    QByteArray& block = blocks_.back();
    const quint64 place = (quint64(blocks_.size() - 1) << BlockBits) | quint64(block.size());
    block.append(reinterpret_cast<const char*>(length), n);
    block.append(key);
    return ((place + 1) << TagBits) | tagOf(hash);
}

void KeySet::grow() {
    std::vector<quint64> old;
    old.swap(slots_);
    bits_ = old.empty() ? 10 : bits_ + 1;
    const size_t size = size_t(1) << bits_;
    slots_.reserve(size); // advised before the zeros touch it
    platform::adviseHugePages(slots_.data(), size * sizeof(quint64));
    slots_.resize(size, 0);
    const size_t mask = size - 1;
    for (const quint64 s : old) {
        if (s == 0)
            continue;
        const quint64 tag = s & ((quint64(1) << TagBits) - 1);
        size_t i = bits_ <= TagBits ? size_t(tag >> (TagBits - bits_))
                                    : size_t(hashOf(keyAt(s)) >> (64 - bits_));
        while (slots_[i] != 0)
            i = (i + 1) & mask;
        slots_[i] = s;
    }
}

bool KeySet::insert(QByteArrayView key) {
    if (size_t(count_ + 1) * 2 > slots_.size())
        grow();
    const quint64 hash = hashOf(key);
    const size_t i = find(key, hash);
    if (slots_[i] != 0)
        return false;
    slots_[i] = store(key, hash);
    ++count_;
    return true;
}

void KeySet::insertMany(const QByteArrayView* keys, qsizetype n, bool* inserted) {
    while (size_t(count_ + n) * 2 > slots_.size())
        grow();
    // Each key's slot, and then the key its slot points at, is far from the
    // last one in memory: ask for a group of them at once, so that their
    // waits overlap, before any is needed.
    constexpr qsizetype Group = 32;
    quint64 hashes[Group];
    const size_t mask = slots_.size() - 1;
    for (qsizetype first = 0; first < n; first += Group) {
        const qsizetype count = std::min(Group, n - first);
        for (qsizetype k = 0; k < count; ++k) {
            hashes[k] = hashOf(keys[first + k]);
            __builtin_prefetch(&slots_[size_t(hashes[k] >> (64 - bits_))]);
        }
        for (qsizetype k = 0; k < count; ++k) {
            const quint64 s = slots_[size_t(hashes[k] >> (64 - bits_)) & mask];
            if (s != 0 && (s & ((1u << TagBits) - 1)) == tagOf(hashes[k]))
                __builtin_prefetch(placeOf(s));
        }
        for (qsizetype k = 0; k < count; ++k) {
            const size_t i = find(keys[first + k], hashes[k]);
            inserted[first + k] = slots_[i] == 0;
            if (slots_[i] == 0) {
                slots_[i] = store(keys[first + k], hashes[k]);
                ++count_;
            }
        }
    }
}

bool KeySet::contains(QByteArrayView key) const {
    return !slots_.empty() && slots_[find(key, hashOf(key))] != 0;
}

} // namespace tavrelo
