#include "Adif.h"

#include "Clock.h"
#include "LogFile.h"

#include <QRegularExpression>

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

} // namespace

std::optional<QByteArray> qsoDate(const QString& logDate) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,4})-([A-Za-z]{3})-([0-9]{2})$"));
    const QRegularExpressionMatch m = form.match(logDate);
    if (!m.hasMatch())
        return std::nullopt;
    static const clock::MonthTable months = clock::makeMonthTable();
    int month = 0;
    for (int i = 1; i <= 12; ++i) {
        if (m.captured(2).compare(months[size_t(i)], Qt::CaseInsensitive) == 0)
            month = i;
    }
    const QDate date(m.captured(1).toInt(), month, m.captured(3).toInt());
    if (!date.isValid() || date.year() < 1930)
        return std::nullopt;
    return date.toString(QStringLiteral("yyyyMMdd")).toLatin1();
}

std::optional<QByteArray> timeOn(const QString& logTime) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{2}):([0-9]{2})(?::([0-9]{2}))?$"));
    const QRegularExpressionMatch m = form.match(logTime);
    if (!m.hasMatch())
        return std::nullopt;
    const bool seconds = m.capturedLength(3) > 0;
    if (!QTime::isValid(m.captured(1).toInt(), m.captured(2).toInt(),
                        seconds ? m.captured(3).toInt() : 0))
        return std::nullopt;
    return (m.captured(1) + m.captured(2) + m.captured(3)).toLatin1();
}

std::optional<QByteArray> band(const QString& logBand) {
    return findName(bands, logBand.trimmed().toLower().toLatin1());
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
    summary.read = logfile::readLogBlocks(logPath, [&](const char* begin, const char* end, qint64) {
        logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
            ++lineNumber;
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
