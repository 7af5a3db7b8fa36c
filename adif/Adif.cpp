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
struct Submode {
    const char* submode;
    const char* mode;
};
constexpr Submode submodes[] = {{"CHIP64", "CHIP"},
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
    for (const Submode& s : submodes) {
        if (wanted == s.submode)
            return ModeName{s.mode, s.submode};
    }
    return std::nullopt;
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

Conversion convertLine(const QString& line, const QByteArray& modeField) {
    return convertLine(line, ExportOptions{{modeField, {}}, false});
}

namespace {

bool isOwnField(QByteArrayView name) {
    return name.startsWith("APP_TAVRELO_");
}

// The fields of a file's header, never of a contact: one stored by an
// earlier version is not written with the contact.
bool isHeaderField(QByteArrayView name) {
    return name == "ADIF_VER" || name == "PROGRAMID" || name == "PROGRAMVERSION" ||
           name == "CREATED_TIMESTAMP" || name.startsWith("USERDEF");
}

bool printable(const char* b, const char* e) {
    return logfile::isPrintable(QByteArrayView(b, e - b));
}

// What the conversion does with a field of the record: the slot it is
// looked for in, if any, and whether it is written after the line's own
// fields (not a box, FREQ, MODE, SUBMODE, nor one of Tavrelo's own). By
// length and first letter: most names are none of the looked-for ones.
struct FieldKind {
    int slot = -1;
    bool other = true;
};
FieldKind kindOf(QByteArrayView name) {
    using S = RecordView::Slot;
    const auto is = [&]<size_t N>(const char(&n)[N]) {
        return name.size() == qsizetype(N - 1) && std::memcmp(name.data(), n, N - 1) == 0;
    };
    constexpr FieldKind other, placed{-1, false};
    const auto in = [](int slot) { return FieldKind{slot, false}; };
    if (isHeaderField(name))
        return placed; // never written with a contact
    switch (name.size()) {
    case 3:
        return is("QTH") ? in(S::Qth) : other;
    case 4:
        switch (name[0]) {
        case 'B':
            return is("BAND") ? placed : other;
        case 'C':
            return is("CALL") ? in(S::Call) : other;
        case 'F':
            return is("FREQ") ? in(S::Freq) : other;
        case 'M':
            return is("MODE") ? in(S::Mode) : other;
        case 'N':
            return is("NAME") ? in(S::Name) : other;
        default:
            return other;
        }
    case 7:
        return is("TIME_ON") ? placed : is("SUBMODE") ? in(S::Submode) : other;
    case 8:
        return is("QSO_DATE")   ? placed
               : is("RST_SENT") ? in(S::RstSent)
               : is("RST_RCVD") ? in(S::RstRcvd)
               : is("QTH_INTL") ? FieldKind{S::QthIntl, true}
                                : other;
    case 9:
        return is("NAME_INTL") ? FieldKind{S::NameIntl, true} : other;
    case 10:
        return is("GRIDSQUARE") ? FieldKind{S::Grid, true} : other;
    default:
        return isOwnField(name) ? placed : other;
    }
}

} // namespace

void digest(RecordView& r, bool printableKnown) {
    std::fill(std::begin(r.at), std::end(r.at), qint32(-1));
    r.others.clear();
    r.printable = true;
    r.utf8 = true;
    r.bytes = 0;
    // Names seen among the others, by two bits of their length and letters:
    // only a name whose bits are both set is looked for among them.
    quint64 seen = 0;
    for (qsizetype i = 0; i < r.fields.size(); ++i) {
        const AdifField& f = r.fields[i];
        r.bytes += f.name.size() + f.data.size() + 16;
        if (!printableKnown && r.printable) {
            r.printable = printable(f.data.data(), f.data.data() + f.data.size());
            r.utf8 = r.printable || QUtf8StringView(f.data).isValidUtf8();
        } else if (!r.printable && r.utf8) {
            r.utf8 = QUtf8StringView(f.data).isValidUtf8();
        }
        const FieldKind kind = kindOf(f.name);
        if (kind.slot >= 0 && r.at[kind.slot] < 0 && !logfile::asciiTrimmed(f.data).isEmpty())
            r.at[kind.slot] = qint32(i);
        if (!kind.other || f.data.isEmpty())
            continue;
        const quint64 h = f.name.isEmpty()
                              ? 0
                              : (quint64(f.name.size()) * 0x9E3779B97F4A7C15ull ^
                                 quint8(f.name.front()) * 0xC2B2AE3D27D4EB4Full ^
                                 quint8(f.name.back()) * 0x165667B19E3779F9ull ^
                                 quint8(f.name[f.name.size() / 2]) * 0x27D4EB2F165667C5ull);
        const quint64 bits = (quint64(1) << (h >> 58)) | (quint64(1) << ((h >> 52) & 63));
        if ((seen & bits) == bits && std::any_of(r.others.begin(), r.others.end(), [&](qint32 k) {
                return sameName(r.fields[k].name, f.name);
            }))
            continue;
        seen |= bits;
        r.others.append(qint32(i));
    }
}

void digest(const StoredFields& fields, RecordView& record) {
    record.fields.clear();
    for (const StoredField& f : fields)
        record.fields.append({f.name, f.value});
    digest(record);
}

namespace {

// What a record's FREQ gives the export. ADIF's FREQ is in MHz; other
// programs have written it in kHz or in Hz: a value that lies on the line's
// band (the operator may have changed the band since the record came) as
// MHz, kHz or Hz goes out as MHz. One that lies on no band the line allows
// goes out as it came under APP_TAVRELO_FREQ, never dropped.
struct FreqOut {
    QByteArray mhz;      // FREQ to write; empty when none fits
    QByteArrayView kept; // else the record's own text
};
FreqOut freqOut(const AdifField& freq, const char* bandText) {
    const QByteArrayView text = freq.data.trimmed();
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (ok && value > 0) {
        for (const double scale : {1.0, 1e-3, 1e-6}) {
            const char* band = bandOfFrequency(value * scale);
            if (band && (!bandText || qstrcmp(band, bandText) == 0)) {
                if (scale == 1.0)
                    return {text.toByteArray(), {}};
                QByteArray mhz = QByteArray::number(value * scale, 'f', 6);
                while (mhz.endsWith('0') && !mhz.endsWith(".0"))
                    mhz.chop(1);
                return {mhz, {}};
            }
        }
        if (!bandText)
            return {text.toByteArray(), {}}; // no band to hold it to
    }
    return {{}, text};
}

// Whether a field is one of the _INTL ones, whose UTF-8 an ASCII file
// cannot hold: asked of every field of every record an export writes.
bool isIntl(QByteArrayView name) {
    return name.size() >= 5 && std::memcmp(name.data() + name.size() - 5, "_INTL", 5) == 0;
}

// The mode and submode the record gives, if any: a SUBMODE without a MODE
// gives the mode it belongs to, made in derived.
struct RecordMode {
    QByteArrayView mode, submode; // mode empty when the record gives none
    QByteArray derived;
};
void modeOfRecord(const RecordView* record, RecordMode& m) {
    const AdifField* mode = record ? record->slot(RecordView::Mode) : nullptr;
    const AdifField* sub = record ? record->slot(RecordView::Submode) : nullptr;
    if (mode) {
        m.mode = mode->data;
        m.submode = sub ? sub->data : QByteArrayView();
    } else if (sub) {
        if (const auto known = modeOf(QString::fromUtf8(sub->data))) {
            m.derived = known->mode;
            m.mode = m.derived;
            m.submode = sub->data;
        }
    }
}

} // namespace

Conversion convertLine(const QString& line, const ExportOptions& options,
                       const StoredFields* record) {
    if (!record)
        return convertLine(line, options, static_cast<const RecordView*>(nullptr));
    RecordView view;
    digest(*record, view);
    return convertLine(line, options, &view);
}

Conversion convertLine(const QString& line, const ExportOptions& options,
                       const RecordView* record) {
    const auto slot = [&](RecordView::Slot s) { return record ? record->slot(s) : nullptr; };
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
    const char* bandText = nullptr;
    QByteArray typedFreq;
    if (!f[2].isEmpty()) {
        bandText = looseBand(f[2].toUtf8(), &typedFreq);
        if (!bandText) {
            result.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band").arg(f[2]);
            return result;
        }
    }

    QByteArray& r = result.record;
    r.reserve(line.size() + 160);
    // A value as the output holds it: UTF-8, or ASCII with a warning for
    // what it cannot hold.
    const auto put = [&](const char* name, const QString& value, bool transliterate) {
        if (options.utf8) {
            if (!value.isEmpty())
                appendField(r, name, value.toUtf8());
            return;
        }
        const AsciiText ascii = toAdiString(value, transliterate);
        if (!ascii.dropped.isEmpty())
            result.warnings << QStringLiteral("%1: dropped \"%2\", which ADIF text cannot hold")
                                   .arg(QLatin1String(name), ascii.dropped);
        if (!ascii.text.isEmpty())
            appendField(r, name, ascii.text);
    };
    appendField(r, "QSO_DATE", *date);
    appendField(r, "TIME_ON", *time);
    if (bandText)
        appendField(r, "BAND", bandText);
    // The record's frequency, else the one typed as the band.
    if (const AdifField* freq = slot(RecordView::Freq)) {
        const FreqOut out = freqOut(*freq, bandText);
        if (!out.mhz.isEmpty()) {
            appendField(r, "FREQ", out.mhz);
        } else {
            appendField(r, "APP_TAVRELO_FREQ", out.kept.toByteArray());
            ++result.keptAsApplication;
            result.warnings << QStringLiteral("FREQ \"%1\" is not on the band %2 in MHz, kHz or "
                                              "Hz: written as APP_TAVRELO_FREQ")
                                   .arg(QString::fromUtf8(out.kept),
                                        QLatin1String(bandText ? bandText : "given"));
        }
    } else if (!typedFreq.isEmpty()) {
        appendField(r, "FREQ", typedFreq);
    }
    // A box left empty (or holding blanks only) takes the record's value: a
    // later copy of the contact in the same file may have brought it.
    using S = RecordView::Slot;
    const auto boxOr = [&](int box, S own, int intl = -1) {
        if (!f[box].trimmed().isEmpty())
            return f[box];
        const AdifField* v = intl >= 0 ? slot(S(intl)) : nullptr;
        if (!v)
            v = slot(own);
        return v ? QString::fromUtf8(v->data) : QString();
    };
    put("CALL", f[3].toUpper(), false);
    put("NAME", boxOr(4, S::Name, S::NameIntl), true);
    // A grid that went into the QTH box is the record's GRIDSQUARE, not a QTH.
    const AdifField* grid = slot(S::Grid);
    const bool qthIsGrid =
        grid && !slot(S::Qth) && !slot(S::QthIntl) &&
        f[5].trimmed().compare(QString::fromUtf8(grid->data).trimmed(), Qt::CaseInsensitive) == 0;
    if (!qthIsGrid)
        put("QTH", boxOr(5, S::Qth, S::QthIntl), true);
    put("RST_SENT", boxOr(6, S::RstSent), false);
    put("RST_RCVD", boxOr(7, S::RstRcvd), false);
    if (!grid && isLocator(f[5].toUtf8()))
        appendField(r, "GRIDSQUARE", f[5].trimmed().toLatin1());

    RecordMode recordMode;
    modeOfRecord(record, recordMode);
    if (!recordMode.mode.isEmpty()) {
        put("MODE", QString::fromUtf8(recordMode.mode), false);
        if (!recordMode.submode.isEmpty())
            put("SUBMODE", QString::fromUtf8(recordMode.submode), false);
    } else if (!options.mode.mode.isEmpty()) {
        appendField(r, "MODE", options.mode.mode);
        if (!options.mode.submode.isEmpty())
            appendField(r, "SUBMODE", options.mode.submode);
    }
    if (record) {
        for (const qint32 k : record->others) {
            const AdifField& field = record->fields[k];
            // An ASCII file cannot hold the international fields at all;
            // the UTF-8 one keeps them.
            if (!options.utf8 && isIntl(field.name))
                continue;
            const QByteArray n = field.name.toByteArray();
            put(n.constData(), QString::fromUtf8(field.data), true);
        }
    }
    r += " <EOR>\n";
    return result;
}

namespace {

// <NAME:length>data, after a space unless it starts the record.
char* putField(char* w, const char* name, size_t nameLength, const char* b, const char* e,
               bool first, bool toUpper = false) {
    if (!first)
        *w++ = ' ';
    *w++ = '<';
    logfile::copyShort(w, name, qsizetype(nameLength));
    w += nameLength;
    *w++ = ':';
    w = putNumber(w, e - b);
    *w++ = '>';
    if (!toUpper) {
        logfile::copyShort(w, b, e - b);
        return w + (e - b);
    }
    for (const char* p = b; p < e; ++p)
        *w++ = upper(*p);
    return w;
}

} // namespace

bool convertAsciiLine(const char* begin, const char* end, const QByteArray& modeField,
                      QByteArray& out) {
    return convertAsciiLine(begin, end, ExportOptions{{modeField, {}}, false}, out);
}

bool convertAsciiLine(const char* begin, const char* end, const ExportOptions& options,
                      QByteArray& out, const StoredFields* record) {
    if (!record)
        return convertAsciiLine(begin, end, options, out, static_cast<const RecordView*>(nullptr));
    RecordView view;
    digest(*record, view);
    return convertAsciiLine(begin, end, options, out, &view);
}

bool convertAsciiLine(const char* begin, const char* end, const ExportOptions& options,
                      QByteArray& out, const RecordView* record, bool* wroteMode) {
    // Only printable ASCII: anything else may need a warning or a
    // transliteration, which convertLine() gives.
    if (!printable(begin, end))
        return false;
    // The record's values as they are: printable ASCII for an ASCII file,
    // UTF-8 for a UTF-8 one.
    if (record && !(options.utf8 ? record->utf8 : record->printable))
        return false;
    const auto slot = [&](RecordView::Slot s) { return record ? record->slot(s) : nullptr; };
    const char* fields[logfile::FieldCount + 1];
    int count = 0;
    fields[count++] = begin;
    for (const char* p = begin; p + 3 <= end;) {
        p = logfile::findNear(p, end, ',');
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
    QByteArray typedFreq;
    if (fields[2] != fieldEnd(2)) {
        bandText = looseBand(QByteArrayView(fields[2], fieldEnd(2)), &typedFreq);
        if (!bandText)
            return false;
    }
    // The record's mode and submode, else the ones given for contacts without.
    RecordMode recordMode;
    modeOfRecord(record, recordMode);
    const bool ownMode = !recordMode.mode.isEmpty();
    const QByteArrayView modeField = ownMode ? recordMode.mode : QByteArrayView(options.mode.mode);
    const QByteArrayView submodeField =
        ownMode ? recordMode.submode : QByteArrayView(options.mode.submode);
    const QByteArrayView qth(fields[5], fieldEnd(5));
    const AdifField* recordGrid = slot(RecordView::Grid);
    const bool typedGrid = !recordGrid && isLocator(qth);
    const bool qthIsGrid =
        recordGrid && !slot(RecordView::Qth) && !slot(RecordView::QthIntl) &&
        qth.trimmed().compare(recordGrid->data.trimmed(), Qt::CaseInsensitive) == 0;
    // The record's frequency, else the one typed as the band; one that goes
    // out as an application field takes the other way, which says so.
    QByteArray freq = typedFreq;
    if (const AdifField* f = slot(RecordView::Freq)) {
        FreqOut out = freqOut(*f, bandText);
        if (out.mhz.isEmpty())
            return false;
        freq = std::move(out.mhz);
    }
    // Room for the line's text, the tags and their lengths.
    const qsizetype start = out.size();
    out.resize(start + 2 * (end - begin) + modeField.size() + submodeField.size() + 260 +
               2 * (record ? record->bytes : 0));
    char* w = out.data() + start;
    w = putField(w, "QSO_DATE", 8, date, date + 8, true);
    w = putField(w, "TIME_ON", 7, time, time + timeLength, false);
    if (bandText)
        w = putField(w, "BAND", 4, bandText, bandText + qstrlen(bandText), false);
    if (!freq.isEmpty())
        w = putField(w, "FREQ", 4, freq.data(), freq.data() + freq.size(), false);
    using S = RecordView::Slot;
    static const char* const names[] = {"CALL", "NAME", "QTH", "RST_SENT", "RST_RCVD"};
    static const size_t nameLengths[] = {4, 4, 3, 8, 8};
    static constexpr int own[] = {S::Call, S::Name, S::Qth, S::RstSent, S::RstRcvd};
    static constexpr int intl[] = {-1, S::NameIntl, S::QthIntl, -1, -1};
    for (int i = 3; i < logfile::FieldCount; ++i) {
        if (i == 5 && qthIsGrid)
            continue;
        const char* b = fields[i];
        const char* e = fieldEnd(i);
        if (std::all_of(b, e, [](char c) { return c == ' '; })) {
            // An empty box, or one of blanks, takes the record's value.
            const AdifField* v = intl[i - 3] >= 0 ? slot(S(intl[i - 3])) : nullptr;
            if (!v)
                v = slot(S(own[i - 3]));
            b = v ? v->data.data() : e;
            e = v ? b + v->data.size() : e;
        }
        if (b != e)
            w = putField(w, names[i - 3], nameLengths[i - 3], b, e, false, i == 3);
    }
    if (typedGrid) {
        const QByteArrayView trimmed = qth.trimmed();
        w = putField(w, "GRIDSQUARE", 10, trimmed.data(), trimmed.data() + trimmed.size(), false);
    }
    if (!modeField.isEmpty())
        w = putField(w, "MODE", 4, modeField.data(), modeField.data() + modeField.size(), false);
    if (wroteMode)
        *wroteMode = !modeField.isEmpty();
    if (!submodeField.isEmpty())
        w = putField(w, "SUBMODE", 7, submodeField.data(),
                     submodeField.data() + submodeField.size(), false);
    if (record) {
        for (const qint32 k : record->others) {
            const AdifField& f = record->fields[k];
            if (!options.utf8 && isIntl(f.name))
                continue;
            w = putField(w, f.name.data(), size_t(f.name.size()), f.data.data(),
                         f.data.data() + f.data.size(), false);
        }
    }
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
    return exportLog(logPath, ExportOptions{{modeField, {}}, false}, created, programVersion, write,
                     note);
}

ExportSummary exportLog(const QString& logPath, const ExportOptions& options,
                        const QDateTime& created, const QString& programVersion,
                        const std::function<int(const QByteArray&)>& write,
                        const std::function<void(const QString&)>& note) {
    ExportSummary summary;
    FieldsIndex records;
    summary.fieldsError = records.open(logfile::fieldsPath(logPath));
    if (!summary.fieldsError.ok())
        return summary;
    QByteArray out = header(created, programVersion);
    qsizetype lineNumber = 0;
    auto flush = [&] {
        if (summary.writeError == 0 && !out.isEmpty())
            summary.writeError = write(out);
        out.clear();
    };
    QByteArray key;
    summary.read = logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            ++lineNumber;
            const RecordView* record =
                !records.isEmpty() && logfile::logLineKey(b, e, key) ? records.take(key) : nullptr;
            bool wroteMode = false;
            if (convertAsciiLine(b, e, options, out, record, &wroteMode)) {
                ++summary.written;
                summary.withoutMode += !wroteMode;
                if (out.size() >= 64 * 1024)
                    flush();
                return;
            }
            const Conversion c = convertLine(logfile::decodeLine(b, e), options, record);
            if (c.record.isEmpty()) {
                ++summary.skipped;
                note(QStringLiteral("line %1: skipped: %2").arg(lineNumber).arg(c.skipReason));
                return;
            }
            for (const QString& w : c.warnings)
                note(QStringLiteral("line %1: %2").arg(lineNumber).arg(w));
            ++summary.written;
            summary.keptAsApplication += c.keptAsApplication;
            if (!c.record.contains("<MODE:"))
                ++summary.withoutMode;
            out += c.record;
            if (out.size() >= 64 * 1024)
                flush();
        });
    });
    flush();
    // The fields file may fail only now, read as the lines ask for it.
    if (summary.fieldsError.ok())
        summary.fieldsError = records.error();
    return summary;
}

} // namespace tavrelo::adif
