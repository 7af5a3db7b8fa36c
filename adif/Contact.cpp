// SPDX-License-Identifier: GPL-3.0-or-later
#include "Contact.h"

#include "Adif.h"
#include "Clock.h"

#include <QDate>

#include <algorithm>
#include <cstring>

namespace tavrelo::adif {

namespace {

using enum Field;

bool allDigits(QByteArrayView text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(QByteArrayView digits, qsizetype from, qsizetype count) {
    int n = 0;
    for (qsizetype i = from; i < from + count; ++i)
        n = n * 10 + (digits[i] - '0');
    return n;
}

// The contact's date, time and band, checked on their bytes, and the box
// texts as the record gives them.
struct Checked {
    char date[11]; // 2024-Mar-01
    char time[8];  // 12:05 or 12:05:33
    qsizetype timeLength = 0;
    QByteArrayView band; // empty when the record gives none
    // Call, name, QTH, reports, before they are made box texts.
    std::array<QByteArrayView, 5> texts;
    QString skipReason;
};

Checked check(const Picked& p) {
    Checked c;
    const QByteArrayView call = logfile::asciiTrimmed(p.value[Call]);
    if (call.isEmpty()) {
        c.skipReason = QStringLiteral("no CALL");
        return c;
    }
    const QByteArrayView date = logfile::asciiTrimmed(p.value[QsoDate]);
    const bool dateForm = date.size() == 8 && allDigits(date);
    const int year = dateForm ? number(date, 0, 4) : 0;
    const int month = dateForm ? number(date, 4, 2) : 0;
    const int day = dateForm ? number(date, 6, 2) : 0;
    if (!dateForm || year < 1930 || !QDate::isValid(year, month, day)) {
        c.skipReason =
            QStringLiteral("no QSO_DATE that parses (\"%1\")").arg(QString::fromLatin1(date));
        return c;
    }
    const QByteArrayView time = logfile::asciiTrimmed(p.value[TimeOn]);
    const bool timeForm = (time.size() == 4 || time.size() == 6) && allDigits(time);
    if (!timeForm || number(time, 0, 2) > 23 || number(time, 2, 2) > 59 ||
        (time.size() == 6 && number(time, 4, 2) > 59)) {
        c.skipReason =
            QStringLiteral("no TIME_ON that parses (\"%1\")").arg(QString::fromLatin1(time));
        return c;
    }
    if (p.filled(Band)) {
        const char* b = bandName(p.value[Band]);
        if (!b) {
            c.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band")
                               .arg(QString::fromLatin1(p.value[Band]));
            return c;
        }
        c.band = b;
    } else if (p.filled(Freq)) {
        bool ok = false;
        const double mhz = p.value[Freq].trimmed().toDouble(&ok);
        const char* b = ok ? bandOfFrequency(mhz) : nullptr;
        if (!b) {
            c.skipReason = QStringLiteral("the frequency \"%1\" is in no ADIF band")
                               .arg(QString::fromLatin1(p.value[Freq]));
            return c;
        }
        c.band = b;
    }

    static const auto months = [] {
        const clock::MonthTable table = clock::makeMonthTable();
        std::array<QByteArray, 13> latin1;
        for (size_t m = 0; m < table.size(); ++m)
            latin1[m] = table[m].toLatin1();
        return latin1;
    }();
    const QByteArray& name = months[size_t(month)];
    std::memcpy(c.date, date.data(), 4);
    c.date[4] = '-';
    std::memcpy(c.date + 5, name.constData(), 3);
    c.date[8] = '-';
    std::memcpy(c.date + 9, date.data() + 6, 2);
    c.time[0] = time[0];
    c.time[1] = time[1];
    c.time[2] = ':';
    c.time[3] = time[2];
    c.time[4] = time[3];
    c.timeLength = 5;
    if (time.size() == 6) {
        c.time[5] = ':';
        c.time[6] = time[4];
        c.time[7] = time[5];
        c.timeLength = 8;
    }
    const bool hasQth = p.filled(QthIntl) || p.filled(Qth);
    c.texts = {call, p.either(NameIntl, Name), hasQth ? p.either(QthIntl, Qth) : p.value[Grid],
               p.value[RstSent], p.value[RstRcvd]};
    return c;
}

// A box's text from a field: decoded (UTF-8, else Windows-1252), on one
// line, and never holding the record's separator.
QString boxText(QByteArrayView data) {
    QString text = logfile::decodeLine(data.data(), data.data() + data.size());
    text.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    while (text.contains(QLatin1String(logfile::FieldSeparator)))
        text.replace(QLatin1String(logfile::FieldSeparator), QStringLiteral(", "));
    return text;
}

// Whether boxText() would give the bytes back unchanged: printable ASCII
// without the separator.
bool plain(QByteArrayView data) {
    // Most box texts are a few bytes: one look at each byte.
    if (data.size() < 16) {
        for (qsizetype i = 0; i < data.size(); ++i) {
            const auto c = static_cast<unsigned char>(data[i]);
            if (c < 0x20 || c > 0x7e)
                return false;
            if (c == ',' && i + 2 < data.size() && data[i + 1] == ' ' && data[i + 2] == ' ')
                return false;
        }
        return true;
    }
    if (!logfile::isPrintable(data))
        return false;
    // The separator starts with a comma, which few texts hold: words of
    // eight bytes without one are passed over.
    constexpr quint64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const char* p = data.data();
    const char* const end = p + data.size();
    for (; end - p >= 8; p += 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        w ^= ones * ',';
        if ((w - ones) & ~w & highs)
            break;
    }
    for (; end - p >= 3; ++p) {
        if (p[0] == ',' && p[1] == ' ' && p[2] == ' ')
            return false;
    }
    return true;
}

logfile::Fields fieldsOf(const Checked& c) {
    logfile::Fields f;
    f[0] = QString::fromLatin1(c.date, sizeof c.date);
    f[1] = QString::fromLatin1(c.time, c.timeLength);
    f[2] = QString::fromLatin1(c.band);
    for (size_t i = 0; i < c.texts.size(); ++i)
        f[3 + i] = boxText(c.texts[i]);
    return f;
}

} // namespace

Picked pick(const AdifRecord& record) {
    Picked p;
    for (const AdifField& f : record.fields) {
        const FieldName* named = fieldNamed(f.name);
        if (named && named->field >= 0 && !p.has[size_t(named->field)]) {
            p.has[size_t(named->field)] = true;
            p.value[size_t(named->field)] = f.data;
        }
        if (!p.keepsMore && !(named && (named->roles & Box)) &&
            !logfile::asciiTrimmed(f.data).isEmpty())
            p.keepsMore = true;
    }
    return p;
}

Mapped mapRecord(const AdifRecord& record) {
    Mapped m;
    const Checked c = check(pick(record));
    if (!c.skipReason.isEmpty())
        m.skipReason = c.skipReason;
    else
        m.fields = fieldsOf(c);
    return m;
}

// Appends the contact's line to out and, when keys is given, its key to
// keys; or says why the record gives none, and appends nothing.
QString appendContact(const Picked& picked, QByteArray& out, QByteArray* keys) {
    const Checked c = check(picked);
    if (!c.skipReason.isEmpty())
        return c.skipReason;
    if (!std::all_of(c.texts.begin(), c.texts.end(), plain)) {
        const logfile::Fields f = fieldsOf(c);
        out += logfile::buildRecord(f);
        if (keys)
            appendContactKey(f[0].toUtf8(), f[1].toUtf8(), f[2].toUtf8(), f[3].toUtf8(), *keys);
        return {};
    }
    // The line in one piece: a million appends of each field cost more
    // than the copying itself.
    qsizetype length = qsizetype(sizeof c.date) + c.timeLength + c.band.size() + 7 * 3 + 2;
    for (const QByteArrayView t : c.texts)
        length += t.size();
    const qsizetype at = out.size();
    if (out.capacity() < at + length)
        out.reserve(std::max(2 * out.capacity(), at + length));
    out.resize(at + length);
    char* p = out.data() + at;
    const auto put = [&p](QByteArrayView bytes) {
        logfile::copyShort(p, bytes.data(), bytes.size());
        p += bytes.size();
    };
    const QByteArrayView separator(logfile::FieldSeparator, 3);
    put(QByteArrayView(c.date, sizeof c.date));
    put(separator);
    put(QByteArrayView(c.time, c.timeLength));
    put(separator);
    put(c.band);
    for (const QByteArrayView t : c.texts) {
        put(separator);
        put(t);
    }
    put(QByteArrayView("\r\n", 2));
    if (keys)
        appendContactKey(QByteArrayView(c.date, sizeof c.date),
                         QByteArrayView(c.time, c.timeLength), c.band, c.texts[0], *keys);
    return {};
}

QString appendContact(const AdifRecord& record, QByteArray& out, QByteArray& key) {
    key.resize(0);
    return appendContact(pick(record), out, &key);
}

namespace {

// The fields that the contact key is made of, the first of each name, and
// no more: the look along the names ends once the key's are found. FREQ
// counts only without a band, which may come last: the look ends early
// only at a band that is not blank.
Picked pickKey(const AdifRecord& record) {
    Picked p;
    for (const AdifField& f : record.fields) {
        const FieldName* named = fieldNamed(f.name);
        const int s = named ? named->field : -1;
        if (s < 0 || p.has[size_t(s)])
            continue;
        p.has[size_t(s)] = true;
        p.value[size_t(s)] = f.data;
        if (p.has[Call] && p.has[QsoDate] && p.has[TimeOn] && p.filled(Band))
            break;
    }
    return p;
}

} // namespace

bool recordKey(const AdifRecord& record, QByteArray& key) {
    return keyOf(pickKey(record), key);
}

bool keyOf(const Picked& picked, QByteArray& key) {
    const Checked c = check(picked);
    if (!c.skipReason.isEmpty())
        return false;
    if (plain(c.texts[0])) {
        contactKey(QByteArrayView(c.date, sizeof c.date), QByteArrayView(c.time, c.timeLength),
                   c.band, c.texts[0], key);
        return true;
    }
    const logfile::Fields f = fieldsOf(c);
    contactKey(f[0].toUtf8(), f[1].toUtf8(), f[2].toUtf8(), f[3].toUtf8(), key);
    return true;
}

} // namespace tavrelo::adif
