// SPDX-License-Identifier: GPL-3.0-or-later
#include "CopyMerge.h"

#include "Import.h"
#include "Merge.h"

namespace tavrelo {

CopyMerge::CopyMerge(QObject* parent) : QObject(parent) {}

CopyMerge::~CopyMerge() {
    if (thread_.joinable())
        thread_.join();
}

void CopyMerge::start(const QString& logPath) {
    if (running_ || logfile::findConflictCopies(logPath).isEmpty())
        return;
    if (thread_.joinable())
        thread_.join(); // the last one, done
    running_ = true;
    thread_ = std::thread([this, logPath] {
        QString note;
        const OsError error = logfile::mergeConflictCopies(logPath, adif::recordIdentity, note);
        const QString why = error.ok() ? QString() : error.message();
        QMetaObject::invokeMethod(
            this,
            [this, note, why] {
                running_ = false;
                emit finished(note, why);
            },
            Qt::QueuedConnection);
    });
}

} // namespace tavrelo
