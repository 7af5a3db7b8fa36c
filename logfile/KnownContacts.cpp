// SPDX-License-Identifier: GPL-3.0-or-later
#include "KnownContacts.h"

namespace tavrelo::logfile {

namespace {

// What is filed for a key, besides the key itself (a line of the key).
constexpr quint64 Told = 1;  // a record of the key with a telling
constexpr quint64 Plain = 2; // a contact of the key added without one

quint64 mix(quint64 x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The digest of a fact about a key: Told, Plain, or a telling.
DigestSet::Digest about(const DigestSet::Digest& key, quint64 what) {
    return {key.a ^ mix(what), (key.b ^ mix(what + 0x9e3779b97f4a7c15ull)) | 1};
}

} // namespace

DigestSet::Digest KnownContacts::keyDigest(QByteArrayView key) {
    return DigestSet::digestOf(key, 0x4b4559ull);
}

quint64 KnownContacts::tellingDigest(QByteArrayView telling) {
    if (telling.isEmpty())
        return 0;
    // Never one of the marks above.
    return DigestSet::digestOf(telling).a | (quint64(1) << 63);
}

void KnownContacts::addRecord(const Digest& key, quint64 telling) {
    if (telling == 0)
        return;
    digests_.insert(about(key, Told));
    digests_.insert(about(key, telling));
}

bool KnownContacts::holds(const Digest& key, quint64 telling) const {
    if (!digests_.contains(key))
        return false;
    return telling == 0 || digests_.contains(about(key, telling)) ||
           !digests_.contains(about(key, Told)) || digests_.contains(about(key, Plain));
}

bool KnownContacts::addIfNew(const Digest& key, quint64 telling) {
    if (holds(key, telling))
        return false;
    addLine(key);
    if (telling == 0)
        digests_.insert(about(key, Plain));
    else
        addRecord(key, telling);
    return true;
}

} // namespace tavrelo::logfile
