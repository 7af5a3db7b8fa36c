// SPDX-License-Identifier: GPL-3.0-or-later
#include "EntityFiller.h"

#include "Adif.h"

#include <algorithm>

namespace tavrelo::adif {

EntityFields EntityFiller::fieldsOf(QByteArrayView call) {
    const dxcc::Resolution r = countries_.resolve(QString::fromUtf8(call));
    if (!r.entity)
        return {};
    const quint64 key = quint64(r.entity->dxcc) << 32 | quint64(r.cq) << 24 | quint64(r.itu) << 16 |
                        quint64(qHash(r.continent) & 0xffff);
    auto it = made_.find(key);
    if (it == made_.end()) {
        const QString values[] = {QString::number(r.entity->dxcc), r.entity->name,
                                  QString::number(r.cq), QString::number(r.itu), r.continent};
        EntityFields fields{r.entity->dxcc, {}};
        for (size_t i = 0; i < fields.written.size(); ++i) {
            QByteArray field;
            appendField(field, names[i].data(),
                        utf8_ ? values[i].toUtf8() : toAdiString(values[i], true).text);
            fields.written[i] = ' ' + field;
        }
        it = made_.insert(key, fields);
    }
    return *it;
}

void EntityFiller::fill(QByteArray& out, qsizetype recordStart, const EntityFields* given) {
    // One walk along the record's tags: its call, its DXCC, and which
    // of the entity's fields it has.
    const QByteArrayView record = QByteArrayView(out).sliced(recordStart);
    QByteArrayView call, own;
    bool has[5] = {};
    for (qsizetype at = record.indexOf('<'); at >= 0 && at < record.size();) {
        const qsizetype colon = record.indexOf(':', at);
        const qsizetype close = colon < 0 ? -1 : record.indexOf('>', colon);
        if (close < 0)
            break;
        const QByteArrayView name = record.sliced(at + 1, colon - at - 1);
        qsizetype length = 0;
        for (qsizetype d = colon + 1; d < close && record[d] >= '0' && record[d] <= '9'; ++d)
            length = length * 10 + (record[d] - '0');
        const QByteArrayView value =
            record.sliced(close + 1, std::min(length, record.size() - close - 1));
        if (name == "CALL")
            call = value;
        for (size_t i = 0; i < std::size(names); ++i) {
            if (name == names[i]) {
                has[i] = true;
                if (i == 0)
                    own = value;
            }
        }
        at = record.indexOf('<', close + 1 + value.size());
    }
    if (call.isEmpty())
        return;
    EntityFields made;
    const EntityFields& fields = given ? *given : (made = fieldsOf(call));
    if (!fields.dxcc || (has[0] && own.toInt() != fields.dxcc))
        return;
    if (std::all_of(std::begin(has), std::end(has), [](bool h) { return h; }))
        return;
    out.chop(7); // " <EOR>\n", put back after them
    for (size_t i = 0; i < fields.written.size(); ++i) {
        if (!has[i])
            out += fields.written[i];
    }
    out += " <EOR>\n";
}

} // namespace tavrelo::adif
