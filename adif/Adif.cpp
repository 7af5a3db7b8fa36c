// SPDX-License-Identifier: GPL-3.0-or-later
#include "Adif.h"

#include "AdifReader.h"

#include "Clock.h"
#include "ContactKey.h"
#include "FieldsFile.h"
#include "LogFile.h"
#include "Transaction.h"

#include <algorithm>
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

// ADIF's submodes and the mode each belongs to.
struct SubmodeOf {
    const char* submode;
    const char* mode;
};
constexpr SubmodeOf submodes[] = {{"CHIP64", "CHIP"},
                                  {"CHIP128", "CHIP"},
                                  {"PCW", "CW"},
                                  {"C4FM", "DIGITALVOICE"},
                                  {"DMR", "DIGITALVOICE"},
                                  {"DSTAR", "DIGITALVOICE"},
                                  {"FREEDV", "DIGITALVOICE"},
                                  {"M17", "DIGITALVOICE"},
                                  {"DOM-M", "DOMINO"},
                                  {"DOM4", "DOMINO"},
                                  {"DOM5", "DOMINO"},
                                  {"DOM8", "DOMINO"},
                                  {"DOM11", "DOMINO"},
                                  {"DOM16", "DOMINO"},
                                  {"DOM22", "DOMINO"},
                                  {"DOM44", "DOMINO"},
                                  {"DOM88", "DOMINO"},
                                  {"DOMINOEX", "DOMINO"},
                                  {"DOMINOF", "DOMINO"},
                                  {"FMHELL", "HELL"},
                                  {"FSKHELL", "HELL"},
                                  {"HELL80", "HELL"},
                                  {"HELLX5", "HELL"},
                                  {"HELLX9", "HELL"},
                                  {"HFSK", "HELL"},
                                  {"PSKHELL", "HELL"},
                                  {"SLOWHELL", "HELL"},
                                  {"ISCAT-A", "ISCAT"},
                                  {"ISCAT-B", "ISCAT"},
                                  {"JT4A", "JT4"},
                                  {"JT4B", "JT4"},
                                  {"JT4C", "JT4"},
                                  {"JT4D", "JT4"},
                                  {"JT4E", "JT4"},
                                  {"JT4F", "JT4"},
                                  {"JT4G", "JT4"},
                                  {"JT9-1", "JT9"},
                                  {"JT9-2", "JT9"},
                                  {"JT9-5", "JT9"},
                                  {"JT9-10", "JT9"},
                                  {"JT9-30", "JT9"},
                                  {"JT9A", "JT9"},
                                  {"JT9B", "JT9"},
                                  {"JT9C", "JT9"},
                                  {"JT9D", "JT9"},
                                  {"JT9E", "JT9"},
                                  {"JT9E FAST", "JT9"},
                                  {"JT9F", "JT9"},
                                  {"JT9F FAST", "JT9"},
                                  {"JT9G", "JT9"},
                                  {"JT9G FAST", "JT9"},
                                  {"JT9H", "JT9"},
                                  {"JT9H FAST", "JT9"},
                                  {"JT65A", "JT65"},
                                  {"JT65B", "JT65"},
                                  {"JT65B2", "JT65"},
                                  {"JT65C", "JT65"},
                                  {"JT65C2", "JT65"},
                                  {"FSQCALL", "MFSK"},
                                  {"FST4", "MFSK"},
                                  {"FST4W", "MFSK"},
                                  {"FT4", "MFSK"},
                                  {"JS8", "MFSK"},
                                  {"JTMS", "MFSK"},
                                  {"MFSK4", "MFSK"},
                                  {"MFSK8", "MFSK"},
                                  {"MFSK11", "MFSK"},
                                  {"MFSK16", "MFSK"},
                                  {"MFSK22", "MFSK"},
                                  {"MFSK31", "MFSK"},
                                  {"MFSK32", "MFSK"},
                                  {"MFSK64", "MFSK"},
                                  {"MFSK64L", "MFSK"},
                                  {"MFSK128", "MFSK"},
                                  {"MFSK128L", "MFSK"},
                                  {"Q65", "MFSK"},
                                  {"OLIVIA 4/125", "OLIVIA"},
                                  {"OLIVIA 4/250", "OLIVIA"},
                                  {"OLIVIA 8/250", "OLIVIA"},
                                  {"OLIVIA 8/500", "OLIVIA"},
                                  {"OLIVIA 16/500", "OLIVIA"},
                                  {"OLIVIA 16/1000", "OLIVIA"},
                                  {"OLIVIA 32/1000", "OLIVIA"},
                                  {"OPERA-BEACON", "OPERA"},
                                  {"OPERA-QSO", "OPERA"},
                                  {"PAC2", "PAC"},
                                  {"PAC3", "PAC"},
                                  {"PAC4", "PAC"},
                                  {"PAX2", "PAX"},
                                  {"8PSK125", "PSK"},
                                  {"8PSK125F", "PSK"},
                                  {"8PSK125FL", "PSK"},
                                  {"8PSK250", "PSK"},
                                  {"8PSK250F", "PSK"},
                                  {"8PSK250FL", "PSK"},
                                  {"8PSK500", "PSK"},
                                  {"8PSK500F", "PSK"},
                                  {"8PSK1000", "PSK"},
                                  {"8PSK1000F", "PSK"},
                                  {"8PSK1200F", "PSK"},
                                  {"FSK31", "PSK"},
                                  {"PSK10", "PSK"},
                                  {"PSK31", "PSK"},
                                  {"PSK63", "PSK"},
                                  {"PSK63F", "PSK"},
                                  {"PSK63RC4", "PSK"},
                                  {"PSK63RC5", "PSK"},
                                  {"PSK63RC10", "PSK"},
                                  {"PSK63RC20", "PSK"},
                                  {"PSK63RC32", "PSK"},
                                  {"PSK125", "PSK"},
                                  {"PSK125RC4", "PSK"},
                                  {"PSK125RC5", "PSK"},
                                  {"PSK125RC10", "PSK"},
                                  {"PSK125RC12", "PSK"},
                                  {"PSK125RC16", "PSK"},
                                  {"PSK250", "PSK"},
                                  {"PSK250RC2", "PSK"},
                                  {"PSK250RC3", "PSK"},
                                  {"PSK250RC5", "PSK"},
                                  {"PSK250RC6", "PSK"},
                                  {"PSK250RC7", "PSK"},
                                  {"PSK500", "PSK"},
                                  {"PSK500RC2", "PSK"},
                                  {"PSK500RC3", "PSK"},
                                  {"PSK500RC4", "PSK"},
                                  {"PSK800RC2", "PSK"},
                                  {"PSK1000", "PSK"},
                                  {"PSK1000RC2", "PSK"},
                                  {"PSKAM10", "PSK"},
                                  {"PSKAM31", "PSK"},
                                  {"PSKAM50", "PSK"},
                                  {"PSKFEC31", "PSK"},
                                  {"QPSK31", "PSK"},
                                  {"QPSK63", "PSK"},
                                  {"QPSK125", "PSK"},
                                  {"QPSK250", "PSK"},
                                  {"QPSK500", "PSK"},
                                  {"SIM31", "PSK"},
                                  {"QRA64A", "QRA64"},
                                  {"QRA64B", "QRA64"},
                                  {"QRA64C", "QRA64"},
                                  {"QRA64D", "QRA64"},
                                  {"QRA64E", "QRA64"},
                                  {"ROS-EME", "ROS"},
                                  {"ROS-HF", "ROS"},
                                  {"ROS-MF", "ROS"},
                                  {"ASCI", "RTTY"},
                                  {"LSB", "SSB"},
                                  {"USB", "SSB"},
                                  {"THOR-M", "THOR"},
                                  {"THOR4", "THOR"},
                                  {"THOR5", "THOR"},
                                  {"THOR8", "THOR"},
                                  {"THOR11", "THOR"},
                                  {"THOR16", "THOR"},
                                  {"THOR22", "THOR"},
                                  {"THOR25X4", "THOR"},
                                  {"THOR50X1", "THOR"},
                                  {"THOR50X2", "THOR"},
                                  {"THOR100", "THOR"},
                                  {"THRBX", "THRB"},
                                  {"THRBX1", "THRB"},
                                  {"THRBX2", "THRB"},
                                  {"THRBX4", "THRB"},
                                  {"THROB1", "THRB"},
                                  {"THROB2", "THRB"},
                                  {"THROB4", "THRB"},
                                  {"AMTORFEC", "TOR"},
                                  {"GTOR", "TOR"},
                                  {"NAVTEX", "TOR"},
                                  {"SITORB", "TOR"}};

struct BandRange {
    const char* band;
    double low, high; // MHz
};
// The band plan of ADIF 3.1.4.
constexpr BandRange bandPlan[] = {
    {"2190m", 0.1357, 0.1378},   {"630m", 0.472, 0.479},      {"560m", 0.501, 0.504},
    {"160m", 1.8, 2.0},          {"80m", 3.5, 4.0},           {"60m", 5.06, 5.45},
    {"40m", 7.0, 7.3},           {"30m", 10.1, 10.15},        {"20m", 14.0, 14.35},
    {"17m", 18.068, 18.168},     {"15m", 21.0, 21.45},        {"12m", 24.890, 24.99},
    {"10m", 28.0, 29.7},         {"8m", 40.0, 45.0},          {"6m", 50.0, 54.0},
    {"5m", 54.000001, 69.9},     {"4m", 70.0, 71.0},          {"2m", 144.0, 148.0},
    {"1.25m", 222.0, 225.0},     {"70cm", 420.0, 450.0},      {"33cm", 902.0, 928.0},
    {"23cm", 1240.0, 1300.0},    {"13cm", 2300.0, 2450.0},    {"9cm", 3300.0, 3500.0},
    {"6cm", 5650.0, 5925.0},     {"3cm", 10000.0, 10500.0},   {"1.25cm", 24000.0, 24250.0},
    {"6mm", 47000.0, 47200.0},   {"4mm", 75500.0, 81000.0},   {"2.5mm", 119980.0, 123000.0},
    {"2mm", 134000.0, 149000.0}, {"1mm", 241000.0, 250000.0}, {"submm", 300000.0, 7500000.0}};

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

} // namespace

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
    // The month's three letters in lower case as one number, against the
    // months' own: twelve compares of numbers instead of letters.
    const auto packed = [](char first, char second, char third) {
        return quint32(quint8(lower(first))) | quint32(quint8(lower(second))) << 8 |
               quint32(quint8(lower(third))) << 16;
    };
    static const std::array<quint32, 13> months = [&packed] {
        const clock::MonthTable table = clock::makeMonthTable();
        std::array<quint32, 13> numbers{};
        for (size_t m = 1; m < table.size(); ++m) {
            const QByteArray name = table[m].toLatin1();
            numbers[m] = packed(name[0], name[1], name[2]);
        }
        return numbers;
    }();
    const quint32 wanted = packed(p[1], p[2], p[3]);
    int month = 0;
    for (int m = 1; m <= 12; ++m) {
        if (months[size_t(m)] == wanted)
            month = m;
    }
    const int day = (p[5] - '0') * 10 + (p[6] - '0');
    if (!month || year < 1930 || !QDate::isValid(year, month, day))
        return false;
    // The year's four digits (a year from 1930 has four) and the day's two
    // are the log's own.
    std::memcpy(out, b, 4);
    out[4] = char('0' + month / 10);
    out[5] = char('0' + month % 10);
    out[6] = p[5];
    out[7] = p[6];
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
    text = logfile::asciiTrimmed(text);
    // A name of up to seven letters as one number: its bytes in lower case,
    // its length in the top byte. This runs for every line of an export and
    // every record of an import.
    const auto packed = [](QByteArrayView name) {
        quint64 w = quint64(name.size()) << 56;
        for (qsizetype i = 0; i < name.size(); ++i)
            w |= quint64(static_cast<unsigned char>(lower(name[i]))) << (8 * i);
        return w;
    };
    if (text.size() >= 8)
        return nullptr;
    static const auto names = [&] {
        std::array<quint64, std::size(bands)> v;
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = packed(QByteArrayView(bands[i]));
        return v;
    }();
    const quint64 wanted = packed(text);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == wanted)
            return bands[i];
    }
    return nullptr;
}

const char* bandOfFrequency(double mhz) {
    for (const BandRange& b : bandPlan) {
        if (mhz >= b.low && mhz <= b.high)
            return b.band;
    }
    return nullptr;
}

const char* looseBand(QByteArrayView text, QByteArray* freq) {
    if (const char* name = bandName(text))
        return name;
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 16)
        return nullptr;
    // A frequency in MHz: digits with one decimal point.
    if (text.contains('.') &&
        std::all_of(text.begin(), text.end(), [](char c) { return isDigit(c) || c == '.'; })) {
        bool ok = false;
        const double mhz = QByteArray(text.data(), text.size()).toDouble(&ok);
        const char* band = ok ? bandOfFrequency(mhz) : nullptr;
        if (band && freq)
            *freq = text.toByteArray();
        return band;
    }
    // A number with its unit apart, or without it: 40 m, 70 cm, 40.
    QByteArray joined;
    for (const char c : text) {
        if (c != ' ')
            joined += c;
    }
    if (const char* name = bandName(joined))
        return name;
    if (std::all_of(joined.begin(), joined.end(), isDigit))
        return bandName(joined + 'm');
    return nullptr;
}

bool isLocator(QByteArrayView t) {
    t = t.trimmed();
    if (t.size() != 4 && t.size() != 6 && t.size() != 8)
        return false;
    const auto in = [](char c, char from, char to) {
        return (c >= from && c <= to) || (c >= char(from + 32) && c <= char(to + 32));
    };
    if (!in(t[0], 'A', 'R') || !in(t[1], 'A', 'R') || !isDigit(t[2]) || !isDigit(t[3]))
        return false;
    if (t.size() >= 6 && (!in(t[4], 'A', 'X') || !in(t[5], 'A', 'X')))
        return false;
    return t.size() < 8 || (isDigit(t[6]) && isDigit(t[7]));
}

std::optional<ModeName> modeOf(const QString& name) {
    const QByteArray wanted = name.trimmed().toUpper().toLatin1();
    if (const auto m = findName(modes, wanted))
        return ModeName{*m, {}};
    for (const SubmodeOf& s : submodes) {
        if (wanted == s.submode)
            return ModeName{s.mode, s.submode};
    }
    return std::nullopt;
}

std::optional<QByteArray> mode(const QString& name) {
    return findName(modes, name.trimmed().toUpper().toLatin1());
}

AsciiText toAdiString(const QString& text, bool transliterate, bool lineBreaks) {
    AsciiText out;
    out.text.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        if (u >= 32 && u <= 126) {
            out.text += char(u);
            continue;
        }
        if (lineBreaks && u == '\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            out.text += "\r\n";
            ++i;
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

void appendStoredField(QByteArray& out, QByteArrayView name, QByteArrayView value) {
    out += '<';
    out += name;
    out += ':';
    out += QByteArray::number(value.size());
    out += '>';
    out += value;
    out += ' ';
}

QByteArray header(const QDateTime& createdUtc, const QString& programVersion) {
    return "Tavrelo log exported as ADIF\n" + field("ADIF_VER", AdifVersion) + '\n' +
           field("PROGRAMID", "Tavrelo") + '\n' +
           field("PROGRAMVERSION", programVersion.toLatin1()) + '\n' +
           field("CREATED_TIMESTAMP",
                 createdUtc.toUTC().toString(QStringLiteral("yyyyMMdd HHmmss")).toLatin1()) +
           '\n' + "<EOH>\n";
}

} // namespace tavrelo::adif
