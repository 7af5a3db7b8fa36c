// SPDX-License-Identifier: GPL-3.0-or-later
#include "Message.h"

#include "Adif.h"

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
    if (m.type == QsoLogged) {
        // Fields that a sender leaves off at the end (older versions send
        // fewer) stay empty; a string that runs past the end is a fault.
        QsoLoggedFields q;
        const auto date = [&](QDateTime& t) {
            if (in.atEnd())
                return false;
            in >> t;
            if (in.status() != QDataStream::Ok) {
                m.fault = Fault::TooShort;
                return false;
            }
            return true;
        };
        const auto text = [&](QByteArray& out) {
            return !in.atEnd() && m.fault == Fault::None && readString(in, out, m.fault);
        };
        if (date(q.timeOff) && text(q.dxCall) && text(q.dxGrid)) {
            in >> q.frequencyHz;
            if (in.status() != QDataStream::Ok)
                m.fault = Fault::TooShort;
            else if (text(q.mode) && text(q.reportSent) && text(q.reportReceived) &&
                     text(q.txPower) && text(q.comments) && text(q.name) && date(q.timeOn) &&
                     text(q.operatorCall) && text(q.myCall) && text(q.myGrid) &&
                     text(q.exchangeSent) && text(q.exchangeReceived))
                text(q.propagationMode);
        } else if (m.fault == Fault::None) {
            m.fault = Fault::TooShort;
        }
        if (m.fault == Fault::None)
            m.adif = adifOfQsoLogged(q);
    }
    return m;
}

QByteArray adifOfQsoLogged(const QsoLoggedFields& q) {
    QByteArray out;
    const auto put = [&](const char* name, const QByteArray& value) {
        if (!value.isEmpty())
            adif::appendStoredField(out, name, value);
    };
    const QDateTime on = (q.timeOn.isValid() ? q.timeOn : q.timeOff).toUTC();
    put("CALL", q.dxCall);
    put("GRIDSQUARE", q.dxGrid);
    // WSJT-X names FT4 and the like as modes; ADIF makes them submodes.
    static const char* const submodes[][2] = {
        {"FT4", "MFSK"}, {"JS8", "MFSK"}, {"Q65", "MFSK"}, {"FST4", "MFSK"}, {"FST4W", "MFSK"}};
    QByteArray mode = q.mode.trimmed().toUpper(), submode;
    for (const auto& s : submodes) {
        if (mode == s[0]) {
            submode = mode;
            mode = s[1];
        }
    }
    put("MODE", mode);
    put("SUBMODE", submode);
    put("RST_SENT", q.reportSent);
    put("RST_RCVD", q.reportReceived);
    if (on.isValid()) {
        put("QSO_DATE", on.toString(QStringLiteral("yyyyMMdd")).toLatin1());
        put("TIME_ON", on.toString(QStringLiteral("HHmmss")).toLatin1());
    }
    if (q.timeOff.isValid()) {
        put("QSO_DATE_OFF", q.timeOff.toUTC().toString(QStringLiteral("yyyyMMdd")).toLatin1());
        put("TIME_OFF", q.timeOff.toUTC().toString(QStringLiteral("HHmmss")).toLatin1());
    }
    if (q.frequencyHz > 0)
        put("FREQ", QByteArray::number(double(q.frequencyHz) / 1e6, 'f', 6));
    put("TX_PWR", q.txPower);
    put("COMMENT", q.comments);
    put("NAME", q.name);
    put("OPERATOR", q.operatorCall);
    put("STATION_CALLSIGN", q.myCall);
    put("MY_GRIDSQUARE", q.myGrid);
    put("STX_STRING", q.exchangeSent);
    put("SRX_STRING", q.exchangeReceived);
    put("PROP_MODE", q.propagationMode);
    out += "<EOR>";
    return out;
}

QByteArray encodeQsoLogged(const QByteArray& id, const QsoLoggedFields& q, quint32 schema) {
    QByteArray datagram;
    QDataStream out(&datagram, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out.setVersion(schema == 2 ? QDataStream::Qt_5_2 : QDataStream::Qt_5_4);
    out << Magic << schema << quint32(QsoLogged);
    writeString(out, id);
    out << q.timeOff;
    writeString(out, q.dxCall);
    writeString(out, q.dxGrid);
    out << q.frequencyHz;
    for (const QByteArray* t :
         {&q.mode, &q.reportSent, &q.reportReceived, &q.txPower, &q.comments, &q.name})
        writeString(out, *t);
    out << q.timeOn;
    for (const QByteArray* t : {&q.operatorCall, &q.myCall, &q.myGrid, &q.exchangeSent,
                                &q.exchangeReceived, &q.propagationMode})
        writeString(out, *t);
    return datagram;
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
