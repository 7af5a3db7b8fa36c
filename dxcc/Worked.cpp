// SPDX-License-Identifier: GPL-3.0-or-later
#include "Worked.h"

#include <algorithm>

namespace tavrelo::dxcc {

namespace {

// Band and mode as the index keeps them, without copying what is kept
// already.
QByteArray lowered(QByteArrayView v) {
    return v.trimmed().toByteArray().toLower();
}
QByteArray raised(QByteArrayView v) {
    return v.trimmed().toByteArray().toUpper();
}

void insert(QSet<QByteArray>& set, const QByteArray& value) {
    if (!value.isEmpty() && !set.contains(value))
        set.insert(value);
}

} // namespace

quint64 WorkedIndex::callKey(QStringView call) {
    // FNV-1a over the call in upper case, trimmed: 64 bits on every
    // computer, a Pi's too.
    quint64 h = 0xcbf29ce484222325ull;
    for (const QChar c : call.trimmed()) {
        h ^= c.toUpper().unicode();
        h *= 0x100000001b3ull;
    }
    return h;
}

const WorkedIndex::Call* WorkedIndex::settled(quint64 key) const {
    const auto it = std::lower_bound(settled_.begin(), settled_.end(), key,
                                     [](const SettledCall& c, quint64 k) { return c.key < k; });
    return it != settled_.end() && it->key == key ? &it->call : nullptr;
}

void WorkedIndex::settle() {
    std::vector<SettledCall> all;
    all.reserve(settled_.size() + size_t(calls_.size()));
    all.insert(all.end(), settled_.begin(), settled_.end());
    for (auto it = calls_.cbegin(); it != calls_.cend(); ++it)
        all.push_back({it.key(), it.value()});
    std::sort(all.begin(), all.end(),
              [](const SettledCall& a, const SettledCall& b) { return a.key < b.key; });
    settled_ = std::move(all);
    calls_ = {};
}

void WorkedIndex::add(int dxcc, quint64 callKey, QByteArrayView band, QByteArrayView mode, int date,
                      bool confirmed) {
    Call* known = const_cast<Call*>(settled(callKey));
    Call& c = known ? *known : calls_[callKey];
    ++c.count;
    c.lastDate = std::max(c.lastDate, date);
    if (dxcc <= 0)
        return;
    Entity& e = entities_[dxcc];
    const QByteArray b = lowered(band), m = raised(mode);
    const QByteArray bm = b.isEmpty() || m.isEmpty() ? QByteArray() : b + ' ' + m;
    insert(e.bands, b);
    insert(e.modes, m);
    insert(e.bandModes, bm);
    if (!confirmed)
        return;
    e.confirmed = true;
    insert(e.confirmedBands, b);
    insert(e.confirmedModes, m);
    insert(e.confirmedBandModes, bm);
}

WorkedIndex::Status WorkedIndex::status(int dxcc, QStringView call, QByteArrayView band,
                                        QByteArrayView mode) const {
    Status s;
    const quint64 key = callKey(call);
    const Call* known = settled(key);
    const Call c = known ? *known : calls_.value(key);
    s.calls = c.count;
    s.lastDate = c.lastDate;
    const auto it = entities_.find(dxcc);
    if (dxcc <= 0 || it == entities_.end())
        return s; // a new one
    const Entity& e = it->second;
    const QByteArray b = lowered(band), m = raised(mode);
    const QByteArray bm = b + ' ' + m;
    if (!b.isEmpty() && !e.bands.contains(b)) {
        s.standing = Standing::NewBand;
    } else if (!m.isEmpty() && !e.modes.contains(m)) {
        s.standing = Standing::NewMode;
    } else if (!b.isEmpty() && !m.isEmpty() && !e.bandModes.contains(bm)) {
        s.standing = Standing::NewSlot;
    } else {
        s.standing = Standing::Worked;
        s.confirmed = !b.isEmpty() && !m.isEmpty() ? e.confirmedBandModes.contains(bm)
                      : !b.isEmpty()               ? e.confirmedBands.contains(b)
                      : !m.isEmpty()               ? e.confirmedModes.contains(m)
                                                   : e.confirmed;
    }
    return s;
}

QString describe(WorkedIndex::Standing standing) {
    switch (standing) {
    case WorkedIndex::Standing::NewOne:
        return QStringLiteral("New one");
    case WorkedIndex::Standing::NewBand:
        return QStringLiteral("New band");
    case WorkedIndex::Standing::NewMode:
        return QStringLiteral("New mode");
    case WorkedIndex::Standing::NewSlot:
        return QStringLiteral("New slot");
    case WorkedIndex::Standing::Worked:
        break;
    }
    return QStringLiteral("Worked");
}

QString entityLine(const Resolution& r, const WorkedIndex::Status* known) {
    QString line;
    if (!r.entity) {
        line = QStringLiteral("No DXCC entity");
    } else {
        line = QStringLiteral("%1 (%2), CQ %3, ITU %4, %5")
                   .arg(r.entity->name)
                   .arg(r.entity->dxcc)
                   .arg(r.cq)
                   .arg(r.itu)
                   .arg(r.continent);
    }
    if (!known)
        return line;
    const WorkedIndex::Status& s = *known;
    if (r.entity) {
        line += QStringLiteral(": ") + describe(s.standing);
        if (s.standing == WorkedIndex::Standing::Worked)
            line += s.confirmed ? QStringLiteral(", confirmed") : QStringLiteral(", not confirmed");
    }
    if (s.calls > 0) {
        const QString last = s.lastDate > 0
                                 ? QStringLiteral("%1-%2-%3")
                                       .arg(s.lastDate / 10000)
                                       .arg(s.lastDate / 100 % 100, 2, 10, QLatin1Char('0'))
                                       .arg(s.lastDate % 100, 2, 10, QLatin1Char('0'))
                                 : QStringLiteral("?");
        line +=
            QStringLiteral("; %1 %2 %3, last %4")
                .arg(r.base)
                .arg(s.calls)
                .arg(s.calls == 1 ? QStringLiteral("contact") : QStringLiteral("contacts"), last);
    } else if (!r.base.isEmpty()) {
        line += QStringLiteral("; %1 not worked before").arg(r.base);
    }
    return line;
}

} // namespace tavrelo::dxcc
