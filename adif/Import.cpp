// SPDX-License-Identifier: GPL-3.0-or-later
#include "Import.h"

#include "Adif.h"
#include "Clock.h"
#include "Memory.h"

#include <QDate>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace tavrelo::adif {

namespace {

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

// The ADIF band that holds a frequency in MHz, or null.
const char* bandOfFrequency(double mhz) {
    for (const BandRange& b : bandPlan) {
        if (mhz >= b.low && mhz <= b.high)
            return b.band;
    }
    return nullptr;
}

enum Slot {
    QsoDate,
    TimeOn,
    Band,
    Freq,
    Call,
    Name,
    NameIntl,
    Qth,
    QthIntl,
    Grid,
    RstSent,
    RstRcvd,
    SlotCount
};
// The box of a field name, or -1.
int slotOf(QByteArrayView name) {
    const auto is = [&]<size_t N>(const char(&wanted)[N]) {
        return std::memcmp(name.data(), wanted, N - 1) == 0;
    };
    switch (name.size()) {
    case 3:
        return is("QTH") ? Qth : -1;
    case 4:
        return is("CALL") ? Call : is("NAME") ? Name : is("BAND") ? Band : is("FREQ") ? Freq : -1;
    case 7:
        return is("TIME_ON") ? TimeOn : -1;
    case 8:
        return is("QSO_DATE")   ? QsoDate
               : is("RST_SENT") ? RstSent
               : is("RST_RCVD") ? RstRcvd
               : is("QTH_INTL") ? QthIntl
                                : -1;
    case 9:
        return is("NAME_INTL") ? NameIntl : -1;
    case 10:
        return is("GRIDSQUARE") ? Grid : -1;
    default:
        return -1;
    }
}

// The record's fields that have a box, the first of each name.
struct Picked {
    std::array<QByteArrayView, SlotCount> value{};
    std::array<bool, SlotCount> has{};

    QByteArrayView either(Slot first, Slot second) const {
        return has[first] && !value[first].isEmpty() ? value[first] : value[second];
    }
};

Picked pick(const AdifRecord& record, FieldsNotKept* notKept) {
    Picked p;
    for (const AdifField& f : record.fields) {
        const int s = slotOf(f.name);
        if (s >= 0 && !p.has[size_t(s)]) {
            p.has[size_t(s)] = true;
            p.value[size_t(s)] = f.data;
        } else if (s < 0 && notKept) {
            notKept->add(f.name);
        }
    }
    return p;
}

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
    const QByteArrayView call = p.value[Call].trimmed();
    if (call.isEmpty()) {
        c.skipReason = QStringLiteral("no CALL");
        return c;
    }
    const QByteArrayView date = p.value[QsoDate].trimmed();
    const bool dateForm = date.size() == 8 && allDigits(date);
    const int year = dateForm ? number(date, 0, 4) : 0;
    const int month = dateForm ? number(date, 4, 2) : 0;
    const int day = dateForm ? number(date, 6, 2) : 0;
    if (!dateForm || year < 1930 || !QDate::isValid(year, month, day)) {
        c.skipReason =
            QStringLiteral("no QSO_DATE that parses (\"%1\")").arg(QString::fromLatin1(date));
        return c;
    }
    const QByteArrayView time = p.value[TimeOn].trimmed();
    const bool timeForm = (time.size() == 4 || time.size() == 6) && allDigits(time);
    if (!timeForm || number(time, 0, 2) > 23 || number(time, 2, 2) > 59 ||
        (time.size() == 6 && number(time, 4, 2) > 59)) {
        c.skipReason =
            QStringLiteral("no TIME_ON that parses (\"%1\")").arg(QString::fromLatin1(time));
        return c;
    }
    if (p.has[Band]) {
        const char* b = bandName(p.value[Band]);
        if (!b) {
            c.skipReason = QStringLiteral("the band \"%1\" is not an ADIF band")
                               .arg(QString::fromLatin1(p.value[Band]));
            return c;
        }
        c.band = b;
    } else if (p.has[Freq]) {
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
    const bool hasQth = p.has[QthIntl] || p.has[Qth];
    c.texts = {call, p.either(NameIntl, Name), hasQth ? p.either(QthIntl, Qth) : p.value[Grid],
               p.value[RstSent], p.value[RstRcvd]};
    return c;
}

// A box's text from a field: decoded (UTF-8, else Windows-1252), on one
// line, and never holding the record's separator.
QString boxText(QByteArrayView data) {
    QString text = logfile::decodeLine(data.data(), data.data() + data.size());
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    while (text.contains(QLatin1String(logfile::FieldSeparator)))
        text.replace(QLatin1String(logfile::FieldSeparator), QStringLiteral(", "));
    return text;
}

// Whether boxText() would give the bytes back unchanged: printable ASCII
// without the separator.
bool plain(QByteArrayView data) {
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char ch = data[i];
        if (ch < 0x20 || ch > 0x7e)
            return false;
        if (ch == ',' && i + 2 < data.size() && data[i + 1] == ' ' && data[i + 2] == ' ')
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

bool isAscii(QByteArrayView text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

QByteArrayView asciiTrimmed(QByteArrayView v) {
    while (!v.isEmpty() && isAsciiSpace(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && isAsciiSpace(v.back()))
        v.chop(1);
    return v;
}

// Keys gathered to go into a KeySet together.
class KeyGroup {
public:
    static constexpr int Size = 64;
    void add(QByteArrayView key) {
        bytes_.append(key);
        ends_[count_++] = bytes_.size();
    }
    int size() const { return count_; }
    bool full() const { return count_ == Size; }
    // inserted[i] tells whether the i-th key was new; the group is empty again.
    void insertInto(KeySet& set, bool* inserted) {
        QByteArrayView views[Size];
        for (int i = 0; i < count_; ++i) {
            const qsizetype begin = i ? ends_[i - 1] : 0;
            views[i] = QByteArrayView(bytes_).sliced(begin, ends_[i] - begin);
        }
        set.insertMany(views, count_, inserted);
        bytes_.truncate(0);
        count_ = 0;
    }

private:
    QByteArray bytes_;
    qsizetype ends_[Size];
    int count_ = 0;
};

} // namespace

void FieldsNotKept::add(QByteArrayView name) {
    if (name == last_)
        return;
    last_ = name.toByteArray();
    names_.insert(last_);
}

QStringList FieldsNotKept::names() const {
    QStringList list;
    for (const QByteArray& name : names_)
        list << QString::fromLatin1(name);
    list.sort();
    return list;
}

Mapped mapRecord(const AdifRecord& record) {
    Mapped m;
    const Checked c = check(pick(record, nullptr));
    if (!c.skipReason.isEmpty())
        m.skipReason = c.skipReason;
    else
        m.fields = fieldsOf(c);
    return m;
}

QString appendContact(const AdifRecord& record, QByteArray& out, QByteArray& key,
                      FieldsNotKept* notKept) {
    const Checked c = check(pick(record, notKept));
    if (!c.skipReason.isEmpty())
        return c.skipReason;
    if (!std::all_of(c.texts.begin(), c.texts.end(), plain)) {
        const logfile::Fields f = fieldsOf(c);
        out += logfile::buildRecord(f);
        contactKey(f[0].toUtf8(), f[1].toUtf8(), f[2].toUtf8(), f[3].toUtf8(), key);
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
        if (bytes.isEmpty())
            return; // an empty field may have no bytes at all to point to
        std::memcpy(p, bytes.data(), size_t(bytes.size()));
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
    contactKey(QByteArrayView(c.date, sizeof c.date), QByteArrayView(c.time, c.timeLength), c.band,
               c.texts[0], key);
    return {};
}

void contactKey(QByteArrayView date, QByteArrayView time, QByteArrayView band, QByteArrayView call,
                QByteArray& key) {
    key.clear();
    if (isAscii(date) && isAscii(time) && isAscii(band) && isAscii(call)) {
        // What the text path below gives for ASCII, on the bytes.
        time = time.first(std::min<qsizetype>(time.size(), 5));
        band = asciiTrimmed(band);
        call = asciiTrimmed(call);
        key.resize(date.size() + time.size() + band.size() + call.size() + 3);
        char* p = key.data();
        for (const char ch : date)
            *p++ = ch >= 'A' && ch <= 'Z' ? char(ch + 32) : ch;
        *p++ = '|';
        std::memcpy(p, time.data(), size_t(time.size()));
        p += time.size();
        *p++ = '|';
        for (const char ch : band)
            *p++ = ch >= 'A' && ch <= 'Z' ? char(ch + 32) : ch;
        *p++ = '|';
        for (const char ch : call)
            *p++ = ch >= 'a' && ch <= 'z' ? char(ch - 32) : ch;
        return;
    }
    key = (QString::fromUtf8(date).toLower() + QLatin1Char('|') + QString::fromUtf8(time).left(5) +
           QLatin1Char('|') + QString::fromUtf8(band).trimmed().toLower() + QLatin1Char('|') +
           QString::fromUtf8(call).trimmed().toUpper())
              .toUtf8();
}

bool logLineKey(const char* begin, const char* end, QByteArray& key) {
    // The first four fields and where they end.
    const char* starts[4] = {begin};
    const char* ends[4] = {};
    int found = 1;
    for (const char* p = begin; found < 4;) {
        p = static_cast<const char*>(std::memchr(p, ',', size_t(end - p)));
        if (!p)
            return false;
        if (end - p >= 3 && p[1] == ' ' && p[2] == ' ') {
            ends[found - 1] = p;
            starts[found++] = p + 3;
            p += 3;
        } else {
            ++p;
        }
    }
    const char* callEnd = starts[3];
    while (callEnd + 2 < end && !(callEnd[0] == ',' && callEnd[1] == ' ' && callEnd[2] == ' '))
        ++callEnd;
    ends[3] = callEnd + 2 < end ? callEnd : end;
    if (isAscii(QByteArrayView(begin, ends[3]))) {
        contactKey(QByteArrayView(starts[0], ends[0]), QByteArrayView(starts[1], ends[1]),
                   QByteArrayView(starts[2], ends[2]), QByteArrayView(starts[3], ends[3]), key);
        return true;
    }
    // Text beyond ASCII, perhaps in Windows-1252: the fields as text.
    const QStringList parts =
        logfile::decodeLine(begin, end).split(QLatin1String(logfile::FieldSeparator));
    contactKey(parts[0].toUtf8(), parts[1].toUtf8(), parts[2].toUtf8(), parts[3].toUtf8(), key);
    return true;
}

logfile::ReadResult readLogKeys(const QString& logPath, KeySet& keys) {
    QByteArray key;
    KeyGroup group;
    bool inserted[KeyGroup::Size];
    const logfile::ReadResult result =
        logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                if (!logLineKey(b, e, key))
                    return;
                group.add(key);
                if (group.full())
                    group.insertInto(keys, inserted);
            });
        });
    group.insertInto(keys, inserted);
    return result;
}

ImportSummary importAdif(const QString& adifPath, const QString& logPath,
                         const std::function<void(const QString&)>& note) {
    ImportSummary summary;
    const QString readAction = QStringLiteral("read the ADIF file");
    QFile file(adifPath);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        summary.error = errno ? OsError::fromErrno(readAction, adifPath, errno)
                              : OsError::because(readAction, adifPath, file.errorString());
        return summary;
    }

    // The contacts the log holds already.
    KeySet known;
    const logfile::ReadResult read = readLogKeys(logPath, known);
    if (read.status == logfile::ReadStatus::Failed) {
        summary.error = read.error;
        return summary;
    }

    FieldsNotKept notKept;
    QByteArray batch;
    // The new records take about half the ADIF's bytes.
    batch.reserve(std::min<qint64>(file.size() / 2, qint64(1) << 30));
    platform::adviseHugePages(batch.constData(), size_t(batch.capacity()));

    // The keys of the last records added to the batch go into the set
    // together; the records found to be duplicates are then cut out.
    KeyGroup group;
    qsizetype lineStarts[KeyGroup::Size];
    const auto addGroup = [&] {
        bool inserted[KeyGroup::Size];
        const int n = group.size();
        if (n == 0)
            return;
        group.insertInto(known, inserted);
        char* const data = batch.data();
        qsizetype to = lineStarts[0];
        for (int i = 0; i < n; ++i) {
            const qsizetype from = lineStarts[i];
            const qsizetype length = (i + 1 < n ? lineStarts[i + 1] : batch.size()) - from;
            if (!inserted[i]) {
                ++summary.duplicates;
                continue;
            }
            if (to != from)
                std::memmove(data + to, data + from, size_t(length));
            to += length;
            ++summary.added;
        }
        batch.truncate(to);
    };

    QByteArray key;
    AdifReader reader(&file);
    AdifRecord record;
    while (reader.next(record)) {
        if (!record.ended)
            summary.lastRecordUnended = true;
        const qsizetype before = batch.size();
        const qsizetype capacity = batch.capacity();
        const QString skipReason = appendContact(record, batch, key, &notKept);
        if (batch.capacity() != capacity)
            platform::adviseHugePages(batch.constData(), size_t(batch.capacity()));
        if (!skipReason.isEmpty()) {
            ++summary.skipped;
            note(QStringLiteral("record %1 (byte %2): skipped: %3")
                     .arg(record.number)
                     .arg(record.offset)
                     .arg(skipReason));
            continue;
        }
        lineStarts[group.size()] = before;
        group.add(key);
        if (group.full())
            addGroup();
    }
    addGroup();
    if (!reader.readError().isEmpty()) {
        summary = ImportSummary();
        summary.error = OsError::because(readAction, adifPath, reader.readError());
        return summary;
    }
    summary.valuesReadAsCharacters = reader.valuesReadAsCharacters();
    summary.fieldsNotKept = notKept.names();

    if (!batch.isEmpty()) {
        const logfile::SaveResult saved =
            logfile::appendRecord(logPath, batch, nullptr, logfile::OnSyncFailure::Undo);
        if (saved.state != logfile::SaveState::Saved) {
            summary.error = saved.error;
            summary.added = 0;
        }
    }
    return summary;
}

} // namespace tavrelo::adif
