// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SlotTable.h"

#include <QByteArray>
#include <QByteArrayView>

namespace tavrelo {

// A set of byte strings kept compactly, for the keys of every contact of a
// lifetime log: the bytes packed one after another in large blocks, and an
// open-addressing table of 8-byte slots that point at them. A million keys
// of some 30 bytes take about 50 MB, a third of what a QSet of QByteArrays
// needs.
class KeySet {
public:
    // False when the key was there already.
    bool insert(QByteArrayView key);
    // The same for n keys in turn, much faster for many: inserted[i] tells
    // whether keys[i] was new.
    void insertMany(const QByteArrayView* keys, qsizetype n, bool* inserted);
    bool contains(QByteArrayView key) const;
    qsizetype size() const { return count_; }

private:
    // The slot holding the key, or the empty slot where it belongs.
    size_t find(QByteArrayView key, quint64 hash) const;
    QByteArrayView keyAt(quint64 slot) const;
    void reserveFor(qsizetype count);

    keys::SlotTable slots_;
    keys::PackedStrings strings_;
    qsizetype count_ = 0;
};

} // namespace tavrelo
