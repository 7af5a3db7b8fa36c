// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <initializer_list>
#include <memory>
#include <vector>

namespace tavrelo::keys {

// 64 bits on every platform, 32-bit ones included: eight bytes at a time,
// each step mixed by a multiply and a shift.
quint64 hashOf(QByteArrayView bytes);

// Byte strings packed one after another in blocks of 4 MiB, each after its
// length (seven bits to a byte, low bits first). A place, block << 22 |
// offset, finds them again.
class PackedStrings {
public:
    static constexpr int BlockBits = 22;
    // Stores the strings one after another; returns their place.
    quint64 store(std::initializer_list<QByteArrayView> strings);
    const unsigned char* at(quint64 place) const;
    // The string at p, moving p past it.
    static QByteArrayView next(const unsigned char*& p);

private:
    struct Block {
        std::unique_ptr<char[]> bytes;
        qsizetype used = 0, capacity = 0;
    };
    std::vector<Block> blocks_;
};

// An open-addressing table of 8-byte slots, for sets of packed strings: a
// slot holds a place plus one in its upper 40 bits (0: empty) and the top
// 24 bits of the string's hash in its lower 24. The table is indexed by the
// hash's top bits, so that it grows without reading the strings again up to
// 2^24 slots, and the tag spares most comparisons of strings.
class SlotTable {
public:
    static constexpr int TagBits = 24;
    static quint64 tagOf(quint64 hash) { return hash >> (64 - TagBits); }
    static quint64 slotOf(quint64 place, quint64 hash) {
        return ((place + 1) << TagBits) | tagOf(hash);
    }
    static quint64 placeOf(quint64 slot) { return (slot >> TagBits) - 1; }
    static bool tagMatches(quint64 slot, quint64 hash) {
        return (slot & ((quint64(1) << TagBits) - 1)) == tagOf(hash);
    }

    bool empty() const { return slots_.empty(); }
    size_t home(quint64 hash) const { return size_t(hash >> (64 - bits_)); }
    size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }
    quint64 operator[](size_t i) const { return slots_[i]; }
    quint64& operator[](size_t i) { return slots_[i]; }
    // Asks for the home slot of a hash ahead of its use.
    void prefetch(quint64 hash) const {
        if (!slots_.empty())
            __builtin_prefetch(&slots_[home(hash)]);
    }
    // Makes room for count entries, at most three slots in four full: a
    // walk from a home slot still mostly ends within its cache line, and
    // the table takes half the memory it would at half full, which a large
    // import fills with zeros before its first contact. Each entry's first
    // string in strings is what its hash was made of, read again once the
    // tag alone no longer places it.
    void reserveFor(qsizetype count, const PackedStrings& strings) {
        if (size_t(count) * 4 > slots_.size() * 3)
            grow(count, strings);
    }

private:
    void grow(qsizetype count, const PackedStrings& strings);

    std::vector<quint64> slots_;
    int bits_ = 0; // slots_.size() is 2^bits_
};

} // namespace tavrelo::keys
