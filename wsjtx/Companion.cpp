// SPDX-License-Identifier: GPL-3.0-or-later
#include "Companion.h"

#include "WebLog.h"

#include <cstdio>

#include "Message.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QVariant>

namespace tavrelo::wsjtx {

namespace {

QString recordText(const QByteArray& record) {
    return QString::fromUtf8(record).trimmed();
}

} // namespace

Receiver::Receiver(std::function<void(const QList<Contact>&)> onContacts, Print warn,
                   QObject* parent)
    : QObject(parent), socket_(this), onContacts_(std::move(onContacts)), warn_(std::move(warn)) {
    connect(&socket_, &QUdpSocket::readyRead, this, &Receiver::drain);
}

QString Receiver::listen(const QHostAddress& address, quint16 port) {
    if (!socket_.bind(address, port))
        return QStringLiteral("Could not listen on %1 port %2: %3")
            .arg(address.toString())
            .arg(port)
            .arg(socket_.errorString());
    enlargeBuffer();
    return QString();
}

void Receiver::enlargeBuffer() {
    // Room for a burst of datagrams while this thread is busy: what the
    // system allows of 4 MB (it may keep to less), instead of its 200 KB.
    socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(4 << 20));
}

QString Receiver::listenToGroup(const QHostAddress& group, quint16 port) {
    if (!group.isMulticast())
        return QStringLiteral("%1 is not a multicast group address").arg(group.toString());
    const QHostAddress any = group.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QHostAddress(QHostAddress::AnyIPv6)
                                 : QHostAddress(QHostAddress::AnyIPv4);
    // Other programs may listen to the same group and port.
    if (!socket_.bind(any, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        return QStringLiteral("Could not listen on port %1: %2")
            .arg(port)
            .arg(socket_.errorString());
    int joined = 0;
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces()) {
        const auto flags = i.flags();
        if ((flags & QNetworkInterface::IsUp) && (flags & QNetworkInterface::CanMulticast) &&
            socket_.joinMulticastGroup(group, i))
            ++joined;
    }
    if (joined == 0 && !socket_.joinMulticastGroup(group))
        return QStringLiteral("Could not join the multicast group %1: %2")
            .arg(group.toString(), socket_.errorString());
    return QString();
}

void Receiver::drain() {
    while (socket_.hasPendingDatagrams())
        handle(socket_.receiveDatagram());
}

void Receiver::handle(const QNetworkDatagram& datagram) {
    const Message m = decodeMessage(datagram.data());
    if (m.fault != Fault::None) {
        ignore(describe(m.fault), QString(), datagram);
        return;
    }
    if (m.type != LoggedAdif && m.type != QsoLogged)
        return;
    // Both carry the contact: the log keeps it once, and what Logged ADIF
    // adds goes to its record. A sender heard only through QSO Logged is
    // named once.
    if (m.type == LoggedAdif) {
        sendsAdif_.insert(m.id);
    } else if (!sendsAdif_.contains(m.id) && !namedQsoLogged_.contains(m.id)) {
        // WSJT-X sends Logged ADIF right after QSO Logged: a sender that has
        // not within two seconds sends QSO Logged only.
        namedQsoLogged_.insert(m.id);
        const QByteArray id = m.id;
        QTimer::singleShot(2000, this, [this, id] {
            if (!sendsAdif_.contains(id))
                warn_(QStringLiteral("note: %1 sends its contacts as QSO Logged only, not as "
                                     "Logged ADIF; they are logged from that message's fields")
                          .arg(QString::fromUtf8(id)));
        });
    }
    QStringList skipped;
    const QList<Contact> contacts = contactsOfAdif(m.adif, skipped);
    if (contacts.isEmpty() && skipped.isEmpty())
        skipped << QStringLiteral("no record at all");
    for (const QString& why : std::as_const(skipped))
        ignore(QStringLiteral("its ADIF gives no contact"), why, datagram);
    if (!contacts.isEmpty())
        onContacts_(contacts);
}

void Receiver::ignore(const QString& kind, const QString& why, const QNetworkDatagram& datagram) {
    if (ignored_[kind]++ > 0)
        return;
    warn_(QStringLiteral("passed over a datagram from %1 port %2: %3%4. Further datagrams of "
                         "this kind are counted, not shown.")
              .arg(datagram.senderAddress().toString())
              .arg(datagram.senderPort())
              .arg(kind, why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
}

QString Receiver::ignoredSummary() const {
    QStringList parts;
    for (auto i = ignored_.cbegin(); i != ignored_.cend(); ++i)
        parts << QStringLiteral("%1 because %2").arg(i.value()).arg(i.key());
    return parts.isEmpty()
               ? QString()
               : QStringLiteral("datagrams passed over: ") + parts.join(QStringLiteral("; "));
}

Saver::Saver(const QString& logPath, int retryMilliseconds, Print out, Print warn)
    : log_(logPath), retry_(new QTimer(this)), out_(std::move(out)), warn_(std::move(warn)) {
    QString error;
    webLog_ = upload::readSettings(upload::settingsPath(), error);
    if (!error.isEmpty())
        warn_(error);
    retry_->setInterval(retryMilliseconds);
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &Saver::save);
}

void Saver::add(const QList<Contact>& contacts) {
    for (const Contact& c : contacts)
        log_.add(c);
    // Contacts that arrive together are saved together: one write, one sync.
    if (!scheduled_ && !retry_->isActive()) {
        scheduled_ = true;
        QTimer::singleShot(0, this, &Saver::save);
    }
}

void Saver::save() {
    scheduled_ = false;
    const ContactLog::Outcome o = log_.save();
    if (!o.recoveryNote.isEmpty())
        warn_(o.recoveryNote);
    for (const QByteArray& r : o.saved)
        out_(QStringLiteral("logged: ") + recordText(r));
    for (const QByteArray& r : o.duplicates)
        out_(QStringLiteral("already in the log, not logged again: ") + recordText(r));
    if (o.error.ok() && !o.saved.isEmpty())
        sendToWebLog();
    if (o.error.ok()) {
        if (!lastError_.isEmpty())
            warn_(QStringLiteral("the log can be written again; the contacts that waited are in "
                                 "it."));
        lastError_.clear();
        return;
    }
    // Said once for as long as the same error lasts, not at every retry.
    if (o.error.message() != lastError_)
        warn_(o.error.message() +
              QStringLiteral("\n%1 contacts wait, kept in memory; saving is retried every %2 "
                             "seconds until it works or tavrelo-wsjtx is stopped.")
                  .arg(log_.queued().size())
                  .arg(retry_->interval() / 1000.0));
    lastError_ = o.error.message();
    retry_->start();
}

Saver::~Saver() {
    if (sending_.joinable())
        sending_.join();
}

void Saver::sendToWebLog() {
    if (!webLog_.hasWebLog() || busySending_)
        return; // one at a time: the next save sends what this one missed
    if (sending_.joinable())
        sending_.join();
    busySending_ = true;
    sending_ = std::thread([this, path = log_.path(), settings = webLog_] {
        const upload::PushSummary s =
            upload::push(path, settings, upload::PushScope{}, [](const QString&) {});
        if (!s.stop.isEmpty() || s.refused > 0)
            std::fprintf(
                stderr, "tavrelo-wsjtx: web log: %s\n",
                qPrintable(s.stop.isEmpty() ? s.reasons.join(QStringLiteral("; ")) : s.stop));
        busySending_ = false;
    });
}

qsizetype Saver::finish() {
    retry_->stop();
    save();
    retry_->stop();
    const QList<Contact>& unsaved = log_.queued();
    if (!unsaved.isEmpty()) {
        warn_(QStringLiteral("stopped with %1 contacts NOT saved in the log; here they are, to "
                             "be entered again:")
                  .arg(unsaved.size()));
        for (const Contact& c : unsaved)
            out_(QStringLiteral("not saved: ") + recordText(c.record));
    }
    return unsaved.size();
}

} // namespace tavrelo::wsjtx
