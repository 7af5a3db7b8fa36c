// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlotTable.h"

#include "Memory.h"

#include <cstring>

namespace tavrelo::keys {

namespace {
constexpr qsizetype BlockSize = qsizetype(1) << PackedStrings::BlockBits;
}

quint64 hashOf(QByteArrayView bytes) {
    const char* p = bytes.data();
    qsizetype n = bytes.size();
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

quint64 PackedStrings::store(std::initializer_list<QByteArrayView> strings) {
    qsizetype needed = 0;
    for (const QByteArrayView s : strings)
        needed += s.size() + (s.size() < 0x80 ? 1 : 10);
    if (blocks_.empty() || blocks_.back().used + needed > blocks_.back().capacity) {
        // Strings longer than a block get one of their own, at offset 0.
        Block& block = blocks_.emplace_back();
        block.capacity = std::max(BlockSize, needed);
        block.bytes.reset(new char[size_t(block.capacity)]);
        platform::adviseHugePages(block.bytes.get(), size_t(block.capacity));
    }
    // Written in place, each length and string at once: appends of a few
    // bytes each would cost more than the copying.
    Block& block = blocks_.back();
    const quint64 place = (quint64(blocks_.size() - 1) << BlockBits) | quint64(block.used);
    char* p = block.bytes.get() + block.used;
    for (const QByteArrayView s : strings) {
        for (quint64 l = quint64(s.size());; l >>= 7) {
            *p++ = static_cast<char>((l & 0x7f) | (l > 0x7f ? 0x80 : 0));
            if (l <= 0x7f)
                break;
        }
        if (!s.isEmpty())
            std::memcpy(p, s.data(), size_t(s.size()));
        p += s.size();
    }
    block.used = p - block.bytes.get();
    return place;
}

const unsigned char* PackedStrings::at(quint64 place) const {
    return reinterpret_cast<const unsigned char*>(blocks_[size_t(place >> BlockBits)].bytes.get()) +
           (place & (BlockSize - 1));
}

QByteArrayView PackedStrings::next(const unsigned char*& p) {
    qsizetype length = 0;
    for (int shift = 0;; shift += 7) {
        length |= qsizetype(*p & 0x7f) << shift;
        if (!(*p++ & 0x80))
            break;
    }
    const QByteArrayView s(reinterpret_cast<const char*>(p), length);
    p += length;
    return s;
}

void SlotTable::grow(qsizetype count, const PackedStrings& strings) {
    int bits = bits_ == 0 ? 10 : bits_;
    while ((size_t(1) << bits) * 3 < size_t(count) * 4)
        ++bits;
    std::vector<quint64> old;
    old.swap(slots_);
    bits_ = bits;
    const size_t size = size_t(1) << bits_;
    slots_.reserve(size); // advised before the zeros touch it
    platform::adviseHugePages(slots_.data(), size * sizeof(quint64));
    slots_.resize(size, 0);
    for (const quint64 s : old) {
        if (s == 0)
            continue;
        const quint64 tag = s & ((quint64(1) << TagBits) - 1);
        size_t i;
        if (bits_ <= TagBits) {
            i = size_t(tag >> (TagBits - bits_));
        } else {
            const unsigned char* p = strings.at(placeOf(s));
            i = home(hashOf(PackedStrings::next(p)));
        }
        while (slots_[i] != 0)
            i = next(i);
        slots_[i] = s;
    }
}

} // namespace tavrelo::keys
