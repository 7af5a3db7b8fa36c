// SPDX-License-Identifier: GPL-3.0-or-later
#include "Worked.h"

namespace tavrelo::dxcc {

namespace {

QString slotOf(const QString& band, const QString& mode) {
    return band + QLatin1Char(' ') + mode;
}

} // namespace

void WorkedIndex::add(int dxcc, const QString& call, const QString& band, const QString& mode,
                      int date, bool confirmed) {
    Call& c = calls_[call.trimmed().toUpper().toLatin1()];
    ++c.count;
    c.lastDate = std::max(c.lastDate, date);
    if (dxcc <= 0)
        return;
    Entity& e = entities_[dxcc];
    const QString b = band.trimmed().toLower(), m = mode.trimmed().toUpper();
    if (!b.isEmpty())
        e.bands.insert(b);
    if (!m.isEmpty())
        e.modes.insert(m);
    if (!b.isEmpty() && !m.isEmpty())
        e.bandModes.insert(slotOf(b, m));
    if (!confirmed)
        return;
    e.confirmed = true;
    if (!b.isEmpty())
        e.confirmedBands.insert(b);
    if (!m.isEmpty())
        e.confirmedModes.insert(m);
    if (!b.isEmpty() && !m.isEmpty())
        e.confirmedBandModes.insert(slotOf(b, m));
}

WorkedIndex::Status WorkedIndex::status(int dxcc, const QString& call, const QString& band,
                                        const QString& mode) const {
    Status s;
    const Call c = calls_.value(call.trimmed().toUpper().toLatin1());
    s.calls = c.count;
    s.lastDate = c.lastDate;
    const auto it = entities_.find(dxcc);
    if (dxcc <= 0 || it == entities_.end())
        return s; // a new one
    const Entity& e = it->second;
    const QString b = band.trimmed().toLower(), m = mode.trimmed().toUpper();
    if (!b.isEmpty() && !e.bands.contains(b)) {
        s.standing = Standing::NewBand;
    } else if (!m.isEmpty() && !e.modes.contains(m)) {
        s.standing = Standing::NewMode;
    } else if (!b.isEmpty() && !m.isEmpty() && !e.bandModes.contains(slotOf(b, m))) {
        s.standing = Standing::NewSlot;
    } else {
        s.standing = Standing::Worked;
        s.confirmed = !b.isEmpty() && !m.isEmpty() ? e.confirmedBandModes.contains(slotOf(b, m))
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

QString entityLine(const Resolution& r, const WorkedIndex::Status& s) {
    QString line;
    if (!r.entity) {
        line = QStringLiteral("No DXCC entity");
    } else {
        line = QStringLiteral("%1 (%2), CQ %3, ITU %4, %5: %6")
                   .arg(r.entity->name)
                   .arg(r.entity->dxcc)
                   .arg(r.cq)
                   .arg(r.itu)
                   .arg(r.continent, describe(s.standing));
        if (s.standing == WorkedIndex::Standing::Worked)
            line += s.confirmed ? QStringLiteral(", confirmed") : QStringLiteral(", not confirmed");
    }
    if (s.calls > 0) {
        const QString last = s.lastDate > 0 ? QStringLiteral("%1-%2-%3")
                                                  .arg(s.lastDate / 10000)
                                                  .arg(s.lastDate / 100 % 100, 2, 10, QLatin1Char('0'))
                                                  .arg(s.lastDate % 100, 2, 10, QLatin1Char('0'))
                                            : QStringLiteral("?");
        line += QStringLiteral("; %1 %2 %3, last %4")
                    .arg(r.base)
                    .arg(s.calls)
                    .arg(s.calls == 1 ? QStringLiteral("contact") : QStringLiteral("contacts"), last);
    } else if (!r.base.isEmpty()) {
        line += QStringLiteral("; %1 not worked before").arg(r.base);
    }
    return line;
}

} // namespace tavrelo::dxcc
