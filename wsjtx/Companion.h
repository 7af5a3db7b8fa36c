// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ContactLog.h"
#include "Settings.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <thread>

#include <functional>

class QNetworkDatagram;

namespace tavrelo::wsjtx {

// A line for standard output or standard error.
using Print = std::function<void(const QString&)>;

// Receives WSJT-X's datagrams and turns each Logged ADIF message into
// contacts. Every other message is passed over; a datagram that cannot be
// read is named on standard error the first time its kind appears and only
// counted after that, so that a flood of them cannot flood the terminal.
class Receiver : public QObject {
public:
    Receiver(std::function<void(const QList<Contact>&)> onContacts, Print warn,
             QObject* parent = nullptr);

    // Listens on that address and port; an error message, or empty.
    QString listen(const QHostAddress& address, quint16 port);
    // Listens for a multicast group on that port, on every interface that
    // can receive it; an error message, or empty.
    QString listenToGroup(const QHostAddress& group, quint16 port);

    // Reads every datagram that waits; called at stop too.
    void drain();

    // The datagrams passed over since the start, by kind; empty when none.
    QString ignoredSummary() const;
    // The port listened on: the one asked for, or the one the system chose
    // for port 0.
    quint16 port() const { return socket_.localPort(); }

private:
    void enlargeBuffer();
    void handle(const QNetworkDatagram& datagram);
    void ignore(const QString& kind, const QString& why, const QNetworkDatagram& datagram);

    QUdpSocket socket_;
    std::function<void(const QList<Contact>&)> onContacts_;
    Print warn_;
    QMap<QString, qint64> ignored_;
    QSet<QByteArray> sendsAdif_;      // senders heard with Logged ADIF
    QSet<QByteArray> namedQsoLogged_; // senders already named for QSO Logged
};

// Saves contacts to the log on a thread of its own, so that a slow disk or
// a lock held by the window never keeps the receiver from reading its
// socket. A failed save is reported once, with its error, and retried in
// the background until it succeeds; the contacts wait in order meanwhile.
//
// With a web log set up in Tavrelo.conf, what was saved goes there too, on
// a thread of its own; what the web log did not take waits for the next
// save, the window, or tavrelo-adif --push.
class Saver : public QObject {
public:
    Saver(const QString& logPath, int retryMilliseconds, Print out, Print warn);
    ~Saver() override;

    // Queues contacts and saves them soon; call on the saver's thread.
    void add(const QList<Contact>& contacts);
    // One last attempt; prints the contacts that are still not saved, and
    // returns how many they are.
    qsizetype finish();

private:
    void save();

    void sendToWebLog();

    ContactLog log_;
    upload::Settings webLog_;
    std::thread sending_;
    std::atomic<bool> busySending_{false};
    QTimer* retry_;
    Print out_;
    Print warn_;
    bool scheduled_ = false;
    QString lastError_;
};

} // namespace tavrelo::wsjtx
