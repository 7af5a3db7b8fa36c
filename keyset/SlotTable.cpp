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
    unsigned char lengths[4][10];
    int sizes[4] = {};
    qsizetype needed = 0;
    int k = 0;
    for (const QByteArrayView s : strings) {
        for (quint64 l = quint64(s.size());; l >>= 7) {
            lengths[k][sizes[k]++] = static_cast<unsigned char>((l & 0x7f) | (l > 0x7f ? 0x80 : 0));
            if (l <= 0x7f)
                break;
        }
        needed += sizes[k] + s.size();
        ++k;
    }
    if (blocks_.empty() || blocks_.back().size() + needed > BlockSize) {
        // Strings longer than a block get one of their own, at offset 0.
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(BlockSize, needed));
        platform::adviseHugePages(blocks_.back().constData(), size_t(blocks_.back().capacity()));
    }
    QByteArray& block = blocks_.back();
    const quint64 place = (quint64(blocks_.size() - 1) << BlockBits) | quint64(block.size());
    k = 0;
    for (const QByteArrayView s : strings) {
        block.append(reinterpret_cast<const char*>(lengths[k]), sizes[k]);
        block.append(s);
        ++k;
    }
    return place;
}

const unsigned char* PackedStrings::at(quint64 place) const {
    return reinterpret_cast<const unsigned char*>(blocks_[size_t(place >> BlockBits)].constData()) +
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
    while ((size_t(1) << bits) < size_t(count) * 2)
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
