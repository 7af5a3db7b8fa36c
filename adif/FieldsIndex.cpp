// SPDX-License-Identifier: GPL-3.0-or-later
// The index that finds a log line's record in the fields file.
#include "FieldsFile.h"

#include "Contact.h"
#include "LogReader.h"
#include "OpenLog.h"
#include "ReadAhead.h"
#include "Transaction.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tavrelo::adif {

quint64 keyHash(QByteArrayView key) {
    return logfile::blockHash(key.data(), key.size());
}

namespace {

constexpr qsizetype ScanPiece = qsizetype(4) << 20;

// Whether the name (in any case) stands in the file's bytes from `from` up
// to `to` (or its end, when to is negative), read in pieces with pread.
// A name that starts before `to` is found whole, its end read past `to`.
// Returns false with err set when a read fails.
bool mentionsNameIn(int fd, QByteArrayView name, qint64 from, qint64 to, int& err) {
    const qsizetype n = name.size();
    // Every place of one letter of the name, either case: its 'V', rarer in
    // ADIF than most letters.
    const qsizetype at = std::max<qsizetype>(0, name.indexOf('V'));
    const char letter = name[at];
    QByteArray buffer(n - 1 + ScanPiece, Qt::Uninitialized);
    qsizetype kept = 0;
    for (qint64 offset = from;;) {
        qsizetype want = ScanPiece;
        if (to >= 0)
            want = qsizetype(std::min<qint64>(want, to + n - 1 - offset));
        ssize_t got = 0;
        while (want > 0 &&
               (got = ::pread(fd, buffer.data() + kept, size_t(want), off_t(offset))) < 0 &&
               errno == EINTR) {
        }
        if (got < 0) {
            err = errno;
            return false;
        }
        offset += got;
        const qsizetype size = kept + qsizetype(got);
        for (const char c : {letter, char(letter | 0x20)}) {
            const char* p = buffer.constData() + at;
            const char* const end = buffer.constData() + size - (n - 1 - at);
            while (p < end && (p = static_cast<const char*>(std::memchr(p, c, size_t(end - p))))) {
                if (QByteArrayView(p - at, n).compare(name, Qt::CaseInsensitive) == 0)
                    return true;
                ++p;
            }
        }
        if (got == 0)
            return false;
        // The last n - 1 bytes stay, for a name cut by the piece's end.
        kept = std::min(size, n - 1);
        std::memmove(buffer.data(), buffer.constData() + size - kept, size_t(kept));
    }
}

} // namespace

// A batch of records read ahead: each record's fields as the export reads
// them, pointing into the reader's buffers, which the batch holds.
struct FedBatch {
    // The reader's buffers the records lie in, held until the batch is
    // filled again: the bytes are not copied.
    std::vector<std::shared_ptr<const QByteArray>> buffers;
    std::vector<RecordView> records; // the first count are in use
    std::vector<quint64> hashes;     // each record's key hash
    size_t count = 0;

    void clear() {
        buffers.clear();
        count = 0;
    }
};

// The records of a fields file that are contacts, read ahead in file order
// on a thread of their own while the export converts lines, each with its
// key's hash: the parsing, the key and the digest are done there, the
// conversion here.
class RecordFeed {
public:
    RecordFeed(int fd, qint64 maxRecordBytes, const dxcc::CountryFile* countries, bool utf8)
        : ahead_([fd, maxRecordBytes, countries, utf8](ReadAhead<FedBatch>& ahead) {
              return read(fd, maxRecordBytes, countries, utf8, ahead);
          }) {}

    // The hash of the next record's key, the record staying next; false at
    // the end of the file or on a read error.
    bool peek(quint64& hash) {
        if (!current_ || taken_ == current_->count) {
            // The batch given out before stays until now: the record last
            // handed out points into it.
            std::unique_ptr<FedBatch> next = ahead_.take();
            if (!next)
                return false;
            if (current_)
                ahead_.giveBack(std::move(current_));
            current_ = std::move(next);
            taken_ = 0;
        }
        hash = current_->hashes[taken_];
        return true;
    }
    // The next record, valid until the next call; then it is used.
    const RecordView* take() { return &current_->records[taken_++]; }
    QString error() { return ahead_.error(); }

private:
    static constexpr size_t BatchRecords = 1024;

    static QString read(int fd, qint64 maxRecordBytes, const dxcc::CountryFile* countries,
                        bool utf8, ReadAhead<FedBatch>& ahead) {
        std::optional<EntityFiller> entities;
        if (countries)
            entities.emplace(*countries, utf8);
        QFile file;
        if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return file.errorString();
        }
        AdifReader reader(&file);
        AdifRecord record;
        QByteArray key;
        std::unique_ptr<FedBatch> batch = ahead.spare();
        // The entity fields are made here while the records are read ahead
        // of their use, and else left to the thread that writes them, so
        // that neither thread waits for the other.
        bool withEntities = entities.has_value();
        while (reader.next(record)) {
            if (!recordKey(record, key) || record.end - record.offset > maxRecordBytes)
                continue; // not a contact: never asked for
            if (batch->count == BatchRecords) {
                // Ahead when the batch handed over before is still waiting.
                withEntities = entities && ahead.waiting() > 0;
                if (!ahead.hand(std::move(batch)))
                    return {};
                batch = ahead.spare();
            }
            if (batch->buffers.empty() || batch->buffers.back().get() != reader.bufferId())
                batch->buffers.push_back(reader.hold());
            if (batch->records.size() == batch->count) {
                batch->records.emplace_back();
                batch->hashes.push_back(0);
            }
            RecordView& view = batch->records[batch->count];
            batch->hashes[batch->count++] = keyHash(key);
            view.fields.clear();
            view.fields.append(record.fields.constData(), record.fields.size());
            digest(view);
            if (withEntities) {
                const AdifField* call = view.slot(Call);
                view.entity = call ? entities->fieldsOf(call->data) : EntityFields{};
                view.entityMade = true;
            }
        }
        if (batch->count > 0)
            ahead.hand(std::move(batch));
        return reader.readError();
    }

    // The batch in use; its records before taken_ are used.
    std::unique_ptr<FedBatch> current_;
    size_t taken_ = 0;
    ReadAhead<FedBatch> ahead_; // last: its thread starts once the rest is made
};

FieldsIndex::FieldsIndex() = default;
FieldsIndex::~FieldsIndex() = default;

OsError FieldsIndex::open(const QString& path, const dxcc::CountryFile* countries, bool utf8) {
    entries_.clear();
    buckets_.clear();
    cursor_ = 0;
    passedOver_ = 0;
    feed_.reset();
    inStep_ = false;
    takenInStep_ = 0;
    error_ = {};
    path_ = path;
    file_.setFileName(path);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return {};
    // Opened without blocking: a FIFO or a device in its place is an error.
    OsError error;
    const int fd = logfile::openLog(path, O_RDONLY, readAction(), error);
    if (fd < 0)
        return error;
    if (!file_.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return OsError::because(readAction(), path, file_.errorString());
    window_.clear();
    reader_.reset();
    readerAtEnd_ = false;
    record_ = {};
    sequential_.close();
    const int again = logfile::openLog(path, O_RDONLY, readAction(), error);
    if (again < 0)
        return error;
    if (!sequential_.open(again, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return OsError::because(readAction(), path, sequential_.errorString());
    reader_.emplace(&sequential_);
    // Records that add to others need the whole index at once: a contact's
    // additions may come anywhere after it. Without them, lines asked for
    // in the file's order of their records are answered as the file is read,
    // and the index is made only when the orders part. The records are
    // read ahead already while the file is looked through for them.
    const int feedFd = logfile::openLog(path, O_RDONLY, readAction(), error);
    if (feedFd < 0)
        return error;
    feed_ = std::make_unique<RecordFeed>(feedFd, MaxRecordBytes, countries, utf8);
    int scanError = 0;
    const bool adds = mentionsName(file_.handle(), AddsField, scanError);
    if (scanError || adds) {
        feed_.reset();
        if (scanError)
            return OsError::fromErrno(readAction(), path, scanError);
        return buildIndex();
    }
    inStep_ = true;
    return {};
}

bool mentionsName(int fd, QByteArrayView name, int& err) {
    err = 0;
    struct stat st;
    const qint64 size = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    if (name.isEmpty() || size < 4 * ScanPiece)
        return mentionsNameIn(fd, name, 0, -1, err);
    // The first half on a thread of its own, the second, up to the file's
    // end as it is then, here: the export waits for the answer, and the
    // records read ahead meanwhile are few.
    const qint64 half = size / 2;
    int firstErr = 0;
    bool inFirst = false;
    std::thread first([&] { inFirst = mentionsNameIn(fd, name, 0, half, firstErr); });
    const bool inSecond = mentionsNameIn(fd, name, half, -1, err);
    first.join();
    err = err ? err : firstErr;
    return !err && (inFirst || inSecond);
}

QString FieldsIndex::readAction() {
    return QStringLiteral("read the fields file");
}

OsError FieldsIndex::buildIndex() {
    entries_.clear();
    if (!file_.seek(0))
        return OsError::because(readAction(), path_, file_.errorString());
    AdifReader reader(&file_);
    AdifRecord record;
    QByteArray key;
    while (reader.next(record)) {
        if (!recordKey(record, key))
            continue; // not a contact: never asked for
        const qint64 length = record.end - record.offset;
        if (length > MaxRecordBytes)
            continue;
        Entry e;
        e.hash = keyHash(key);
        e.offset = record.offset;
        e.length = qint32(length);
        e.adds = !record.value(AddsField).isEmpty();
        entries_.push_back(e);
    }
    if (!reader.readError().isEmpty())
        return OsError::because(readAction(), path_, reader.readError());
    size_t buckets = 16;
    while (buckets < 2 * entries_.size())
        buckets *= 2;
    buckets_.assign(buckets, -1);
    mask_ = buckets - 1;
    // Each bucket's chain in file order: built from the end.
    for (qint32 i = qint32(entries_.size()) - 1; i >= 0; --i) {
        qint32& head = buckets_[size_t(entries_[size_t(i)].hash & mask_)];
        entries_[size_t(i)].next = head;
        head = i;
    }
    for (const Entry& e : entries_) {
        if (!e.adds)
            continue;
        for (qint32 i = firstOf(e.hash); i >= 0; i = entries_[size_t(i)].next) {
            if (entries_[size_t(i)].hash == e.hash)
                entries_[size_t(i)].keyHasAdds = true;
        }
    }
    return {};
}

FieldsIndex::InStep FieldsIndex::takeInStep(quint64 h, const RecordView*& record) {
    quint64 next = 0;
    if (!feed_->peek(next)) {
        if (const QString e = feed_->error(); !e.isEmpty()) {
            error_ = OsError::because(readAction(), path_, e);
            return InStep::Parted;
        }
        return InStep::AllTaken;
    }
    if (next != h)
        return InStep::Parted;
    record = feed_->take();
    ++takenInStep_;
    return InStep::Taken;
}

qint32 FieldsIndex::firstOf(quint64 hash) const {
    return buckets_.empty() ? -1 : buckets_[size_t(hash & mask_)];
}

bool FieldsIndex::readRecord(const Entry& e, StoredFields& fields, bool primary) {
    // In order: from the reader that goes through the file once, its
    // fields pointing into its buffer until its next read.
    if (primary && reader_ && !readerAtEnd_ && record_.offset <= e.offset) {
        while (record_.offset < e.offset || record_.fields.isEmpty()) {
            if (!reader_->next(record_)) {
                readerAtEnd_ = true;
                break;
            }
        }
        if (!readerAtEnd_ && record_.offset == e.offset) {
            fields.clear();
            for (const AdifField& f : record_.fields)
                fields.append({QByteArray::fromRawData(f.name.data(), f.name.size()),
                               QByteArray::fromRawData(f.data.data(), f.data.size())});
            // Used up: the next record asked for in order is read anew.
            record_.fields.clear();
            ++record_.offset;
            return true;
        }
    }
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
    if (!reader.next(record))
        return false;
    // Names and values kept in one piece that lives until the next call.
    qsizetype size = 0;
    for (const AdifField& f : record.fields)
        size += f.name.size() + f.data.size();
    QByteArray& store = primary ? current_ : added_.emplace_back();
    store.resize(size);
    char* p = store.data();
    fields.clear();
    for (const AdifField& f : record.fields) {
        std::memcpy(p, f.name.data(), size_t(f.name.size()));
        const QByteArray name = QByteArray::fromRawData(p, f.name.size());
        p += f.name.size();
        if (!f.data.isEmpty())
            std::memcpy(p, f.data.data(), size_t(f.data.size()));
        const QByteArray value = QByteArray::fromRawData(p, f.data.size());
        p += f.data.size();
        fields.append({name, value});
    }
    return true;
}

const RecordView* FieldsIndex::take(QByteArrayView key) {
    const quint64 h = keyHash(key);
    if (inStep_) {
        const RecordView* record = nullptr;
        const InStep step = takeInStep(h, record);
        // Every record taken in step: the lines left have none.
        if (step != InStep::Parted)
            return record;
        // The line is not the next record's: its record, if any, is
        // elsewhere. From here on by the index, the records taken so far
        // (the first ones of the file) used up.
        inStep_ = false;
        feed_.reset();
        if (error_.ok())
            error_ = buildIndex();
        if (!error_.ok()) {
            entries_.clear();
            return nullptr;
        }
        for (size_t k = 0; k < takenInStep_ && k < entries_.size(); ++k)
            entries_[k].used = true;
        cursor_ = std::min(takenInStep_, entries_.size());
    }
    if (!takeByIndex(h))
        return nullptr;
    digest(fields_, view_);
    return &view_;
}

bool FieldsIndex::takeByIndex(quint64 h) {
    StoredFields& fields = fields_;
    added_.clear();
    fields.clear();
    if (entries_.empty())
        return false;
    // The key's first record left, in file order: the record next in file
    // order when it is the key's, unless records the cursor passed over
    // are still left (one of them may be the key's); else the key's chain.
    while (cursor_ < entries_.size() && (entries_[cursor_].used || entries_[cursor_].adds))
        ++cursor_;
    qint32 found = -1;
    if (passedOver_ == 0 && cursor_ < entries_.size() && entries_[cursor_].hash == h) {
        found = qint32(cursor_);
    } else {
        for (qint32 i = firstOf(h); i >= 0; i = entries_[size_t(i)].next) {
            const Entry& e = entries_[size_t(i)];
            if (e.hash == h && !e.used && !e.adds) {
                found = i;
                break;
            }
        }
    }
    bool own = false;
    bool keyHasAdds = false;
    if (found >= 0) {
        Entry& e = entries_[size_t(found)];
        e.used = true;
        keyHasAdds = e.keyHasAdds;
        if (size_t(found) < cursor_) {
            --passedOver_;
        } else {
            for (size_t k = cursor_; k < size_t(found); ++k)
                passedOver_ += !entries_[k].used && !entries_[k].adds;
            cursor_ = size_t(found) + 1;
        }
        own = readRecord(e, fields, true);
        if (!own)
            fields.clear();
    } else {
        // A contact typed in the window has no record of its own, but may
        // have one that adds to it (a duplicate imported later).
        for (qint32 i = firstOf(h); i >= 0 && !keyHasAdds; i = entries_[size_t(i)].next)
            keyHasAdds = entries_[size_t(i)].hash == h && entries_[size_t(i)].adds;
    }
    if (!keyHasAdds)
        return own;
    // What later records add to it: a field the record lacks, or has empty.
    const QByteArray which = discriminator(fields);
    const qint64 after = found >= 0 ? entries_[size_t(found)].offset : -1;
    bool added = false;
    for (qint32 i = firstOf(h); i >= 0; i = entries_[size_t(i)].next) {
        const Entry& a = entries_[size_t(i)];
        StoredFields more;
        if (a.hash != h || !a.adds || a.offset < after || !readRecord(a, more, false))
            continue;
        const QByteArray theirs = discriminator(more);
        if (!theirs.isEmpty() && !which.isEmpty() && theirs != which)
            continue;
        added = true;
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
