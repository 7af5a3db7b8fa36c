// SPDX-License-Identifier: GPL-3.0-or-later
#include "EntityData.h"

#include "WorkedLog.h"

#include <QMetaObject>

namespace tavrelo {

EntityData::EntityData(QObject* parent) : QObject(parent) {}

EntityData::~EntityData() {
    if (thread_.joinable())
        thread_.join();
}

void EntityData::start(const QString& logPath) {
    thread_ = std::thread([this, logPath] {
        auto countries = std::make_unique<dxcc::CountryFile>();
        auto worked = std::make_unique<dxcc::WorkedIndex>();
        const QString path = dxcc::findCountryFile(logPath);
        QString note;
        bool ok = false;
        if (path.isEmpty()) {
            note = QStringLiteral("No country file (cty.dat beside the log, or the package "
                                  "hamradio-files): calls are not told by entity.");
        } else if (QString error; !countries->load(path, error)) {
            note = error;
        } else {
            ok = true;
            const OsError read = adif::readWorked(logPath, *countries, *worked);
            note = QStringLiteral("Country file %1, version %2").arg(path, countries->version());
            if (!read.ok())
                note += QStringLiteral("; worked-before is not known: ") + read.message();
        }
        QMetaObject::invokeMethod(
            this,
            [this, ok, note, c = countries.release(), w = worked.release()] {
                std::unique_ptr<dxcc::CountryFile> countries(c);
                std::unique_ptr<dxcc::WorkedIndex> worked(w);
                if (ok) {
                    countries_ = std::move(countries);
                    worked_ = std::move(worked);
                }
                emit ready(note);
            },
            Qt::QueuedConnection);
    });
}

QString EntityData::lineFor(const QString& call, const QString& band, const QString& mode) const {
    if (!countries_ || call.trimmed().isEmpty())
        return {};
    const dxcc::Resolution r = countries_->resolve(call);
    const dxcc::WorkedIndex::Status s =
        worked_->status(r.entity ? r.entity->dxcc : 0, r.base, band, mode);
    return dxcc::entityLine(r, s);
}

QString EntityData::baseCall(const QString& call) const {
    return countries_ ? countries_->resolve(call).base : call;
}

void EntityData::addSaved(const QString& call, const QString& band, const QString& mode,
                          const QString& logDate) {
    if (!countries_)
        return;
    const dxcc::Resolution r = countries_->resolve(call);
    worked_->add(r.entity ? r.entity->dxcc : 0, r.base, band, mode, adif::dateNumber(logDate),
                 false);
}

} // namespace tavrelo
