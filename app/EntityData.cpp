// SPDX-License-Identifier: GPL-3.0-or-later
#include "EntityData.h"

#include "Memory.h"
#include "WorkedLog.h"

#include <QMetaObject>

namespace tavrelo {

namespace {
// The worked-before index is built below the history's lookups (and the
// threads it starts inherit that): a call typed in the first seconds after
// start is looked up at full speed, the index following. The country file,
// a fraction of a second's work, is read before, at the window's own
// priority: who a call is shows at once even on a busy machine.
constexpr int BuildNiceness = 19;
} // namespace

EntityData::EntityData(QObject* parent) : QObject(parent) {}

EntityData::~EntityData() {
    if (thread_.joinable())
        thread_.join();
}

void EntityData::start(const QString& logPath) {
    thread_ = std::thread([this, logPath] {
        QString found;
        std::unique_ptr<dxcc::CountryFile> countries = dxcc::openCountryFile(logPath, found);
        if (!countries) {
            QMetaObject::invokeMethod(
                this, [this, found] { emit ready(found); }, Qt::QueuedConnection);
            return;
        }
        // Who a call is, at once; what the log says of it once the log is
        // read. The file is only read from now on, here and there.
        const dxcc::CountryFile* shared = countries.get();
        QMetaObject::invokeMethod(
            this,
            [this, c = countries.release()] {
                countries_.reset(c);
                emit changed();
            },
            Qt::QueuedConnection);
        platform::lowerThisThreadPriority(BuildNiceness);
        auto worked = std::make_unique<dxcc::WorkedIndex>();
        const OsError read = adif::readWorked(logPath, *shared, *worked);
        // What the reading held on the way (every call resolved once) is
        // freed, but would stay with this thread's heap.
        platform::giveBackFreedMemory();
        QString note = found;
        if (!read.ok())
            note += QStringLiteral("; worked-before is not known: ") + read.message();
        QMetaObject::invokeMethod(
            this,
            [this, note, ok = read.ok(), w = worked.release()] {
                std::unique_ptr<dxcc::WorkedIndex> worked(w);
                if (ok)
                    worked_ = std::move(worked);
                emit ready(note);
            },
            Qt::QueuedConnection);
    });
}

QString EntityData::lineFor(const QString& call, const QString& band, const QString& mode) const {
    if (!countries_ || call.trimmed().isEmpty())
        return {};
    const dxcc::Resolution r = countries_->resolve(call);
    if (!worked_)
        return dxcc::entityLine(r, nullptr);
    const dxcc::WorkedIndex::Status s =
        worked_->status(r.entity ? r.entity->dxcc : 0, r.base, band.toUtf8(), mode.toUtf8());
    return dxcc::entityLine(r, &s);
}

QString EntityData::baseCall(const QString& call) const {
    return countries_ ? countries_->resolve(call).base : call;
}

void EntityData::addSaved(const QString& call, const QString& band, const QString& mode,
                          const QString& logDate) {
    if (!countries_ || !worked_)
        return; // the index being built reads the log, the contact with it
    const dxcc::Resolution r = countries_->resolve(call);
    worked_->add(r.entity ? r.entity->dxcc : 0, r.base, band.toUtf8(), mode.toUtf8(),
                 adif::dateNumber(logDate), false);
}

} // namespace tavrelo
