// SPDX-License-Identifier: GPL-3.0-or-later
#include "Rig.h"

#include <algorithm>

namespace tavrelo::rig {

namespace {

bool isError(const QByteArray& line) {
    return line.startsWith("RPRT ");
}

bool allDigits(const QByteArray& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

PollReply failed(qsizetype used, const QString& why) {
    PollReply r;
    r.state = PollReply::Failed;
    r.linesUsed = used;
    r.why = why;
    return r;
}

void putField(QByteArray& out, const char* name, const QByteArray& value) {
    if (!value.isEmpty())
        tavrelo::adif::appendStoredField(out, name, value);
}

} // namespace

PollReply parsePollReply(const QList<QByteArray>& lines) {
    PollReply r;
    if (lines.isEmpty())
        return r;
    // The frequency: digits (some radios add ".000000"), or an error.
    QByteArray freq = lines[0].trimmed();
    if (isError(freq)) {
        // The mode's answer still follows: one error line, or two lines.
        if (lines.size() < 2)
            return r;
        const qsizetype used = isError(lines[1].trimmed()) ? 2 : 3;
        if (lines.size() < used)
            return r;
        return failed(used, QStringLiteral("the radio answered %1 for its frequency")
                                .arg(QString::fromLatin1(freq)));
    }
    if (freq.endsWith(".000000"))
        freq.chop(7);
    if (!allDigits(freq) || freq.size() > 12)
        return failed(
            1, QStringLiteral("\"%1\" is not a frequency").arg(QString::fromLatin1(freq.left(40))));
    if (lines.size() < 2)
        return r;
    const QByteArray mode = lines[1].trimmed();
    if (isError(mode))
        return failed(
            2, QStringLiteral("the radio answered %1 for its mode").arg(QString::fromLatin1(mode)));
    if (mode.isEmpty() || mode.size() > 16 || !std::all_of(mode.begin(), mode.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        }))
        return failed(
            2, QStringLiteral("\"%1\" is not a mode").arg(QString::fromLatin1(mode.left(40))));
    if (lines.size() < 3)
        return r;
    if (!allDigits(lines[2].trimmed()) && !lines[2].trimmed().startsWith('-'))
        return failed(
            3,
            QStringLiteral("\"%1\" is not a passband").arg(QString::fromLatin1(lines[2].left(40))));
    r.state = PollReply::Complete;
    r.reading.hz = freq.toULongLong();
    r.reading.mode = mode;
    r.linesUsed = 3;
    if (r.reading.hz == 0)
        return failed(3, QStringLiteral("the radio gave the frequency 0"));
    return r;
}

std::optional<bool> parseCheckVfo(const QByteArray& line) {
    const QByteArray t = line.trimmed();
    if (t == "1" || t == "CHKVFO 1")
        return true;
    if (t == "0" || t == "CHKVFO 0")
        return false;
    return std::nullopt;
}

adif::ModeName adifMode(const QByteArray& hamlibMode) {
    const QByteArray m = hamlibMode.trimmed().toUpper();
    static const struct {
        const char* hamlib;
        const char* mode;
        const char* submode;
    } table[] = {{"USB", "SSB", "USB"},
                 {"LSB", "SSB", "LSB"},
                 {"CW", "CW", ""},
                 {"CWR", "CW", ""},
                 {"AM", "AM", ""},
                 {"AMS", "AM", ""},
                 {"SAM", "AM", ""},
                 {"SAL", "AM", ""},
                 {"SAH", "AM", ""},
                 {"FM", "FM", ""},
                 {"FMN", "FM", ""},
                 {"WFM", "FM", ""},
                 {"RTTY", "RTTY", ""},
                 {"RTTYR", "RTTY", ""},
                 {"PSK", "PSK", ""},
                 {"PSKR", "PSK", ""},
                 {"FAX", "FAX", ""},
                 {"DSB", "SSB", ""},
                 {"C4FM", "DIGITALVOICE", "C4FM"},
                 {"DSTAR", "DIGITALVOICE", "DSTAR"},
                 {"DD", "DIGITALVOICE", ""}};
    for (const auto& row : table) {
        if (m == row.hamlib)
            return {row.mode, row.submode};
    }
    // PKTUSB, PKTLSB, PKTFM and the like: data through the radio, in a mode
    // that only the program on the computer knows.
    return {};
}

const char* bandOfHz(quint64 hz) {
    return hz == 0 ? nullptr : adif::bandOfFrequency(double(hz) / 1e6);
}

QByteArray megahertz(quint64 hz) {
    return QByteArray::number(double(hz) / 1e6, 'f', 6);
}

QByteArray contactRecord(const logfile::Fields& fields, const Reading& reading) {
    const auto date = adif::qsoDate(fields[0]);
    const auto time = adif::timeOn(fields[1]);
    const char* band = adif::looseBand(fields[2].toUtf8());
    const QByteArray call = fields[3].trimmed().toUtf8();
    if (!date || !time || call.isEmpty() || fields[3].contains(QLatin1String(", ")))
        return {};
    QByteArray out;
    putField(out, "QSO_DATE", *date);
    putField(out, "TIME_ON", *time);
    if (band)
        putField(out, "BAND", band);
    putField(out, "CALL", call.toUpper());
    const char* radioBand = bandOfHz(reading.hz);
    if (radioBand && (!band || qstrcmp(band, radioBand) == 0))
        putField(out, "FREQ", megahertz(reading.hz));
    const adif::ModeName mode = adifMode(reading.mode);
    putField(out, "MODE", mode.mode);
    putField(out, "SUBMODE", mode.submode);
    putField(out, "APP_TAVRELO_RIG_MODE", reading.mode);
    out += "<EOR>\r\n";
    return out;
}

} // namespace tavrelo::rig
