// SPDX-License-Identifier: GPL-3.0-or-later
#include "Message.h"

#include <QDataStream>
#include <QIODevice>

namespace tavrelo::wsjtx {

namespace {

constexpr quint32 NullString = 0xffffffff;

// One "utf8" string; false with fault set when the datagram ends first.
bool readString(QDataStream& in, QByteArray& out, Fault& fault) {
    quint32 length = 0;
    in >> length;
    if (in.status() != QDataStream::Ok) {
        fault = Fault::TooShort;
        return false;
    }
    out.clear();
    if (length == NullString)
        return true;
    // Checked before anything is allocated: a length of 4 GB in a datagram
    // of a few bytes must cost nothing.
    if (qint64(length) > in.device()->bytesAvailable()) {
        fault = Fault::LengthPastEnd;
        return false;
    }
    out.resize(qsizetype(length));
    in.readRawData(out.data(), int(length));
    return true;
}

void writeString(QDataStream& out, const QByteArray& text) {
    out << quint32(text.size());
    out.writeRawData(text.constData(), int(text.size()));
}

} // namespace

Message decodeMessage(QByteArrayView datagram) {
    Message m;
    const QByteArray bytes = QByteArray::fromRawData(datagram.data(), datagram.size());
    QDataStream in(bytes);
    in.setByteOrder(QDataStream::BigEndian);
    in >> m.magic;
    if (in.status() != QDataStream::Ok) {
        m.fault = Fault::TooShort;
        return m;
    }
    if (m.magic != Magic) {
        m.fault = Fault::WrongMagic;
        return m;
    }
    in >> m.schema >> m.type;
    if (in.status() != QDataStream::Ok) {
        m.fault = Fault::TooShort;
        return m;
    }
    if (m.schema != 2 && m.schema != 3) {
        m.fault = Fault::UnknownSchema;
        return m;
    }
    // Schema 2 streams as Qt 5.2 and schema 3 as Qt 5.4; the numbers and
    // strings read here are the same in both.
    in.setVersion(m.schema == 2 ? QDataStream::Qt_5_2 : QDataStream::Qt_5_4);
    if (!readString(in, m.id, m.fault))
        return m;
    if (m.type == LoggedAdif)
        readString(in, m.adif, m.fault);
    return m;
}

QString describe(Fault fault) {
    switch (fault) {
    case Fault::None:
        return QString();
    case Fault::TooShort:
        return QStringLiteral("it ends before its header or a field is complete");
    case Fault::WrongMagic:
        return QStringLiteral("it does not start with WSJT-X's magic number");
    case Fault::UnknownSchema:
        return QStringLiteral("its schema number is neither 2 nor 3");
    case Fault::LengthPastEnd:
        return QStringLiteral("a text's length points past its end");
    }
    return QString();
}

QByteArray encodeLoggedAdif(const QByteArray& id, const QByteArray& adif, quint32 schema) {
    QByteArray datagram;
    QDataStream out(&datagram, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out << Magic << schema << quint32(LoggedAdif);
    writeString(out, id);
    writeString(out, adif);
    return datagram;
}

} // namespace tavrelo::wsjtx
