// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Rig.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

namespace tavrelo::rig {

// Follows a radio through hamlib's rigctld: connects, asks whether it runs
// in VFO mode, then polls the frequency and the mode about once a second.
// Everything is asynchronous, on the caller's event loop: nothing here ever
// waits for the radio. A server that is gone is tried again every few
// seconds without a word; one that does not answer within two seconds,
// answers garbage or floods is dropped and tried again later. A reply that
// does not parse gives no reading.
class RigClient : public QObject {
    Q_OBJECT
public:
    RigClient(const QString& host, quint16 port, QObject* parent = nullptr);
    ~RigClient() override;
    // Starts following; the first attempt to connect is made at once.
    void start();
    bool isFollowing() const { return following_; }
    QString address() const;

    // For tests: how long a poll may take, and the pause between tries.
    void setTimings(int pollMs, int replyTimeoutMs, int retryMs);

signals:
    void reading(const tavrelo::rig::Reading& reading);
    // Said once at each change: the radio is followed, or no longer.
    void followingChanged(bool following, const QString& why);

private:
    void connectNow();
    void onConnected();
    void onReadyRead();
    void poll();
    void lose(const QString& why);
    void handleLines();

    QString host_;
    quint16 port_;
    QTcpSocket socket_;
    QTimer pollTimer_;
    QTimer replyTimer_;
    QTimer retryTimer_;
    QByteArray buffer_;
    QList<QByteArray> lines_;
    enum class Waiting { Nothing, VfoCheck, Poll } waiting_ = Waiting::Nothing;
    bool vfoMode_ = false;
    bool following_ = false;
    bool everFollowed_ = false;
};

} // namespace tavrelo::rig
