// SPDX-License-Identifier: GPL-3.0-or-later
#include "FieldsFile.h"

#include "Import.h"
#include "LogReader.h"
#include "OpenLog.h"
#include "Transaction.h"

#include <QFileInfo>

#include <algorithm>
#include <fcntl.h>
#include <cstring>

namespace tavrelo::adif {

namespace {

// The names whose values the log line holds.
constexpr const char* boxNames[] = {"QSO_DATE", "TIME_ON", "BAND",     "CALL",
                                    "NAME",     "QTH",     "RST_SENT", "RST_RCVD"};
// The names that say which contact a record is.
constexpr const char* identityNames[] = {"QSO_DATE", "TIME_ON",  "BAND",     "FREQ",     "CALL",
                                         "MODE",     "SUBMODE", "SAT_NAME", "PROP_MODE"};

bool isAscii(QByteArrayView v) {
    return std::all_of(v.begin(), v.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A value as UTF-8: it is already, or it is Windows-1252.
QByteArray utf8(QByteArrayView value) {
    if (isAscii(value) || QUtf8StringView(value).isValidUtf8())
        return value.toByteArray();
    return logfile::decodeLine(value.data(), value.data() + value.size()).toUtf8();
}

void putField(QByteArray& out, QByteArrayView name, QByteArrayView value) {
    out += '<';
    out += name;
    out += ':';
    out += QByteArray::number(value.size());
    out += '>';
    out += value;
    out += ' ';
}

template <size_t N> bool among(QByteArrayView name, const char* const (&names)[N]) {
    return std::any_of(std::begin(names), std::end(names),
                       [&](const char* n) { return name == QByteArrayView(n); });
}

QByteArray upperTrimmed(QByteArrayView v) {
    return v.trimmed().toByteArray().toUpper();
}

} // namespace

bool isBoxField(QByteArrayView name) {
    return among(name, boxNames);
}

bool keepsMore(const AdifRecord& record) {
    return std::any_of(record.fields.begin(), record.fields.end(), [](const AdifField& f) {
        return !f.data.trimmed().isEmpty() && !isBoxField(f.name);
    });
}

QByteArray fieldsRecord(const AdifRecord& record) {
    QByteArray out;
    for (const AdifField& f : record.fields)
        putField(out, f.name, utf8(f.data));
    out += "<EOR>\r\n";
    return out;
}

QByteArray addingRecord(const AdifRecord& record, const QList<QByteArray>& names) {
    QByteArray out;
    for (const AdifField& f : record.fields) {
        if (among(f.name, identityNames) && !f.data.trimmed().isEmpty())
            putField(out, f.name, utf8(f.data));
    }
    for (const AdifField& f : record.fields) {
        if (names.contains(f.name.toByteArray()) && !among(f.name, identityNames))
            putField(out, f.name, utf8(f.data));
    }
    putField(out, AddsField, "Y");
    out += "<EOR>\r\n";
    return out;
}

namespace {

// MODE, SAT_NAME, PROP_MODE; a SUBMODE without its MODE stands for the mode
// it belongs to, so that a record with FT4 and one with MFSK are one.
QByteArray discriminatorOf(const std::function<QByteArray(const char*)>& value) {
    QByteArray mode = upperTrimmed(value("MODE"));
    if (mode.isEmpty()) {
        const QByteArray sub = upperTrimmed(value("SUBMODE"));
        const auto m = sub.isEmpty() ? std::nullopt : modeOf(QString::fromUtf8(sub));
        mode = m ? m->mode : sub;
    }
    const QByteArray sat = upperTrimmed(value("SAT_NAME"));
    const QByteArray prop = upperTrimmed(value("PROP_MODE"));
    if (mode.isEmpty() && sat.isEmpty() && prop.isEmpty())
        return {};
    return mode + '|' + sat + '|' + prop;
}

} // namespace

QByteArray discriminator(const AdifRecord& record) {
    return discriminatorOf([&](const char* name) { return record.value(name).toByteArray(); });
}

QByteArray discriminator(const StoredFields& fields) {
    return discriminatorOf([&](const char* name) {
        for (const StoredField& f : fields) {
            if (f.name == name)
                return f.value;
        }
        return QByteArray();
    });
}

quint64 keyHash(QByteArrayView key) {
    return logfile::blockHash(key.data(), key.size());
}

OsError FieldsIndex::open(const QString& path) {
    entries_.clear();
    const QString action = QStringLiteral("read the fields file");
    file_.setFileName(path);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return {};
    // Opened without blocking: a FIFO or a device in its place is an error.
    OsError error;
    const int fd = logfile::openLog(path, O_RDONLY, action, error);
    if (fd < 0)
        return error;
    if (!file_.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return OsError::because(action, path, file_.errorString());
    AdifReader reader(&file_);
    AdifRecord record;
    QByteArray key;
    while (reader.next(record)) {
        if (!recordKey(record, key))
            continue; // not a contact: never asked for
        const qint64 length = record.end - record.offset;
        if (length > (qint64(1) << 30))
            continue;
        entries_.push_back({keyHash(key), record.offset, qint32(length),
                            !record.value(AddsField).isEmpty(), false});
    }
    if (!reader.readError().isEmpty())
        return OsError::because(action, path, reader.readError());
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
    window_.clear();
    return {};
}

std::vector<FieldsIndex::Entry>::iterator FieldsIndex::firstOf(quint64 hash) {
    return std::lower_bound(entries_.begin(), entries_.end(), hash,
                            [](const Entry& e, quint64 h) { return e.hash < h; });
}

bool FieldsIndex::mayHave(QByteArrayView key) const {
    const quint64 h = keyHash(key);
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), h,
                                     [](const Entry& e, quint64 v) { return e.hash < v; });
    return it != entries_.end() && it->hash == h;
}

bool FieldsIndex::readRecord(const Entry& e, StoredFields& fields, QByteArray& key) {
    // Records are mostly asked for in the file's order: read ahead a piece.
    const qint64 windowEnd = windowStart_ + window_.size();
    if (e.offset < windowStart_ || e.offset + e.length > windowEnd) {
        const qint64 want = std::max<qint64>(e.length, 1 << 20);
        window_.resize(qsizetype(want));
        if (!file_.seek(e.offset))
            return false;
        const qint64 n = file_.read(window_.data(), want);
        window_.resize(qsizetype(std::max<qint64>(n, 0)));
        windowStart_ = e.offset;
        if (n < e.length)
            return false;
    }
    AdifReader reader(QByteArrayView(window_).sliced(e.offset - windowStart_, e.length));
    AdifRecord record;
    if (!reader.next(record) || !recordKey(record, key))
        return false;
    fields.clear();
    for (const AdifField& f : record.fields)
        fields.append({f.name.toByteArray(), f.data.toByteArray()});
    return true;
}

bool FieldsIndex::take(QByteArrayView key, StoredFields& fields) {
    const quint64 h = keyHash(key);
    QByteArray found;
    auto it = firstOf(h);
    for (; it != entries_.end() && it->hash == h; ++it) {
        if (it->used || it->adds)
            continue;
        if (readRecord(*it, fields, found) && found == key)
            break;
    }
    // A contact typed in the window has no record of its own, but may have
    // one that adds to it (a duplicate imported later).
    const bool own = it != entries_.end() && it->hash == h;
    if (own)
        it->used = true;
    else
        fields.clear();
    // What later records add to it: a field the record lacks, or has empty.
    const QByteArray which = discriminator(fields);
    StoredFields more;
    bool added = false;
    for (auto a = firstOf(h); a != entries_.end() && a->hash == h; ++a) {
        if (!a->adds || (own && a->offset < it->offset) || !readRecord(*a, more, found) ||
            found != key)
            continue;
        added = true;
        const QByteArray theirs = discriminator(more);
        if (!theirs.isEmpty() && !which.isEmpty() && theirs != which)
            continue;
        for (const StoredField& f : std::as_const(more)) {
            if (f.name == AddsField)
                continue;
            auto mine = std::find_if(fields.begin(), fields.end(),
                                     [&](const StoredField& g) { return g.name == f.name; });
            if (mine == fields.end())
                fields.append(f);
            else if (mine->value.trimmed().isEmpty())
                mine->value = f.value;
        }
    }
    return own || added;
}

} // namespace tavrelo::adif
