// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SlotTable.h"

#include <QByteArrayView>

#include <functional>

namespace tavrelo {

// The contacts of a log by key, each with what tells contacts of one key
// apart (its mode, satellite and propagation; empty when it says nothing),
// as compact as KeySet: one entry per contact. Every entry of a key hangs
// off the key's own hash, so that one walk from one slot finds them all.
class ContactSet {
public:
    static quint64 hashOf(QByteArrayView key) { return keys::hashOf(key); }

    // Adds a contact; false when one of that key and discriminator was there.
    bool insert(QByteArrayView key, QByteArrayView discriminator, quint64 hash);
    bool insert(QByteArrayView key, QByteArrayView discriminator) {
        return insert(key, discriminator, hashOf(key));
    }

    struct Known {
        bool any = false;   // a contact of the key
        bool plain = false; // one that says nothing that tells it apart
        bool same = false;  // one with the same discriminator
    };
    Known find(QByteArrayView key, QByteArrayView discriminator, quint64 hash) const;
    // Adds a contact that find() has just not found.
    void add(QByteArrayView key, QByteArrayView discriminator, quint64 hash);
    // Calls found() with each discriminator known for the key.
    void forEach(QByteArrayView key, quint64 hash,
                 const std::function<void(QByteArrayView)>& found) const;

    // Asks for what a lookup of the hash will read, a while before it: its
    // slot, and then the entry the slot points at.
    void prefetchSlot(quint64 hash) const { slots_.prefetch(hash); }
    void prefetchEntry(quint64 hash) const;

    qsizetype size() const { return count_; }
    // Makes room for count contacts in all, so that the table need not
    // grow (and be filled again) on the way there.
    void reserve(qsizetype count);

private:
    template <typename Visit> void walk(QByteArrayView key, quint64 hash, Visit visit) const;

    keys::SlotTable slots_;
    keys::PackedStrings strings_;
    qsizetype count_ = 0;
};

} // namespace tavrelo
