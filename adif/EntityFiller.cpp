// SPDX-License-Identifier: GPL-3.0-or-later
#include "EntityFiller.h"

#include "Adif.h"

namespace tavrelo::adif {

namespace {

// The entity's fields, in the order of EntityFields::written.
constexpr Field entityFields[] = {Dxcc, Country, Cqz, Ituz, Cont};

} // namespace

EntityFields EntityFiller::fieldsOf(QByteArrayView call) {
    const dxcc::Resolution r = countries_.resolve(QString::fromUtf8(call));
    if (!r.entity)
        return {};
    // The continent is two letters.
    const auto letter = [&](qsizetype i) {
        return i < r.continent.size() ? r.continent[i].unicode() : 0u;
    };
    const quint64 key = quint64(r.entity->dxcc) << 48 | quint64(r.cq & 0xff) << 40 |
                        quint64(r.itu & 0xff) << 32 | quint64(letter(0)) << 16 | letter(1);
    auto it = made_.find(key);
    if (it == made_.end()) {
        const QString values[] = {QString::number(r.entity->dxcc), r.entity->name,
                                  QString::number(r.cq), QString::number(r.itu), r.continent};
        EntityFields fields{r.entity->dxcc, {}};
        for (size_t i = 0; i < fields.written.size(); ++i) {
            QByteArray field;
            appendField(field, nameOf(entityFields[i]),
                        utf8_ ? values[i].toUtf8() : toAdiString(values[i], true).text);
            fields.written[i] = ' ' + field;
        }
        it = made_.insert(key, fields);
    }
    return *it;
}

QVarLengthArray<QByteArrayView, 5> lacking(const EntityFields& entity, const RecordView* record) {
    QVarLengthArray<QByteArrayView, 5> out;
    if (!entity.dxcc)
        return out;
    const AdifField* own = record ? record->slot(Dxcc) : nullptr;
    if (own && own->data.trimmed().toInt() != entity.dxcc)
        return out;
    for (size_t i = 0; i < entity.written.size(); ++i) {
        if (!record || !record->slot(entityFields[i]))
            out.append(entity.written[i]);
    }
    return out;
}

} // namespace tavrelo::adif
