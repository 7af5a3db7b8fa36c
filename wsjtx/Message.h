// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

namespace tavrelo::wsjtx {

// WSJT-X's network messages, as it sends them over UDP: a big-endian
// QDataStream of a magic number, a schema number, the message type and the
// sender's id, then the fields of that type. A string ("utf8") is a 32-bit
// byte length and the bytes; the length 0xffffffff is a null string.
inline constexpr quint32 Magic = 0xadbccbda;

enum MessageType : quint32 {
    Heartbeat = 0,
    QsoLogged = 5, // the same contact as Logged ADIF, in fields
    LoggedAdif = 12,
};

// Why a datagram is not a message that can be read.
enum class Fault {
    None,
    TooShort,      // it ends inside a number
    WrongMagic,    // not a WSJT-X message at all
    UnknownSchema, // neither 2 nor 3
    LengthPastEnd, // a string's length points past the datagram's end
};

struct Message {
    Fault fault = Fault::None;
    quint32 magic = 0;
    quint32 schema = 0;
    quint32 type = 0;
    QByteArray id;   // the sending program, such as "WSJT-X"
    QByteArray adif; // Logged ADIF: the contact as a small ADIF file; QSO
                     // Logged: its fields written as one ADIF record
};

// Reads a datagram. Fields after the ones read (a later version's
// additions) are ignored.
Message decodeMessage(QByteArrayView datagram);

// What a fault means, for a person.
QString describe(Fault fault);

// The fields of a QSO Logged message, in WSJT-X's order.
struct QsoLoggedFields {
    QDateTime timeOff;
    QByteArray dxCall, dxGrid;
    quint64 frequencyHz = 0;
    QByteArray mode, reportSent, reportReceived, txPower, comments, name;
    QDateTime timeOn;
    QByteArray operatorCall, myCall, myGrid, exchangeSent, exchangeReceived, propagationMode;
};
// The same contact as one ADIF record, as a Logged ADIF message would give
// it: FT4 and the other submodes with their mode, the frequency in MHz.
QByteArray adifOfQsoLogged(const QsoLoggedFields& q);
// A QSO Logged datagram as WSJT-X sends it.
QByteArray encodeQsoLogged(const QByteArray& id, const QsoLoggedFields& q, quint32 schema = 3);

// A Logged ADIF datagram as WSJT-X sends it.
QByteArray encodeLoggedAdif(const QByteArray& id, const QByteArray& adif, quint32 schema = 3);

} // namespace tavrelo::wsjtx
