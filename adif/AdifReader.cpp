// SPDX-License-Identifier: GPL-3.0-or-later
#include "AdifReader.h"

#include "LogReader.h"

#include <QIODevice>

#include <atomic>
#include <bit>
#include <cstring>

namespace tavrelo::adif {

namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// The first c from pos on, or -1. Tags and the gaps between them are short:
// a plain loop finds them sooner than a call of memchr would start, which
// takes over for long runs of text.
inline qsizetype find(QByteArrayView buffer, char c, qsizetype pos) {
    const qsizetype near = std::min(buffer.size(), pos + 32);
    for (; pos < near; ++pos) {
        if (buffer[pos] == c)
            return pos;
    }
    if (pos >= buffer.size())
        return -1;
    const void* p = std::memchr(buffer.data() + pos, c, size_t(buffer.size() - pos));
    return p ? static_cast<const char*>(p) - buffer.data() : -1;
}

constexpr quint64 ones = 0x0101010101010101ull;
constexpr quint64 highs = 0x8080808080808080ull;

// The top bit of each zero byte of w; exact up to the first, which is all
// that is read of it.
quint64 zeroBytes(quint64 w) {
    return (w - ones) & ~w & highs;
}

// The top bit of each byte of w that is a letter from 'a' to 'z'.
quint64 lowerCaseBits(quint64 w) {
    const quint64 low7 = w & ~highs;
    const quint64 fromA = low7 + ones * (0x80 - 'a');     // top bit set from 'a' on
    const quint64 pastZ = low7 + ones * (0x80 - 'z' - 1); // and from past 'z' on
    return (fromA ^ pastZ) & ~w & highs;
}

enum class Clean { Yes, No, Unknown };

// Whether the bytes from p on, up to the next '<' or the end of the file,
// are only whitespace: the value read before p ended cleanly. Unknown when
// the buffer ends first and more of the file is to come.
// A tag's name starts with a letter: a '<' before anything else is text.
inline bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

Clean endsCleanlyAfter(QByteArrayView buffer, qsizetype p, bool atEnd) {
    for (; p < buffer.size() && buffer[p] != '<'; ++p) {
        if (!isSpace(buffer[p]))
            return Clean::No;
    }
    if (p + 1 < buffer.size())
        return isLetter(buffer[p + 1]) ? Clean::Yes : Clean::No;
    return atEnd ? Clean::Yes : Clean::Unknown;
}

// Whether a value read to p ends where the next tag starts: the length
// counted what the writer counted.
inline Clean endsCleanly(QByteArrayView buffer, qsizetype p, bool atEnd) {
    // Mostly the next tag, or one space and the next tag.
    if (p + 2 < buffer.size() &&
        ((buffer[p] == '<' && isLetter(buffer[p + 1])) ||
         (buffer[p] == ' ' && buffer[p + 1] == '<' && isLetter(buffer[p + 2]))))
        return Clean::Yes;
    return endsCleanlyAfter(buffer, p, atEnd);
}

// Where n UTF-8 characters from p end, or -1 when the bytes run out first.
qsizetype afterCharacters(QByteArrayView buffer, qsizetype p, qsizetype n) {
    for (; n > 0; --n) {
        if (p >= buffer.size())
            return -1;
        const auto c = static_cast<unsigned char>(buffer[p]);
        p += c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    }
    return p <= buffer.size() ? p : -1;
}

bool equalsUpper(QByteArrayView name, const char (&wanted)[4]) {
    return name.size() == 3 && upper(name[0]) == wanted[0] && upper(name[1]) == wanted[1] &&
           upper(name[2]) == wanted[2];
}

} // namespace

QByteArrayView spanOf(const AdifField* fields, qsizetype count) {
    const char* low = nullptr;
    const char* high = nullptr;
    for (qsizetype i = 0; i < count; ++i) {
        for (const QByteArrayView v : {fields[i].name, fields[i].data}) {
            if (v.data() && (!low || v.data() < low))
                low = v.data();
            if (v.data() && (!high || v.data() + v.size() > high))
                high = v.data() + v.size();
        }
    }
    return low ? QByteArrayView(low, high - low) : QByteArrayView();
}

QByteArrayView AdifRecord::value(QByteArrayView name) const {
    for (const AdifField& f : fields) {
        if (sameName(f.name, name))
            return f.data;
    }
    return {};
}

bool AdifRecord::has(QByteArrayView name) const {
    for (const AdifField& f : fields) {
        if (sameName(f.name, name))
            return true;
    }
    return false;
}

AdifReader::AdifReader(QByteArrayView file)
    : buffer_(std::make_shared<QByteArray>(file.toByteArray())) {
    inHeader_ = !buffer_->isEmpty() && (*buffer_)[0] != '<';
}

AdifReader::AdifReader(QIODevice* device, qsizetype pieceSize)
    : device_(device), pieceSize_(std::max<qsizetype>(pieceSize, 1)),
      buffer_(std::make_shared<QByteArray>()), atEnd_(false) {
    while (buffer_->isEmpty() && fill(0)) {
    }
    inHeader_ = !buffer_->isEmpty() && (*buffer_)[0] != '<';
}

bool AdifReader::fill(qsizetype keepFrom) {
    if (!device_ || atEnd_)
        return false;
    base_ += keepFrom;
    const qsizetype kept = buffer_->size() - keepFrom;
    if (buffer_.use_count() > 1) {
        // Held by a taker: the kept bytes go to the front of a buffer that
        // no one holds any more, or of a new one.
        std::shared_ptr<QByteArray> next;
        for (std::shared_ptr<QByteArray>& b : earlier_) {
            if (b.use_count() == 1) {
                std::swap(next, b);
                break;
            }
        }
        // What its last taker read was read before its bytes change.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!next)
            next = std::make_shared<QByteArray>();
        next->truncate(0); // keeps the room
        next->append(buffer_->constData() + keepFrom, kept);
        std::erase(earlier_, nullptr);
        earlier_.push_back(std::move(buffer_));
        buffer_ = std::move(next);
    } else {
        // The kept bytes moved to the front, by hand: QByteArray::remove()
        // would leave the room at the front, and the resize below would
        // then reallocate the buffer each time.
        std::memmove(buffer_->data(), buffer_->constData() + keepFrom, size_t(kept));
        buffer_->truncate(kept);
    }
    pos_ = 0;
    // A record longer than what the buffer holds doubles it. The room is
    // made once for a piece and the start of a record, not at every fill.
    const qsizetype wanted = std::max(pieceSize_, kept);
    QByteArray& buffer = *buffer_;
    if (buffer.capacity() < kept + wanted)
        buffer.reserve(std::max(kept + wanted, pieceSize_ + pieceSize_ / 4));
    buffer.resize(kept + wanted);
    const qint64 n = device_->read(buffer.data() + kept, wanted);
    buffer.resize(kept + std::max<qint64>(n, 0));
    if (n < 0)
        readError_ = device_->errorString();
    if (n <= 0)
        atEnd_ = true;
    return n > 0;
}

AdifReader::Tag AdifReader::readFields(AdifRecord& record, qsizetype& pos, int& characterReadings) {
    QVarLengthArray<AdifField, 16>& fields = record.fields;
    // Whether the fields so far are compact, and where the last one ended.
    bool compact = true;
    qsizetype lastEnd = -1;
    char* const bytes = buffer_->data(); // names are put in upper case in place
    const qsizetype size = buffer_->size();
    const QByteArrayView buffer(bytes, size);
    const Tag more = atEnd_ ? Tag::EndOfFile : Tag::NeedMore;
    const auto ended = [&](Tag tag) {
        if (compact && !fields.isEmpty()) {
            const char* first = fields.front().name.data();
            record.compact = QByteArrayView(first, bytes + lastEnd - first);
        }
        return tag;
    };
    for (;;) {
        // Mostly the next tag starts where the last value's space ended.
        const qsizetype open = pos < size && bytes[pos] == '<' ? pos : find(buffer, '<', pos);
        if (open < 0)
            return ended(more);
        // The tag in one pass: its name up to ':' (in upper case) or '>',
        // the length's digits, and a type after a second ':'.
        // Names are put in upper case on the way: a stray tag's too, which
        // nothing reads.
        qsizetype p = open + 1;
        // Eight bytes at a time while there are eight, then one by one.
        bool stopped = false;
        for (; p + 8 <= size; p += 8) {
            quint64 w;
            std::memcpy(&w, bytes + p, 8);
            const quint64 stop = zeroBytes(w ^ (ones * ':')) | zeroBytes(w ^ (ones * '>'));
            const int n = stop ? std::countr_zero(stop) / 8 : 8;
            if (const quint64 lower = lowerCaseBits(w) & (n == 8 ? ~0ull : (1ull << (8 * n)) - 1)) {
                w ^= lower >> 2;
                std::memcpy(bytes + p, &w, 8);
            }
            if (n < 8) {
                p += n;
                stopped = true;
                break;
            }
        }
        for (; !stopped && p < size; ++p) {
            const char c = bytes[p];
            if (c == ':' || c == '>')
                break;
            if (c >= 'a' && c <= 'z')
                bytes[p] = char(c - 32);
        }
        if (p == size)
            return ended(more);
        const qsizetype colon = p;
        if (bytes[p] == '>') {
            pos = p + 1;
            const QByteArrayView tag = buffer.sliced(open + 1, p - open - 1);
            if (equalsUpper(tag, "EOR"))
                return ended(Tag::EndOfRecord);
            // A header ends at <EOH>, also in a file that starts with a
            // field (as WSJT-X's Logged ADIF does): what came before the
            // first record's end were the header's fields.
            if ((inHeader_ || records_ == 0) && equalsUpper(tag, "EOH"))
                return ended(Tag::EndOfHeader);
            continue; // a stray tag: nothing to read
        }
        qsizetype length = 0;
        bool digits = false;
        for (++p; p < size && bytes[p] >= '0' && bytes[p] <= '9' && length < (1 << 30); ++p) {
            length = length * 10 + (bytes[p] - '0');
            digits = true;
        }
        bool typed = false;
        if (p < size && bytes[p] != '>') {
            // A type after the length, or what makes it no field tag: the
            // tag ends at its '>'.
            typed = digits && bytes[p] == ':';
            p = find(buffer, '>', p);
            if (p < 0)
                return ended(more);
            if (!typed) {
                pos = p + 1;
                continue;
            }
        }
        if (p == size)
            return ended(more);
        pos = p + 1;
        if (!digits || colon == open + 1)
            continue; // not a field tag

        // Not compact: a type, a leading zero, or other bytes or tags than
        // one space since the last value.
        if (typed || (bytes[colon + 1] == '0' && p > colon + 2) ||
            (lastEnd >= 0 && (open != lastEnd + 1 || bytes[lastEnd] != ' ')))
            compact = false;
        qsizetype end = pos + length;
        if (end >= size) {
            if (!atEnd_)
                return Tag::NeedMore; // the value, or what follows it, is still to come
            compact = compact && end == size;
            end = std::min(end, size);
        }
        // A value that ends cleanly by its bytes is read by them; so is one
        // of ASCII, whose bytes are its characters. Most end cleanly, and
        // that is seen sooner than whether they are ASCII.
        // Mostly one space and the next tag follow, where the next look
        // starts.
        const bool spaceThenTag = end + 2 < size && bytes[end] == ' ' && bytes[end + 1] == '<' &&
                                  isLetter(bytes[end + 2]);
        const Clean byBytes = spaceThenTag ? Clean::Yes
                              : end < size ? endsCleanly(buffer, end, atEnd_)
                                           : Clean::Yes;
        if (byBytes != Clean::Yes && !logfile::isAscii(buffer.sliced(pos, end - pos))) {
            if (byBytes == Clean::Unknown)
                return Tag::NeedMore;
            if (byBytes == Clean::No) {
                const qsizetype byChars = afterCharacters(buffer, pos, length);
                if (byChars < 0 && !atEnd_)
                    return Tag::NeedMore;
                const Clean clean = byChars < 0 ? Clean::No : endsCleanly(buffer, byChars, atEnd_);
                if (clean == Clean::Unknown)
                    return Tag::NeedMore;
                if (clean == Clean::Yes) {
                    end = byChars;
                    ++characterReadings;
                    compact = false;
                }
            }
        }
        fields.append({buffer.sliced(open + 1, colon - open - 1), buffer.sliced(pos, end - pos)});
        pos = spaceThenTag ? end + 1 : end; // the value ended where its length says
        lastEnd = end;
    }
}

bool AdifReader::next(AdifRecord& record) {
    for (;;) {
        record.fields.clear();
        record.compact = {};
        const qsizetype start = find(*buffer_, '<', pos_);
        if (start < 0) {
            if (fill(buffer_->size()))
                continue;
            pos_ = buffer_->size();
            return false;
        }
        qsizetype pos = start;
        int characterReadings = 0;
        const Tag tag = readFields(record, pos, characterReadings);
        if (tag == Tag::NeedMore) {
            // Read the record again once more of the file is in.
            if (!fill(start) && !readError_.isEmpty())
                return false;
            continue;
        }
        pos_ = pos;
        if (tag == Tag::EndOfHeader) {
            inHeader_ = false; // what was read were the header's fields
            continue;
        }
        // A record before any <EOH>: the file had no header.
        inHeader_ = false;
        if (tag == Tag::EndOfFile && record.fields.isEmpty())
            return false; // only text or stray tags were left
        record.ended = tag == Tag::EndOfRecord;
        record.offset = base_ + start;
        record.end = base_ + pos;
        record.number = ++records_;
        characterReadings_ += characterReadings;
        return true;
    }
}

} // namespace tavrelo::adif
