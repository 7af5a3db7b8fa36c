// SPDX-License-Identifier: GPL-3.0-or-later
#include "RigClient.h"

namespace tavrelo::rig {

namespace {
// A rigctld reply is a few short lines; more than this is not one.
constexpr qsizetype MaxPending = 4096;
} // namespace

RigClient::RigClient(const QString& host, quint16 port, QObject* parent)
    : QObject(parent), host_(host), port_(port) {
    pollTimer_.setInterval(1000);
    replyTimer_.setInterval(2000);
    replyTimer_.setSingleShot(true);
    retryTimer_.setInterval(3000);
    retryTimer_.setSingleShot(true);
    connect(&pollTimer_, &QTimer::timeout, this, &RigClient::poll);
    connect(&replyTimer_, &QTimer::timeout, this,
            [this] { lose(QStringLiteral("it did not answer within two seconds")); });
    connect(&retryTimer_, &QTimer::timeout, this, &RigClient::connectNow);
    connect(&socket_, &QTcpSocket::connected, this, &RigClient::onConnected);
    connect(&socket_, &QTcpSocket::readyRead, this, &RigClient::onReadyRead);
    connect(&socket_, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError) { lose(socket_.errorString()); });
    connect(&socket_, &QTcpSocket::disconnected, this,
            [this] { lose(QStringLiteral("it closed the connection")); });
}

RigClient::~RigClient() {
    // The socket goes last, and must not call back into the timers gone before it.
    socket_.disconnect(this);
    socket_.abort();
}

void RigClient::setTimings(int pollMs, int replyTimeoutMs, int retryMs) {
    pollTimer_.setInterval(pollMs);
    replyTimer_.setInterval(replyTimeoutMs);
    retryTimer_.setInterval(retryMs);
}

QString RigClient::address() const {
    return QStringLiteral("%1:%2").arg(host_).arg(port_);
}

void RigClient::start() {
    connectNow();
}

void RigClient::connectNow() {
    buffer_.clear();
    lines_.clear();
    waiting_ = Waiting::Nothing;
    socket_.abort();
    socket_.connectToHost(host_, port_);
    // A host that never answers the connection is given up like a silent one.
    replyTimer_.start();
}

void RigClient::onConnected() {
    socket_.write("\\chk_vfo\n");
    waiting_ = Waiting::VfoCheck;
    replyTimer_.start();
}

void RigClient::poll() {
    if (waiting_ != Waiting::Nothing || socket_.state() != QAbstractSocket::ConnectedState)
        return;
    socket_.write(vfoMode_ ? "f currVFO\nm currVFO\n" : "f\nm\n");
    waiting_ = Waiting::Poll;
    replyTimer_.start();
}

void RigClient::onReadyRead() {
    buffer_ += socket_.readAll();
    qsizetype nl;
    while ((nl = buffer_.indexOf('\n')) >= 0) {
        lines_.append(buffer_.left(nl));
        buffer_.remove(0, nl + 1);
    }
    if (buffer_.size() > MaxPending || lines_.size() > 16) {
        lose(QStringLiteral("it sent more than a reply"));
        return;
    }
    handleLines();
}

void RigClient::handleLines() {
    if (waiting_ == Waiting::VfoCheck) {
        if (lines_.isEmpty())
            return;
        const std::optional<bool> vfo = parseCheckVfo(lines_.takeFirst());
        if (!vfo) {
            lose(QStringLiteral("it is not a rigctld"));
            return;
        }
        vfoMode_ = *vfo;
        waiting_ = Waiting::Nothing;
        replyTimer_.stop();
        pollTimer_.start();
        poll();
        return;
    }
    if (waiting_ != Waiting::Poll) {
        if (!lines_.isEmpty())
            lose(QStringLiteral("it sent what was not asked for"));
        return;
    }
    const PollReply reply = parsePollReply(lines_);
    if (reply.state == PollReply::Incomplete)
        return;
    lines_.erase(lines_.begin(), lines_.begin() + reply.linesUsed);
    waiting_ = Waiting::Nothing;
    replyTimer_.stop();
    if (reply.state == PollReply::Failed) {
        // A radio switched off answers with errors: not followed meanwhile.
        if (following_) {
            following_ = false;
            emit followingChanged(false, reply.why);
        }
        if (!lines_.isEmpty())
            lose(QStringLiteral("it sent what was not asked for"));
        return;
    }
    if (!lines_.isEmpty()) {
        lose(QStringLiteral("it sent what was not asked for"));
        return;
    }
    if (!following_) {
        following_ = true;
        everFollowed_ = true;
        emit followingChanged(true, QString());
    }
    emit reading(reply.reading);
}

void RigClient::lose(const QString& why) {
    pollTimer_.stop();
    replyTimer_.stop();
    waiting_ = Waiting::Nothing;
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        // abort() emits disconnected(): this function is not entered twice.
        const QSignalBlocker quiet(&socket_);
        socket_.abort();
    }
    buffer_.clear();
    lines_.clear();
    if (following_) {
        following_ = false;
        emit followingChanged(false, why);
    }
    if (!retryTimer_.isActive())
        retryTimer_.start();
}

} // namespace tavrelo::rig
