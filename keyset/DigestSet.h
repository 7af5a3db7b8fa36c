// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>

#include <vector>

namespace tavrelo {

// A set of byte strings kept as 128-bit digests of them, 16 bytes each in
// an open-addressing table: for the lines and records of a whole log when
// only "seen before?" is asked. Two strings share a digest with a chance
// of one in 2^128, far below that of a disk's undetected error.
class DigestSet {
public:
    struct Digest {
        quint64 a = 0, b = 0; // b is never 0 in a used slot
    };
    // domain keeps strings of different kinds apart (a key and a line).
    static Digest digestOf(QByteArrayView bytes, quint64 domain = 0);
    // A 64-bit value's bits spread over all 64, for digests made of digests.
    static quint64 mix(quint64 x);

    // False when the digest was there already.
    bool insert(const Digest& d);
    bool contains(const Digest& d) const;
    qsizetype size() const { return count_; }
    // Room for n digests made at once, without the growing on the way.
    void reserve(qsizetype n);
    void clear();

private:
    void grow(size_t size = 0); // to size slots, or twice as many

    std::vector<Digest> slots_;
    qsizetype count_ = 0;
};

} // namespace tavrelo
