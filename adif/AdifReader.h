// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVarLengthArray>

#include <memory>
#include <vector>

class QIODevice;

namespace tavrelo::adif {

// One field of an ADIF record: its name in upper case, its data as bytes.
// Both point into the reader's buffer and stay valid until its next read.
struct AdifField {
    QByteArrayView name;
    QByteArrayView data;
};

// Two field names equal, byte for byte: a plain loop, cheaper for names of
// a few letters than a call of memcmp.
inline bool sameName(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Where fields that lie in one buffer are in it: from the first byte of
// any name or value to the end of the last. Empty when none has bytes.
QByteArrayView spanOf(const AdifField* fields, qsizetype count);

struct AdifRecord {
    qsizetype number = 0; // 1 for the file's first record
    qint64 offset = 0;    // byte offset of its first tag in the file
    qint64 end = 0;       // byte offset just past its <EOR> (or its last field)
    QVarLengthArray<AdifField, 16> fields;
    // Its bytes from the first name to the end of the last value, when its
    // fields follow one another as <NAME:LENGTH>VALUE with one space
    // between, no type and no leading zero in a length, each value read by
    // its length in bytes; empty when they do not. Set by the reader.
    QByteArrayView compact;
    bool ended = true; // false for a last record without <EOR>
    // The data of the first field of that name (upper case), or an empty view.
    QByteArrayView value(QByteArrayView name) const;
    bool has(QByteArrayView name) const;
};

// Reads the records of an ADI file as real programs write them: with a
// header or without one (a file whose first character is '<' has none),
// tags in any case, <F:L> and <F:L:T>, text and line breaks between fields
// and records, and a last <EOR> missing.
//
// Lengths count bytes. Some programs count characters instead: where a value
// holds bytes beyond ASCII and the byte reading leaves stray text before the
// next tag, while the character reading (UTF-8) ends cleanly at whitespace,
// a tag or the end, the character reading is taken, and counted.
//
// From a device the file is read in pieces, so that a file of any size
// takes little memory: only the record being read is held whole.
class AdifReader {
public:
    explicit AdifReader(QByteArrayView file);
    // pieceSize: the bytes read at a time, more when a record is longer.
    explicit AdifReader(QIODevice* device, qsizetype pieceSize = 1 << 20);

    // The next record; false at the end of the file, or when the device
    // failed (readError() then says why).
    bool next(AdifRecord& record);

    // The buffer that the last record's views point into, for a taker that
    // keeps them beyond the next read: while a copy is held, the reader
    // leaves these bytes as they are and reads on into another buffer.
    std::shared_ptr<const QByteArray> hold() const { return buffer_; }
    // Which buffer that is, to tell whether it is held already.
    const void* bufferId() const { return buffer_.get(); }

    qsizetype valuesReadAsCharacters() const { return characterReadings_; }
    // The device's error, empty when none.
    QString readError() const { return readError_; }

private:
    enum class Tag { EndOfRecord, EndOfHeader, EndOfFile, NeedMore };
    // Reads the record's fields from pos on, up to the tag that ends them,
    // and tells whether they are compact.
    Tag readFields(AdifRecord& record, qsizetype& pos, int& characterReadings);
    // Keeps the buffer from keepFrom on and reads more behind it; false at
    // the end of the device or on its failure.
    bool fill(qsizetype keepFrom);

    QIODevice* device_ = nullptr;
    qsizetype pieceSize_ = 0;
    std::shared_ptr<QByteArray> buffer_;
    // The buffers read into before, each used again once no taker holds it.
    std::vector<std::shared_ptr<QByteArray>> earlier_;
    qint64 base_ = 0; // file offset of (*buffer_)[0]
    qsizetype pos_ = 0;
    bool atEnd_ = true; // the buffer holds the file's last byte
    bool inHeader_ = false;
    qsizetype records_ = 0;
    qsizetype characterReadings_ = 0;
    QString readError_;
};

} // namespace tavrelo::adif
