// SPDX-License-Identifier: GPL-3.0-or-later
#include "WebLogLink.h"

#include "WebLog.h"

namespace tavrelo {

WebLogLink::WebLogLink(const upload::Settings& settings, QObject* parent)
    : QObject(parent), settings_(settings) {
    retry_.setSingleShot(true);
}

WebLogLink::~WebLogLink() {
    if (thread_.joinable())
        thread_.join();
}

void WebLogLink::send(const QString& logPath) {
    if (running_) {
        again_ = true;
        return;
    }
    if (thread_.joinable())
        thread_.join(); // the last one, done
    running_ = true;
    retry_.stop();
    thread_ = std::thread([this, logPath] {
        const upload::PushSummary s =
            upload::push(logPath, settings_, upload::PushScope{}, [](const QString&) {});
        QString text = QStringLiteral("Web log %1: ").arg(settings_.url);
        if (s.stop.isEmpty()) {
            text += s.refused > 0 ? QStringLiteral("%1 contacts refused: %2")
                                        .arg(s.refused)
                                        .arg(s.reasons.join(QStringLiteral("; ")))
                                  : QStringLiteral("every contact delivered");
        } else {
            text += QStringLiteral("%1 contacts waiting (%2)").arg(s.waiting).arg(s.stop);
        }
        QMetaObject::invokeMethod(
            this,
            [this, logPath, text, failed = !s.stop.isEmpty(), wrongKey = s.wrongKey,
             stop = s.stop] { finished(logPath, text, failed, wrongKey, stop); },
            Qt::QueuedConnection);
    });
}

void WebLogLink::finished(const QString& logPath, const QString& text, bool failed, bool wrongKey,
                          const QString& stop) {
    running_ = false;
    emit state(text);
    if (wrongKey && !told_) {
        told_ = true;
        emit problem(stop + QStringLiteral("\n\nThe contacts wait in the log; they are sent once "
                                           "Tavrelo.conf has the right key and station."));
    }
    if (!wrongKey)
        told_ = false;
    // Again after a failure, with growing pauses; every minute otherwise,
    // for what other programs logged.
    pause_ = failed ? std::min(pause_ * 2, 1800) : 30;
    retry_.disconnect();
    connect(&retry_, &QTimer::timeout, this, [this, logPath] { send(logPath); });
    retry_.start(failed ? pause_ * 1000 : 60000);
    if (again_) {
        again_ = false;
        send(logPath);
    }
}

} // namespace tavrelo
