// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adif.h"

#include "Clock.h"
#include "LogFile.h"

#include <array>
#include <cstring>

namespace tavrelo::adif {

namespace {

const char* const bands[] = {
    "2190m", "630m", "560m", "160m", "80m",    "60m", "40m", "30m",   "20m",  "17m",  "15m",
    "12m",   "10m",  "8m",   "6m",   "5m",     "4m",  "2m",  "1.25m", "70cm", "33cm", "23cm",
    "13cm",  "9cm",  "6cm",  "3cm",  "1.25cm", "6mm", "4mm", "2.5mm", "2mm",  "1mm",  "submm"};

const char* const modes[] = {
    "AM",     "ARDOP",   "ATV",  "CHIP",  "CLO",    "CONTESTI", "CW",     "DIGITALVOICE",
    "DOMINO", "DYNAMIC", "FAX",  "FM",    "FSK441", "FT8",      "HELL",   "ISCAT",
    "JT4",    "JT6M",    "JT9",  "JT44",  "JT65",   "MFSK",     "MSK144", "MT63",
    "OLIVIA", "OPERA",   "PAC",  "PAX",   "PKT",    "PSK",      "PSK2K",  "Q15",
    "QRA64",  "ROS",     "RTTY", "RTTYM", "SSB",    "SSTV",     "T10",    "THOR",
    "THRB",   "TOR",     "V4",   "VOI",   "WINMOR", "WSPR"};

template <size_t N>
std::optional<QByteArray> findName(const char* const (&names)[N], const QByteArray& wanted) {
    for (const char* name : names) {
        if (wanted == name)
            return QByteArray(name);
    }
    return std::nullopt;
}

// Letters that decomposition does not reduce to ASCII.
QString specialLetter(QChar c) {
    switch (c.unicode()) {
    case u'ß':
        return QStringLiteral("ss");
    case u'Æ':
        return QStringLiteral("AE");
    case u'æ':
        return QStringLiteral("ae");
    case u'Œ':
        return QStringLiteral("OE");
    case u'œ':
        return QStringLiteral("oe");
    case u'Ø':
        return QStringLiteral("O");
    case u'ø':
        return QStringLiteral("o");
    case u'Ł':
        return QStringLiteral("L");
    case u'ł':
        return QStringLiteral("l");
    case u'Đ':
        return QStringLiteral("D");
    case u'đ':
        return QStringLiteral("d");
    case u'Þ':
        return QStringLiteral("Th");
    case u'þ':
        return QStringLiteral("th");
    default:
        return QString();
    }
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

// The log's date, 2006-Nov-18 (any case), as ADIF's 20061118.
bool parseDate(const char* b, const char* e, char (&out)[8]) {
    const char* p = b;
    int year = 0, digits = 0;
    while (p < e && isDigit(*p) && digits < 5) {
        year = year * 10 + (*p++ - '0');
        ++digits;
    }
    if (digits < 1 || digits > 4 || e - p != 7 || p[0] != '-' || p[4] != '-' || !isDigit(p[5]) ||
        !isDigit(p[6]))
        return false;
    static const clock::MonthTable months = clock::makeMonthTable();
    int month = 0;
    for (int m = 1; m <= 12 && !month; ++m) {
        const QString& name = months[size_t(m)];
        if (lower(p[1]) == lower(char(name[0].unicode())) &&
            lower(p[2]) == lower(char(name[1].unicode())) &&
            lower(p[3]) == lower(char(name[2].unicode())))
            month = m;
    }
    const int day = (p[5] - '0') * 10 + (p[6] - '0');
    if (!month || year < 1930 || !QDate::isValid(year, month, day))
        return false;
    const int parts[] = {year / 1000, year / 100 % 10, year / 10 % 10, year % 10,
                         month / 10,  month % 10,      day / 10,       day % 10};
    for (int i = 0; i < 8; ++i)
        out[i] = char('0' + parts[i]);
    return true;
}

// HH:MM or HH:MM:SS; the digits without the colons, or 0 for no time.
int parseTime(const char* b, const char* e, char (&out)[6]) {
    const qsizetype n = e - b;
    if ((n != 5 && n != 8) || !isDigit(b[0]) || !isDigit(b[1]) || b[2] != ':' || !isDigit(b[3]) ||
        !isDigit(b[4]))
        return 0;
    if (n == 8 && (b[5] != ':' || !isDigit(b[6]) || !isDigit(b[7])))
        return 0;
    const int h = (b[0] - '0') * 10 + (b[1] - '0'), m = (b[3] - '0') * 10 + (b[4] - '0');
    const int sec = n == 8 ? (b[6] - '0') * 10 + (b[7] - '0') : 0;
    if (h > 23 || m > 59 || sec > 59)
        return 0;
    int k = 0;
    for (qsizetype i = 0; i < n; ++i) {
        if (b[i] != ':')
            out[k++] = b[i];
    }
    return k;
}

} // namespace

std::optional<QByteArray> qsoDate(const QString& logDate) {
    const QByteArray text = logDate.toLatin1();
    char date[8];
    if (!parseDate(text.constBegin(), text.constEnd(), date))
        return std::nullopt;
    return QByteArray(date, 8);
}

std::optional<QByteArray> timeOn(const QString& logTime) {
    const QByteArray text = logTime.toLatin1();
    char time[6];
    const int length = parseTime(text.constBegin(), text.constEnd(), time);
    if (!length)
        return std::nullopt;
    return QByteArray(time, length);
}

std::optional<QByteArray> band(const QString& logBand) {
    const char* name = bandName(logBand.trimmed().toLatin1());
    return name ? std::optional<QByteArray>(name) : std::nullopt;
}

const char* bandName(QByteArrayView text) {
    text = text.trimmed();
    char wanted[8];
    if (text.size() >= qsizetype(sizeof wanted))
        return nullptr;
    for (qsizetype i = 0; i < text.size(); ++i)
        wanted[i] = lower(text[i]);
    // The names with their lengths, measured once: this runs for every line
    // of an export.
    static const auto names = [] {
        std::array<QByteArrayView, std::size(bands)> v;
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = QByteArrayView(bands[i]);
        return v;
    }();
    const QByteArrayView w(wanted, text.size());
    for (const QByteArrayView name : names) {
        if (w == name)
            return name.data();
    }
    return nullptr;
}

std::optional<QByteArray> mode(const QString& name) {
    return findName(modes, name.trimmed().toUpper().toLatin1());
}

AsciiText toAdiString(const QString& text, bool transliterate) {
    AsciiText out;
    out.text.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 32 && u <= 126) {
            out.text += char(u);
            continue;
        }
        QString replacement;
        if (transliterate && u > 127) {
            replacement = specialLetter(c);
            if (replacement.isEmpty()) {
                // Decompose, then keep the base letter if it is ASCII.
                const QString parts = QString(c).normalized(QString::NormalizationForm_KD);
                if (!parts.isEmpty() && parts[0].unicode() >= 32 && parts[0].unicode() <= 126) {
                    replacement = parts.left(1);
                    for (qsizetype i = 1; i < parts.size(); ++i) {
                        if (parts[i].category() != QChar::Mark_NonSpacing)
                            replacement.clear();
                    }
                }
            }
        }
        if (replacement.isEmpty())
            out.dropped += c;
        else
            out.text += replacement.toLatin1();
    }
    return out;
}

QByteArray field(const char* name, const QByteArray& data) {
    QByteArray out;
    appendField(out, name, data);
    return out;
}

void appendField(QByteArray& out, const char* name, const QByteArray& data) {
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += ' ';
    out += '<';
    out += name;
    out += ':';
    out += QByteArray::number(data.size());
    out += '>';
    out += data;
}

QByteArray header(const QDateTime& createdUtc, const QString& programVersion) {
    return "Tavrelo log exported as ADIF\n" + field("ADIF_VER", AdifVersion) + '\n' +
           field("PROGRAMID", "Tavrelo") + '\n' +
           field("PROGRAMVERSION", programVersion.toLatin1()) + '\n' +
           field("CREATED_TIMESTAMP",
                 createdUtc.toUTC().toString(QStringLiteral("yyyyMMdd HHmmss")).toLatin1()) +
           '\n' + "<EOH>\n";
}

Conversion convertLine(const QString& line, const QByteArray& modeField) {
    Conversion result;
    const QStringList f = line.split(QLatin1String(logfile::FieldSeparator));
    if (f.size() != logfile::FieldCount) {
        result.skipReason =
            QStringLiteral("%1 field separators \",  \" instead of 7").arg(f.size() - 1);
        return result;
    }
    const std::optional<QByteArray> date = qsoDate(f[0]);
    if (!date) {
        result.skipReason = QStringLiteral("the date \"%1\" does not parse").arg(f[0]);
        return result;
    }
    const std::optional<QByteArray> time = timeOn(f[1]);
    if (!time) {
        result.skipReason = QStringLiteral("the time \"%1\" does not parse").arg(f[1]);
        return result;
    }
    std::optional<QByteArray> bandName;
    if (!f[2].isEmpty()) {
        bandName = band(f[2]);
        if (!bandName) {
            result.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band").arg(f[2]);
            return result;
        }
    }

    QByteArray& r = result.record;
    r.reserve(line.size() + 160);
    appendField(r, "QSO_DATE", *date);
    appendField(r, "TIME_ON", *time);
    if (bandName)
        appendField(r, "BAND", *bandName);
    struct Text {
        const char* name;
        QString value;
        bool transliterate;
    };
    const Text texts[] = {{"CALL", f[3].toUpper(), false},
                          {"NAME", f[4], true},
                          {"QTH", f[5], true},
                          {"RST_SENT", f[6], false},
                          {"RST_RCVD", f[7], false}};
    for (const Text& t : texts) {
        const AsciiText ascii = toAdiString(t.value, t.transliterate);
        if (!ascii.dropped.isEmpty())
            result.warnings << QStringLiteral("%1: dropped \"%2\", which ADIF text cannot hold")
                                   .arg(QLatin1String(t.name), ascii.dropped);
        if (!ascii.text.isEmpty())
            appendField(r, t.name, ascii.text);
    }
    if (!modeField.isEmpty())
        appendField(r, "MODE", modeField);
    r += " <EOR>\n";
    return result;
}

namespace {

// Whether every byte is printable ASCII, 32 to 126: eight bytes at a time,
// a byte below 32 or above 126 setting its top bit in the test word.
bool printable(const char* b, const char* e) {
    constexpr quint64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    for (; e - b >= 8; b += 8) {
        quint64 w;
        memcpy(&w, b, 8);
        const quint64 below32 = (w - 32 * ones) & ~w & highs;
        const quint64 above126 = (w + ones) | w;
        if ((below32 | above126) & highs)
            return false;
    }
    for (; b < e; ++b) {
        if (static_cast<unsigned char>(*b) < 32 || static_cast<unsigned char>(*b) > 126)
            return false;
    }
    return true;
}

// Writes through a pointer into room made beforehand: appending byte by
// byte to a QByteArray would cost more than all the rest.
char* putNumber(char* w, qsizetype n) {
    char digits[20];
    int k = 0;
    do {
        digits[k++] = char('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (k > 0)
        *w++ = digits[--k];
    return w;
}

// <NAME:length>data, after a space unless it starts the record.
char* putField(char* w, const char* name, size_t nameLength, const char* b, const char* e,
               bool first, bool toUpper = false) {
    if (!first)
        *w++ = ' ';
    *w++ = '<';
    memcpy(w, name, nameLength);
    w += nameLength;
    *w++ = ':';
    w = putNumber(w, e - b);
    *w++ = '>';
    if (!toUpper) {
        memcpy(w, b, size_t(e - b));
        return w + (e - b);
    }
    for (const char* p = b; p < e; ++p)
        *w++ = upper(*p);
    return w;
}

} // namespace

bool convertAsciiLine(const char* begin, const char* end, const QByteArray& modeField,
                      QByteArray& out) {
    // Only printable ASCII: anything else may need a warning or a
    // transliteration, which convertLine() gives.
    if (!printable(begin, end))
        return false;
    const char* fields[logfile::FieldCount + 1];
    int count = 0;
    fields[count++] = begin;
    for (const char* p = begin; p + 3 <= end;) {
        p = static_cast<const char*>(memchr(p, ',', size_t(end - p)));
        if (!p || p + 3 > end)
            break;
        if (p[1] == ' ' && p[2] == ' ') {
            if (count == logfile::FieldCount)
                return false;
            fields[count++] = p + 3;
            p += 3;
        } else {
            ++p;
        }
    }
    if (count != logfile::FieldCount)
        return false;
    fields[logfile::FieldCount] = end + 3;
    auto fieldEnd = [&](int i) { return fields[i + 1] - 3; };

    char date[8], time[6];
    if (!parseDate(fields[0], fieldEnd(0), date))
        return false;
    const int timeLength = parseTime(fields[1], fieldEnd(1), time);
    if (!timeLength)
        return false;
    const char* bandText = nullptr;
    if (fields[2] != fieldEnd(2)) {
        bandText = bandName(QByteArrayView(fields[2], fieldEnd(2)));
        if (!bandText)
            return false;
    }
    // Room for the line's text, the tags and their lengths.
    const qsizetype start = out.size();
    out.resize(start + (end - begin) + modeField.size() + 200);
    char* w = out.data() + start;
    w = putField(w, "QSO_DATE", 8, date, date + 8, true);
    w = putField(w, "TIME_ON", 7, time, time + timeLength, false);
    if (bandText)
        w = putField(w, "BAND", 4, bandText, bandText + qstrlen(bandText), false);
    static const char* const names[] = {"CALL", "NAME", "QTH", "RST_SENT", "RST_RCVD"};
    static const size_t nameLengths[] = {4, 4, 3, 8, 8};
    for (int i = 3; i < logfile::FieldCount; ++i) {
        if (fields[i] != fieldEnd(i))
            w = putField(w, names[i - 3], nameLengths[i - 3], fields[i], fieldEnd(i), false,
                         i == 3);
    }
    if (!modeField.isEmpty())
        w = putField(w, "MODE", 4, modeField.constBegin(), modeField.constEnd(), false);
    memcpy(w, " <EOR>\n", 7);
    w += 7;
    out.truncate(w - out.constData());
    return true;
}

} // namespace tavrelo::adif

namespace tavrelo::adif {

ExportSummary exportLog(const QString& logPath, const QByteArray& modeField,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note) {
    ExportSummary summary;
    QByteArray out = header(created, programVersion);
    qsizetype lineNumber = 0;
    auto flush = [&] {
        if (summary.writeError == 0 && !out.isEmpty())
            summary.writeError = write(out);
        out.clear();
    };
    summary.read = logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            ++lineNumber;
            if (convertAsciiLine(b, e, modeField, out)) {
                ++summary.written;
                if (out.size() >= 64 * 1024)
                    flush();
                return;
            }
            const Conversion c = convertLine(logfile::decodeLine(b, e), modeField);
            if (c.record.isEmpty()) {
                ++summary.skipped;
                note(QStringLiteral("line %1: skipped: %2").arg(lineNumber).arg(c.skipReason));
                return;
            }
            for (const QString& w : c.warnings)
                note(QStringLiteral("line %1: %2").arg(lineNumber).arg(w));
            ++summary.written;
            out += c.record;
            if (out.size() >= 64 * 1024)
                flush();
        });
    });
    flush();
    return summary;
}

} // namespace tavrelo::adif
