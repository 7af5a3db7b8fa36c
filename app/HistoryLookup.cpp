// SPDX-License-Identifier: GPL-3.0-or-later
#include "HistoryLookup.h"

#include "Memory.h"

#include <QMetaObject>

namespace tavrelo {

namespace {
constexpr int LookupNiceness = 10;
// The newest rows shown before the whole result: more than a pane holds.
constexpr qsizetype NewestRows = 32;
} // namespace

HistoryLookup::HistoryLookup(QObject* parent) : QObject(parent) {
    thread_ = std::thread([this] { run(); });
}

HistoryLookup::~HistoryLookup() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryLookup::start(const QString& logPath, const QString& call) {
    busy_ = true;
    post(Request{logPath, call, ++generation_, false});
}

void HistoryLookup::warmUp(const QString& logPath) {
    post(Request{logPath, QString(), ++generation_, true});
}

void HistoryLookup::discard() {
    busy_ = false;
    ++generation_; // a result still on its way is dropped when it comes
    stop_ = true;
}

void HistoryLookup::post(Request request) {
    {
        const std::lock_guard lock(mutex_);
        next_ = std::move(request);
        stop_ = true; // whatever runs now is superseded
    }
    wake_.notify_all();
}

void HistoryLookup::run() {
    // Below the GUI thread, so that a key pressed during a lookup is handled
    // at once even when the lookup keeps every core busy.
    platform::lowerThisThreadPriority(LookupNiceness);
    for (;;) {
        Request request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || next_; });
            if (quit_)
                return;
            request = std::move(*next_);
            next_.reset();
            stop_ = false;
        }
        if (request.warmUp) {
            history::prepare(request.path, &stop_, &shape_);
            continue;
        }
        // The newest rows first, from the few blocks of the log that the
        // shape tells are the newest, on the next frame; the whole result
        // follows. Not for a call typed on, whose whole result is as quick.
        if (auto newest =
                history::narrows(scanned_, request.call)
                    ? std::nullopt
                    : history::lookUpNewest(request.path, request.call, shape_, NewestRows, &stop_))
            deliver(std::move(*newest), request.generation);
        history::LookupResult result =
            history::lookUp(request.path, request.call, &stop_, /*orderNow=*/false, &scanned_);
        if (result.read.status == logfile::ReadStatus::Stopped)
            continue; // superseded
        // The first screens go out at once; the rest of the rows are put in
        // order here meanwhile.
        const std::shared_ptr<history::Matches> matches = result.matches;
        deliver(std::move(result), request.generation);
        matches->finishOrder(&stop_);
    }
}

void HistoryLookup::deliver(history::LookupResult result, quint64 generation) {
    // Through the event loop; dropped by Qt if this object has gone by then,
    // and dropped here if a newer lookup started meanwhile.
    QMetaObject::invokeMethod(
        this,
        [this, generation, result = std::move(result)] {
            if (generation != generation_)
                return;
            if (!result.partial)
                busy_ = false;
            emit finished(result);
        },
        Qt::QueuedConnection);
}

} // namespace tavrelo
