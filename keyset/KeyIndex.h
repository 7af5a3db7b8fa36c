// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SlotTable.h"

#include <QByteArrayView>

namespace tavrelo {

// Byte strings numbered 0, 1, 2, ... in the order they first came, kept as
// compactly as KeySet: for a table beside it, indexed by that number.
class KeyIndex {
public:
    // The key's number, given now when it is new.
    qsizetype insert(QByteArrayView key);
    // The key's number, or -1.
    qsizetype indexOf(QByteArrayView key) const;
    qsizetype size() const { return count_; }

private:
    // The slot holding the key, or the empty slot where it belongs.
    size_t find(QByteArrayView key, quint64 hash) const;
    qsizetype numberAt(quint64 slot) const;

    keys::SlotTable slots_;
    keys::PackedStrings strings_;
    qsizetype count_ = 0;
};

} // namespace tavrelo
