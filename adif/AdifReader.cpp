// SPDX-License-Identifier: GPL-3.0-or-later
#include "AdifReader.h"

#include <cstring>

namespace tavrelo::adif {

namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Whether the bytes from p on, up to the next '<' or the end, are only
// whitespace: the value read before p ended cleanly.
bool endsCleanly(QByteArrayView file, qsizetype p) {
    for (; p < file.size() && file[p] != '<'; ++p) {
        if (!isSpace(file[p]))
            return false;
    }
    return true;
}

// Where n UTF-8 characters from p end, or -1 when the bytes run out first.
qsizetype afterCharacters(QByteArrayView file, qsizetype p, qsizetype n) {
    for (; n > 0; --n) {
        if (p >= file.size())
            return -1;
        const auto c = static_cast<unsigned char>(file[p]);
        p += c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    }
    return p <= file.size() ? p : -1;
}

bool hasNonAscii(QByteArrayView bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    }
    return false;
}

bool equalsUpper(QByteArrayView name, const char* wanted) {
    const size_t n = std::strlen(wanted);
    if (size_t(name.size()) != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (upper(name[qsizetype(i)]) != wanted[i])
            return false;
    }
    return true;
}

} // namespace

QByteArray AdifRecord::value(const char* name) const {
    for (const AdifField& f : fields) {
        if (f.name == name)
            return f.data;
    }
    return {};
}

bool AdifRecord::has(const char* name) const {
    for (const AdifField& f : fields) {
        if (f.name == name)
            return true;
    }
    return false;
}

AdifReader::AdifReader(QByteArrayView file) : file_(file) {
    if (file_.isEmpty() || file_[0] == '<')
        return;
    // A header: everything up to <EOH>, in any case.
    for (qsizetype p = 0; (p = file_.indexOf('<', p)) >= 0; ++p) {
        if (p + 5 <= file_.size() && equalsUpper(file_.sliced(p, 5), "<EOH>")) {
            pos_ = p + 5;
            return;
        }
    }
    pos_ = 0; // no <EOH>: the text before the first tag is not a header
}

bool AdifReader::readField(AdifField& field, bool& endOfRecord) {
    endOfRecord = false;
    for (;;) {
        const qsizetype open = file_.indexOf('<', pos_);
        if (open < 0) {
            pos_ = file_.size();
            return false;
        }
        const qsizetype close = file_.indexOf('>', open);
        if (close < 0) {
            pos_ = file_.size();
            return false;
        }
        const QByteArrayView tag = file_.sliced(open + 1, close - open - 1);
        pos_ = close + 1;
        if (equalsUpper(tag, "EOR")) {
            endOfRecord = true;
            return false;
        }
        const qsizetype colon = tag.indexOf(':');
        if (colon <= 0)
            continue; // <EOH> again, or a stray tag: nothing to read
        qsizetype length = 0;
        qsizetype i = colon + 1;
        bool digits = false;
        for (; i < tag.size() && tag[i] >= '0' && tag[i] <= '9' && length < (1 << 30); ++i) {
            length = length * 10 + (tag[i] - '0');
            digits = true;
        }
        if (!digits || (i < tag.size() && tag[i] != ':'))
            continue; // not a field tag
        QByteArray name = tag.first(colon).toByteArray();
        for (char& c : name)
            c = upper(c);
        qsizetype end = std::min(pos_ + length, file_.size());
        if (end < file_.size() && hasNonAscii(file_.sliced(pos_, end - pos_)) &&
            !endsCleanly(file_, end)) {
            const qsizetype byChars = afterCharacters(file_, pos_, length);
            if (byChars >= 0 && endsCleanly(file_, byChars)) {
                end = byChars;
                ++characterReadings_;
            }
        }
        field.name = std::move(name);
        field.data = file_.sliced(pos_, end - pos_).toByteArray();
        pos_ = end;
        return true;
    }
}

bool AdifReader::next(AdifRecord& record) {
    record = AdifRecord();
    const qsizetype start = file_.indexOf('<', pos_);
    if (start < 0)
        return false;
    record.offset = start;
    AdifField field;
    bool endOfRecord = false;
    while (readField(field, endOfRecord))
        record.fields.append(std::move(field));
    if (!endOfRecord && record.fields.isEmpty())
        return false; // only text or stray tags were left
    record.ended = endOfRecord;
    record.number = ++records_;
    return true;
}

} // namespace tavrelo::adif
