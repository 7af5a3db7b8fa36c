// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "DigestSet.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace tavrelo::logfile {

// Which contacts a log holds, and the one rule for whether a contact is
// one of them, used by the import, a merge of another log or of conflict
// copies, tavrelo-wsjtx and the export.
//
// A contact is known by its key (date, UTC to the minute, band and call:
// see ContactKey.h) and by its telling: what tells it apart from other
// contacts of that key, its mode family, SAT_NAME and PROP_MODE as its
// record gives them, or nothing. Two contacts are one when their keys are
// the same, unless both have a telling and the tellings differ: two
// satellites worked in one minute are two contacts; a contact that says
// nothing is any contact of its key.
//
// A log line holds a contact of its key; the records of the fields file
// tell the contacts of their key apart. A record whose key has no line is
// no contact.
class KnownContacts {
public:
    using Digest = DigestSet::Digest;
    // A key and a telling as the set files them; an empty telling is 0.
    static Digest keyDigest(QByteArrayView key);
    static quint64 tellingDigest(QByteArrayView telling);

    void addLine(const Digest& key);
    void addRecord(const Digest& key, quint64 telling);
    bool holds(const Digest& key, quint64 telling) const;
    // Adds the contact unless it is held already; true when it was new.
    bool addIfNew(const Digest& key, quint64 telling);

    bool holds(QByteArrayView key, QByteArrayView telling) const {
        return holds(keyDigest(key), tellingDigest(telling));
    }
    bool addIfNew(QByteArrayView key, QByteArrayView telling) {
        return addIfNew(keyDigest(key), tellingDigest(telling));
    }
    void clear();
    // Its entries: one a key, and one more for each further telling of a key.
    qsizetype size() const { return count_; }

private:
    // One entry for each key: what is filed for it, and the first telling
    // of its records; a key with more tellings has an entry for each of the
    // others, filed under the key and that telling together.
    // 16 bytes: 92 bits of the digest (b's low bits are the flags), and
    // 32 of the first telling, which only ever meets the few of its key.
    struct Entry {
        quint64 a = 0;
        quint32 b = 0;
        quint32 telling = 0;
    };
    enum Flag : quint32 { Used = 1, Line = 2, Told = 4, Plain = 8, Flags = 15 };
    // Where the digest is, or the empty slot where it goes.
    size_t probe(const Digest& d) const;
    Entry* find(const Digest& d) const;
    bool holds(const Entry& e, const Digest& key, quint64 telling) const;
    Entry& findOrAdd(const Digest& d);
    bool holdsTelling(const Entry& key, const Digest& d, quint64 telling) const;
    void tell(Entry& key, const Digest& d, quint64 telling);
    void grow();

    std::vector<Entry> slots_;
    qsizetype count_ = 0;
};

// The field that marks a record of the fields file as adding to its
// contact's record the fields that record lacks (a duplicate that knew more).
inline constexpr char AddsField[] = "APP_TAVRELO_ADDS";

// Which contact a record of a fields file is about: its key and telling.
// False for a record that names no contact, or only adds fields to one.
// The reading of ADIF is the ADIF library's: it is handed to the log's
// merge as this.
using RecordIdentity = bool (*)(QByteArrayView record, QByteArray& key, QByteArray& telling);

} // namespace tavrelo::logfile
