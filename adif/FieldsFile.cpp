// SPDX-License-Identifier: GPL-3.0-or-later
#include "FieldsFile.h"

#include "FieldNames.h"

#include "Contact.h"
#include "LogReader.h"
#include "OpenLog.h"
#include "ReadAhead.h"
#include "Transaction.h"

#include <QFileInfo>

#include <memory>
#include <span>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace tavrelo::adif {

namespace {

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// A value as it is kept: without control characters (a NUL makes tools
// take the file for a binary one, an ESC reaches a terminal), but for the
// line breaks of a multiline field.
QByteArray withoutControls(QByteArrayView name, QByteArrayView value);

// A value as UTF-8: it is already, or it is Windows-1252.
QByteArray utf8(QByteArrayView value) {
    if (logfile::isAscii(value) || QUtf8StringView(value).isValidUtf8())
        return value.toByteArray();
    return logfile::decodeLine(value.data(), value.data() + value.size()).toUtf8();
}

void putField(QByteArray& out, QByteArrayView name, QByteArrayView value) {
    appendStoredField(out, name, withoutControls(name, value));
}

QByteArray withoutControls(QByteArrayView name, QByteArrayView value) {
    if (std::none_of(value.begin(), value.end(), isControl))
        return value.toByteArray();
    const bool lines = hasRole(name, Multiline);
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (!isControl(value[i])) {
            out += value[i];
        } else if (lines && value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') {
            out += "\r\n";
            ++i;
        }
    }
    return out;
}

} // namespace

bool isBoxField(QByteArrayView name) {
    return hasRole(name, Box);
}

bool keepsMore(const AdifRecord& record) {
    return std::any_of(record.fields.begin(), record.fields.end(), [](const AdifField& f) {
        return !f.data.trimmed().isEmpty() && !isBoxField(f.name);
    });
}

QByteArrayView storedForm(const AdifRecord& record) {
    return logfile::isPrintable(record.compact) ? record.compact : QByteArrayView();
}

void appendStoredRecord(QByteArrayView stored, QByteArray& out) {
    // Made in place: it is made for every record of an import.
    const qsizetype at = out.size();
    const qsizetype size = stored.size() + 9;
    if (out.capacity() < at + size)
        out.reserve(std::max(2 * out.capacity(), at + size));
    out.resize(at + size);
    char* w = out.data() + at;
    *w = '<';
    logfile::copyShort(w + 1, stored.data(), stored.size());
    std::memcpy(w + 1 + stored.size(), " <EOR>\r\n", 8);
}

void appendFieldsRecord(const AdifRecord& record, QByteArray& out) {
    if (const QByteArrayView bytes = storedForm(record); !bytes.isEmpty()) {
        appendStoredRecord(bytes, out);
        return;
    }
    appendFieldsRecord(record.fields.constData(), record.fields.size(), out);
}

void appendFieldsRecord(const AdifField* first, qsizetype count, QByteArray& out) {
    const std::span<const AdifField> fields(first, size_t(count));
    // Most values are ASCII or UTF-8 already, and go as they are, written
    // through a pointer into room made once. The reader's fields lie in
    // one stretch of its buffer, tags between them: one look at it all
    // tells that every value is ASCII.
    qsizetype room = 8;
    for (const AdifField& f : fields)
        room += f.name.size() + f.data.size() + 24;
    const QByteArrayView span = spanOf(first, count);
    bool plain = !span.isEmpty() && span.size() < room * 4 && logfile::isPrintable(span);
    if (!plain) {
        plain = std::all_of(fields.begin(), fields.end(), [](const AdifField& f) {
            return std::none_of(f.data.begin(), f.data.end(), isControl) &&
                   (logfile::isAscii(f.data) || QUtf8StringView(f.data).isValidUtf8());
        });
    }
    if (!plain) {
        for (const AdifField& f : fields)
            putField(out, f.name, utf8(f.data));
        out += "<EOR>\r\n";
        return;
    }
    const qsizetype start = out.size();
    if (out.capacity() < start + room)
        out.reserve(std::max(2 * out.capacity(), start + room));
    out.resize(start + room);
    char* w = out.data() + start;
    for (const AdifField& f : fields) {
        *w++ = '<';
        logfile::copyShort(w, f.name.data(), f.name.size());
        w += f.name.size();
        *w++ = ':';
        w = putNumber(w, f.data.size());
        *w++ = '>';
        logfile::copyShort(w, f.data.data(), f.data.size());
        w += f.data.size();
        *w++ = ' ';
    }
    std::memcpy(w, "<EOR>\r\n", 7);
    w += 7;
    out.truncate(w - out.constData());
}

QByteArray fieldsRecord(const AdifRecord& record) {
    QByteArray out;
    appendFieldsRecord(record, out);
    return out;
}

QByteArray addingRecord(const AdifRecord& record, const QList<QByteArray>& names) {
    QByteArray out;
    for (const AdifField& f : record.fields) {
        if (hasRole(f.name, Identity) && !f.data.trimmed().isEmpty())
            putField(out, f.name, utf8(f.data));
    }
    for (const AdifField& f : record.fields) {
        if (names.contains(f.name.toByteArray()) && !hasRole(f.name, Identity))
            putField(out, f.name, utf8(f.data));
    }
    putField(out, AddsField, "Y");
    out += "<EOR>\r\n";
    return out;
}

namespace {

// The values that tell contacts apart, the first of each name.
struct TellingOf : Telling {
    void note(QByteArrayView name, QByteArrayView value) {
        const FieldName* f = fieldNamed(name);
        const int field = f && (f->roles & Tells) ? f->field : -1;
        QByteArrayView* slot = field == Mode       ? &mode
                               : field == Submode  ? &submode
                               : field == SatName  ? &sat
                               : field == PropMode ? &prop
                                                   : nullptr;
        if (slot && slot->isNull())
            *slot = value.isNull() ? QByteArrayView("", 0) : value;
    }
};

// MODE, SAT_NAME, PROP_MODE; a SUBMODE without its MODE stands for the mode
// it belongs to, so that a record with FT4 and one with MFSK are one.
// Written in upper case through a pointer: it is made for every record.
void appendTelling(const Telling& t, QByteArray& out) {
    QByteArrayView mode = logfile::asciiTrimmed(t.mode);
    const QByteArrayView sat = logfile::asciiTrimmed(t.sat);
    const QByteArrayView prop = logfile::asciiTrimmed(t.prop);
    QByteArray fromSubmode;
    if (mode.isEmpty()) {
        const QByteArrayView sub = logfile::asciiTrimmed(t.submode);
        if (!sub.isEmpty()) {
            const auto m = modeOf(QString::fromUtf8(sub));
            fromSubmode = m ? m->mode : sub.toByteArray();
            mode = fromSubmode;
        }
    }
    if (mode.isEmpty() && sat.isEmpty() && prop.isEmpty())
        return;
    const qsizetype start = out.size();
    const qsizetype size = mode.size() + sat.size() + prop.size() + 2;
    if (out.capacity() < start + size)
        out.reserve(std::max(2 * out.capacity(), start + size));
    out.resize(start + size);
    char* w = out.data() + start;
    const auto put = [&w](QByteArrayView v) {
        for (const char c : v)
            *w++ = c >= 'a' && c <= 'z' ? char(c - 32) : c;
    };
    put(mode);
    *w++ = '|';
    put(sat);
    *w++ = '|';
    put(prop);
}

} // namespace

void appendDiscriminator(const Telling& fields, QByteArray& out) {
    appendTelling(fields, out);
}

void appendDiscriminator(const AdifRecord& record, QByteArray& out) {
    TellingOf t;
    for (const AdifField& f : record.fields)
        t.note(f.name, f.data);
    appendTelling(t, out);
}

QByteArray discriminator(const AdifRecord& record) {
    QByteArray d;
    appendDiscriminator(record, d);
    return d;
}

QByteArray discriminator(const StoredFields& fields) {
    TellingOf t;
    for (const StoredField& f : fields)
        t.note(f.name, f.value);
    QByteArray d;
    appendTelling(t, d);
    return d;
}

} // namespace tavrelo::adif
