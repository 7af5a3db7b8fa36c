// SPDX-License-Identifier: GPL-3.0-or-later
#include "Transaction.h"

#include "BlockWriter.h"
#include "LogFile.h"
#include "Merge.h"
#include "OpenLog.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

constexpr quint64 HashFactor = 0x9E3779B97F4A7C15ull;

inline quint64 mix(quint64 h, quint64 w) {
    h = (h ^ w) * HashFactor;
    return h ^ (h >> 29);
}

// Eight bytes at a time, then the last few one by one.
quint64 hashTail(quint64 h, const char* data, qsizetype i, qsizetype size) {
    for (; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, data + i, 8);
        h = mix(h, w);
    }
    for (; i < size; ++i)
        h = mix(h, static_cast<unsigned char>(data[i]));
    return h ^ (h >> 32);
}

// The hash journals of version 1 were written with: one chain, eight
// bytes at a time.
quint64 blockHashV1(const char* data, qsizetype size) {
    return hashTail(quint64(size) * HashFactor ^ 0x6a09e667f3bcc908ull, data, 0, size);
}

} // namespace

// Four chains side by side over a block, 32 bytes at a time, then joined:
// the processor works on all four at once. Short pieces (the 64 bytes of
// a fine hash, a key) hash as in version 1.
quint64 blockHash(const char* data, qsizetype size) {
    if (size < 128)
        return blockHashV1(data, size);
    quint64 h = quint64(size) * HashFactor ^ 0x6a09e667f3bcc908ull;
    quint64 a = h, b = h ^ 0x243f6a8885a308d3ull, c = h ^ 0x13198a2e03707344ull,
            d = h ^ 0xa4093822299f31d0ull;
    qsizetype i = 0;
    for (; i + 32 <= size; i += 32) {
        quint64 w[4];
        std::memcpy(w, data + i, 32);
        a = mix(a, w[0]);
        b = mix(b, w[1]);
        c = mix(c, w[2]);
        d = mix(d, w[3]);
    }
    h = mix(mix(mix(a, b), c), d);
    return hashTail(h, data, i, size);
}

namespace {

constexpr qsizetype Piece = 1 << 20; // bytes written at a time
// Pending bytes held before spilling: few enough to stay in the processor's
// cache while more are made behind them.
constexpr qsizetype InMemory = 1 << 20;

const QString writeAction = QStringLiteral("write to the log");

int writeAll(int fd, const char* data, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const long n = sysWrite(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

qint64 readAt(int fd, char* data, qint64 size, qint64 offset) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -1 : done;
        done += n;
    }
    return done;
}

int truncateTo(int fd, qint64 size) {
    int rc;
    do {
        rc = ::ftruncate(fd, off_t(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return errno;
    return sysFdatasync(fd) == 0 ? 0 : errno;
}

QString sibling(const QString& logPath, const QString& suffix) {
    const QFileInfo info(logPath);
    QString base = info.fileName();
    if (base.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        base.chop(4);
    return info.path() + QLatin1Char('/') + base + suffix;
}

// What a journal says of one file.
struct JournalPart {
    unsigned long long device = 0, inode = 0;
    qint64 before = 0; // the file's size before the append
    qint64 size = 0;   // the bytes appended
    std::vector<quint64> hashes;
    std::vector<quint16> fine; // of every 64 bytes, when kept
    // The hash it was written with: a journal of version 1 has its own.
    quint64 (*hash)(const char*, qsizetype) = blockHash;
};

QByteArray hex(quint64 v) {
    return QByteArray::number(v, 16).rightJustified(16, '0');
}

void writePart(QByteArray& out, const char* name, const JournalPart& p) {
    out += QByteArray(name) + ' ' + QByteArray::number(p.device) + ' ' +
           QByteArray::number(p.inode) + ' ' + QByteArray::number(p.before) + ' ' +
           QByteArray::number(p.size) + '\n';
    // Sixteen hex digits a hash, written through a pointer: a journal of a
    // large import holds hundreds of thousands.
    static constexpr char digits[] = "0123456789abcdef";
    qsizetype at = out.size();
    out.resize(at + qsizetype(p.hashes.size()) * 16);
    char* w = out.data() + at;
    for (const quint64 h : p.hashes) {
        for (int i = 15; i >= 0; --i)
            *w++ = digits[(h >> (4 * i)) & 0xf];
    }
    out += '\n';
    if (p.fine.empty()) {
        out += "-\n";
        return;
    }
    QByteArray fine(qsizetype(p.fine.size() * 2), Qt::Uninitialized);
    char* f = fine.data();
    for (const quint16 v : p.fine) {
        *f++ = char(v & 0xff);
        *f++ = char(v >> 8);
    }
    out += fine.toBase64() + '\n';
}

constexpr char JournalMagic[] = "Tavrelo journal 2\n";
// What an earlier version of Tavrelo left: the same, hashed by blockHashV1().
constexpr char JournalMagicV1[] = "Tavrelo journal 1\n";

QByteArray journalText(const JournalPart& log, const JournalPart& fields) {
    QByteArray out = JournalMagic;
    out.reserve(qsizetype(256 + (log.hashes.size() + fields.hashes.size()) * 16 +
                          (log.fine.size() + fields.fine.size()) * 3));
    writePart(out, "log", log);
    writePart(out, "fields", fields);
    out += "check " + hex(blockHash(out.constData(), out.size())) + '\n';
    return out;
}

bool readPart(const QList<QByteArray>& lines, int at, const char* name, JournalPart& p) {
    if (at + 2 >= lines.size())
        return false;
    const QList<QByteArray> words = lines[at].split(' ');
    if (words.size() != 5 || words[0] != name)
        return false;
    bool ok[4];
    p.device = words[1].toULongLong(&ok[0]);
    p.inode = words[2].toULongLong(&ok[1]);
    p.before = words[3].toLongLong(&ok[2]);
    p.size = words[4].toLongLong(&ok[3]);
    if (!(ok[0] && ok[1] && ok[2] && ok[3]) || p.before < 0 || p.size < 0)
        return false;
    const QByteArray& hashes = lines[at + 1];
    const qint64 blocks = (p.size + JournalBlock - 1) / JournalBlock;
    if (hashes.size() != blocks * 16)
        return false;
    p.hashes.resize(size_t(blocks));
    for (qint64 i = 0; i < blocks; ++i) {
        bool good = false;
        p.hashes[size_t(i)] = hashes.mid(i * 16, 16).toULongLong(&good, 16);
        if (!good)
            return false;
    }
    if (lines[at + 2] != "-") {
        const QByteArray fine = QByteArray::fromBase64(lines[at + 2]);
        const qint64 chunks = (p.size + FineChunk - 1) / FineChunk;
        if (fine.size() != chunks * 2)
            return false;
        p.fine.resize(size_t(chunks));
        for (qint64 i = 0; i < chunks; ++i)
            p.fine[size_t(i)] = quint16(quint8(fine[2 * i]) | quint8(fine[2 * i + 1]) << 8);
    }
    return true;
}

// A journal that is whole: one that was cut short by a power cut before
// its sync was never acted on, since nothing is appended before it is synced.
bool parseJournal(const QByteArray& text, JournalPart& log, JournalPart& fields) {
    const qsizetype check = text.lastIndexOf("check ");
    const bool version1 = text.startsWith(JournalMagicV1);
    if (!(version1 || text.startsWith(JournalMagic)) || check < 0 || !text.endsWith('\n'))
        return false;
    const auto hash = version1 ? blockHashV1 : blockHash;
    if (text.mid(check + 6, 16) != hex(hash(text.constData(), check)))
        return false;
    log.hash = fields.hash = hash;
    const QList<QByteArray> lines = text.left(check).split('\n');
    return readPart(lines, 1, "log", log) && readPart(lines, 4, "fields", fields);
}

enum class Found {
    Nothing,  // no byte of the append is there
    Partial,  // the start of the append, and nothing else
    Complete, // the whole append
    Foreign,  // bytes that are not the append's
};

// What the file holds after the size the journal recorded.
Found inspect(int fd, const JournalPart& p) {
    if (p.size == 0)
        return Found::Complete; // nothing to append there
    // The bytes decide, not the file's device and inode: those change when
    // a disk or a network file system comes back under another number.
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Found::Foreign;
    if (st.st_size <= p.before)
        return st.st_size == p.before ? Found::Nothing : Found::Foreign;
    const qint64 there = std::min<qint64>(st.st_size - p.before, p.size);
    QByteArray block(JournalBlock, Qt::Uninitialized);
    for (qint64 i = 0; i * JournalBlock < there; ++i) {
        const qint64 length = std::min<qint64>(JournalBlock, p.size - i * JournalBlock);
        const qint64 have = std::min<qint64>(length, there - i * JournalBlock);
        if (have < length) {
            // The end of a write cut short: what there is of the block must
            // be the start of ours, 64 bytes at a time where the journal
            // knows them. Only a last piece shorter than that is taken on
            // trust.
            if (readAt(fd, block.data(), have, p.before + i * JournalBlock) != have)
                return Found::Foreign;
            for (qint64 c = 0; !p.fine.empty() && (c + 1) * FineChunk <= have; ++c) {
                if (quint16(p.hash(block.constData() + c * FineChunk, FineChunk)) !=
                    p.fine[size_t(i * (JournalBlock / FineChunk) + c)])
                    return Found::Foreign;
            }
            break;
        }
        if (readAt(fd, block.data(), length, p.before + i * JournalBlock) != length ||
            p.hash(block.constData(), length) != p.hashes[size_t(i)])
            return Found::Foreign;
    }
    return there == p.size ? Found::Complete : Found::Partial;
}

QString describe(qint64 bytes) {
    return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
}

// The process's umask, read without changing it (umask() would, for every
// thread at once).
mode_t currentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:"))
                return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return 022;
}

// Writes the pending bytes to fd, whose end is at offset at, and has the
// disk start on each piece at once: the sync after finds most of it done.
// (Written straight to the disk instead, block by block, the append took
// longer: nothing else goes on while it is made, and the disk's every
// wait shows.)
int copyTo(const PendingBytes& pending, int fd, qint64 at) {
    return pending.forEachPiece([&](const char* data, qsizetype n) {
        const int err = writeAll(fd, data, n);
        if (err == 0) {
            startWriting(fd, at, n);
            at += n;
        }
        return err;
    });
}

// Makes the pending bytes of a file that does not exist yet that file: the
// temporary file they wait in, synced, gets the file's name, and the folder
// entry is synced. linked stays false, with no error, where that cannot be
// done (the temporary file is elsewhere, or /proc is missing): the caller
// then writes the file itself. fd receives a descriptor of the new file.
OsError linkNewFile(PendingBytes& pending, const QString& path, int& fd, bool& linked) {
    const QString action = QStringLiteral("write to the fields file");
    linked = false;
    int err = 0;
    const int temporary = pending.syncedFile(err);
    if (temporary < 0)
        return err == EXDEV ? OsError() : OsError::fromErrno(action, path, err);
    ::fchmod(temporary, 0644 & ~currentUmask());
    const QByteArray from = "/proc/self/fd/" + QByteArray::number(temporary);
    if (::linkat(AT_FDCWD, from.constData(), AT_FDCWD, QFile::encodeName(path).constData(),
                 AT_SYMLINK_FOLLOW) != 0) {
        // Made by another program since the lock was taken: the journal
        // expects the bytes at the start of the file.
        return errno == EEXIST ? OsError::fromErrno(action, path, EEXIST) : OsError();
    }
    fd = ::fcntl(temporary, F_DUPFD_CLOEXEC, 0);
    linked = true;
    if (const int e = syncDirectoryOf(path))
        return OsError::fromErrno(QStringLiteral("confirm on the disk the contacts written to"),
                                  path, e);
    return {};
}

} // namespace

QString fieldsPath(const QString& logPath) {
    return sibling(logPath, QStringLiteral(".adi"));
}

QString journalPath(const QString& logPath) {
    return sibling(logPath, QStringLiteral(".journal"));
}

void PendingBytes::clear() {
    writer_.reset();
    if (spillFd_ >= 0)
        ::close(spillFd_);
    spillFd_ = -1;
    memory_.clear();
    spilled_ = 0;
    size_ = 0;
    hashes_.clear();
    fine_.clear();
}

PendingBytes::~PendingBytes() {
    writer_.reset();
    if (spillFd_ >= 0)
        ::close(spillFd_);
}

void PendingBytes::hashFine(const char* data, qsizetype size, std::vector<quint16>& out) const {
    for (qsizetype c = 0; c < size; c += FineChunk)
        out.push_back(quint16(blockHash(data + c, std::min<qsizetype>(FineChunk, size - c))));
}

void PendingBytes::hashBlocks(const char* data, qsizetype size, std::vector<quint64>& hashes,
                              std::vector<quint16>* fine) const {
    for (qsizetype at = 0; at + JournalBlock <= size; at += JournalBlock) {
        hashes.push_back(blockHash(data + at, JournalBlock));
        if (fine)
            hashFine(data + at, JournalBlock, *fine);
    }
}

// The bytes held in memory always start at a block's start: only whole
// blocks go to the temporary file, hashed on their way.
std::vector<quint64> PendingBytes::hashes() const {
    std::vector<quint64> all = hashes_;
    hashBlocks(memory_.constData(), memory_.size(), all, nullptr);
    return all;
}

QByteArrayView PendingBytes::partialBlock() const {
    const qsizetype rest = memory_.size() % JournalBlock;
    return QByteArrayView(memory_).last(rest);
}

std::vector<quint16> PendingBytes::fineHashes() const {
    if (!keepFine_)
        return {};
    std::vector<quint16> all = fine_;
    hashFine(memory_.constData(), memory_.size(), all);
    return all;
}

OsError PendingBytes::openSpill() {
    if (spillFd_ >= 0)
        return {};
    const QString folder = spillFolder_.isEmpty() ? QStringLiteral("/tmp") : spillFolder_;
    spillFd_ = openRetrying(QFile::encodeName(folder), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    spillInFolder_ = spillFd_ >= 0 && !spillFolder_.isEmpty();
    if (spillFd_ < 0)
        spillFd_ = openRetrying("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (spillFd_ < 0)
        return OsError::fromErrno(QStringLiteral("make room for the contacts to append in"), folder,
                                  errno);
    return {};
}

OsError PendingBytes::spill(const char* data, qsizetype size) {
    hashBlocks(data, size, hashes_, keepFine_ ? &fine_ : nullptr);
    if (writeBehind_) {
        if (!writer_)
            writer_ = std::make_unique<BlockWriter>(spillFd_, spilled_);
        if (const int err = writer_->write(data, size))
            return OsError::fromErrno(QStringLiteral("make room for the contacts to append in"),
                                      spillFolder_, err);
        spilled_ += size;
        return {};
    }
    // The spill file is scratch space: its writes go straight to the system.
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(spillFd_, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return OsError::fromErrno(QStringLiteral("make room for the contacts to append in"),
                                      spillFolder_, n < 0 ? errno : ENOSPC);
        done += n;
    }
    spilled_ += size;
    return {};
}

OsError PendingBytes::spillMemory() {
    if (const OsError e = openSpill(); !e.ok())
        return e;
    const qsizetype whole = memory_.size() - memory_.size() % JournalBlock;
    if (const OsError e = spill(memory_.constData(), whole); !e.ok())
        return e;
    // Moved by hand: remove() would leave the room at the front, and the
    // next append would reallocate.
    std::memmove(memory_.data(), memory_.constData() + whole, size_t(memory_.size() - whole));
    memory_.truncate(memory_.size() - whole);
    return {};
}

OsError PendingBytes::append(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return {};
    size_ += bytes.size();
    if (memory_.size() + bytes.size() < InMemory) {
        memory_.append(bytes.data(), bytes.size());
        return {};
    }
    // The bytes in memory, made up to a whole block, go first; then the
    // whole blocks of the new bytes straight from where they are.
    const qsizetype fill = std::min<qsizetype>(
        (JournalBlock - memory_.size() % JournalBlock) % JournalBlock, bytes.size());
    memory_.append(bytes.data(), fill);
    bytes = bytes.sliced(fill);
    if (const OsError e = spillMemory(); !e.ok())
        return e;
    const qsizetype direct = bytes.size() - bytes.size() % JournalBlock;
    if (const OsError e = spill(bytes.data(), direct); !e.ok())
        return e;
    memory_.append(bytes.data() + direct, bytes.size() - direct);
    return {};
}

OsError PendingBytes::settle(qsizetype before) {
    size_ += memory_.size() - before;
    return memory_.size() < InMemory ? OsError() : spillMemory();
}

int PendingBytes::syncedFile(int& err) {
    err = 0;
    if (const OsError e = openSpill(); !e.ok()) {
        err = e.error;
        return -1;
    }
    if (!spillInFolder_) {
        err = EXDEV;
        return -1;
    }
    if (writer_ && (err = writer_->finish()) != 0)
        return -1;
    // The writing thread wrote at offsets, not at the file's position.
    if (::lseek(spillFd_, off_t(spilled_), SEEK_SET) < 0) {
        err = errno;
        return -1;
    }
    // The last bytes were never spilled: they go with the program's own
    // write, as they would to the file itself.
    if (const int e = writeAll(spillFd_, memory_.constData(), memory_.size())) {
        err = e;
        return -1;
    }
    spilled_ += memory_.size(); // hashes() and partialBlock() have had their say
    memory_.clear();
    if (sysFdatasync(spillFd_) != 0) {
        err = errno;
        return -1;
    }
    return spillFd_;
}

int PendingBytes::forEachPiece(const std::function<int(const char*, qsizetype)>& put) const {
    if (writer_) {
        if (const int err = writer_->finish())
            return err;
    }
    if (spilled_ > 0) {
        QByteArray piece(Piece, Qt::Uninitialized);
        for (qint64 at = 0; at < spilled_; at += Piece) {
            const qint64 n = std::min<qint64>(Piece, spilled_ - at);
            if (readAt(spillFd_, piece.data(), n, at) != n)
                return errno ? errno : EIO;
            if (const int err = put(piece.constData(), n))
                return err;
        }
    }
    for (qsizetype at = 0; at < memory_.size(); at += Piece) {
        if (const int err =
                put(memory_.constData() + at, std::min<qsizetype>(Piece, memory_.size() - at)))
            return err;
    }
    return 0;
}

QByteArray PendingBytes::readAll() const {
    QByteArray all;
    all.reserve(qsizetype(size_));
    forEachPiece([&](const char* data, qsizetype n) {
        all.append(data, n);
        return 0;
    });
    return all;
}

LogTransaction::LogTransaction(const QString& logPath) : logPath_(logPath) {
    const QString folder = QFileInfo(logPath).absolutePath();
    log_.setSpillFolder(folder);
    log_.keepFineHashes(); // other programs append lines to the log, not to the fields file
    fields_.setSpillFolder(folder);
}

LogTransaction::~LogTransaction() {
    end();
}

void LogTransaction::end() {
    if (logFd_ >= 0)
        ::close(logFd_); // lets the lock go
    logFd_ = -1;
}

OsError LogTransaction::begin() {
    ignoreFileSizeSignal();
    if (const OsError created = createLog(logPath_); !created.ok())
        return created;
    OsError error;
    logFd_ = openLog(logPath_, O_RDWR | O_APPEND, writeAction, error);
    if (logFd_ < 0)
        return error;
    if (const int err = lockExclusive(logFd_)) {
        end();
        return err == EWOULDBLOCK
                   ? OsError::because(writeAction, logPath_,
                                      QStringLiteral("Another program has held it locked for "
                                                     "three seconds"))
                   : OsError::fromErrno(writeAction, logPath_, err);
    }
    if (const OsError recovered = recoverLocked(logPath_, logFd_, recoveryNote_); !recovered.ok()) {
        end();
        return recovered;
    }
    if (const OsError merged = mergeCopies(); !merged.ok()) {
        end();
        return merged;
    }
    struct stat st;
    if (::fstat(logFd_, &st) != 0) {
        const int err = errno;
        end();
        return OsError::fromErrno(writeAction, logPath_, err);
    }
    logSizeAtBegin_ = st.st_size;
    updateLineEnd();
    // Records for a fields file that is still to be made are that file's
    // bytes already: the disk may write them while more come.
    if (::access(QFile::encodeName(fieldsPath(logPath_)).constData(), F_OK) != 0 && errno == ENOENT)
        fields_.writeBehind();
    return {};
}

OsError LogTransaction::mergeCopies() {
    // What a sync program set aside while two computers were apart comes
    // back in first, in an append of its own, before anything else is
    // appended or read.
    const ConflictCopies copies = findConflictCopies(logPath_);
    if (copies.isEmpty())
        return {};
    updateLineEnd();
    MergeSummary summary;
    Merger merger(*this, logPath_);
    QStringList merged;
    for (const QString& copy : copies.logs) {
        if (merger.mergeLog(copy, summary))
            merged << copy;
    }
    for (const QString& copy : copies.fields) {
        if (merger.mergeFields(copy, summary))
            merged << copy;
    }
    if (const OsError e = commit(); !e.ok())
        return e;
    // Their lines are all in the log now.
    for (const QString& copy : std::as_const(merged))
        ::unlink(QFile::encodeName(copy).constData());
    QString note;
    if (!merged.isEmpty())
        note = QStringLiteral("Merged what the sync set aside (%1) into the log: %2.")
                   .arg(merged.join(QStringLiteral(", ")), describe(summary));
    if (!summary.refused.isEmpty())
        note +=
            (note.isEmpty() ? QString() : QStringLiteral(" ")) +
            QStringLiteral("Left as they are: %1.").arg(summary.refused.join(QStringLiteral("; ")));
    recoveryNote_ += (recoveryNote_.isEmpty() ? QString() : QStringLiteral(" ")) + note;
    return {};
}

void LogTransaction::updateLineEnd() {
    struct stat st;
    logNeedsLineEnd_ = false;
    if (::fstat(logFd_, &st) == 0 && st.st_size > 0) {
        char last = 0;
        if (readAt(logFd_, &last, 1, st.st_size - 1) == 1 && last != '\n' && last != '\r')
            logNeedsLineEnd_ = true; // a hand edit left the last line without an end
    }
}

OsError LogTransaction::appendLog(QByteArrayView bytes) {
    if (logNeedsLineEnd_ && log_.size() == 0 && !bytes.isEmpty()) {
        if (const OsError e = log_.append("\r\n"); !e.ok())
            return e;
    }
    return log_.append(bytes);
}

OsError LogTransaction::appendFields(QByteArrayView bytes) {
    return fields_.append(bytes);
}

OsError LogTransaction::commit() {
    if (logFd_ < 0)
        return OsError::because(writeAction, logPath_, QStringLiteral("The log is not open"));
    if (log_.size() == 0 && fields_.size() == 0)
        return {};
    const QString fieldsFile = fieldsPath(logPath_);
    const QString journal = journalPath(logPath_);
    const QString fieldsAction = QStringLiteral("write to the fields file");

    // The fields file, opened only when there are fields. A new one is
    // made whole and synced beside it, and linked into the folder.
    int fieldsFd = -1;
    bool fieldsCreated = false;
    bool fieldsNew = false;
    OsError error;
    if (fields_.size() > 0) {
        fieldsFd = openLog(fieldsFile, O_RDWR | O_APPEND, fieldsAction, error);
        if (fieldsFd < 0 && error.error != ENOENT)
            return error;
        fieldsNew = fieldsFd < 0;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd >= 0)
                ::close(fd);
        }
    } closeFields{fieldsFd};

    JournalPart logPart, fieldsPart;
    struct stat st;
    if (::fstat(logFd_, &st) != 0)
        return OsError::fromErrno(writeAction, logPath_, errno);
    logPart = {st.st_dev, st.st_ino, st.st_size, log_.size(), log_.hashes(), log_.fineHashes()};
    // The last, partial block.
    auto lastHash = [](const PendingBytes& p, std::vector<quint64>& hashes) {
        const QByteArrayView tail = p.partialBlock();
        if (!tail.isEmpty())
            hashes.push_back(blockHash(tail.data(), tail.size()));
    };
    lastHash(log_, logPart.hashes);
    if (fieldsFd >= 0) {
        if (::fstat(fieldsFd, &st) != 0)
            return OsError::fromErrno(fieldsAction, fieldsFile, errno);
        fieldsPart = {st.st_dev, st.st_ino, st.st_size, fields_.size(), fields_.hashes(), {}};
        lastHash(fields_, fieldsPart.hashes);
    } else if (fieldsNew) {
        fieldsPart = {0, 0, 0, fields_.size(), fields_.hashes(), {}};
        lastHash(fields_, fieldsPart.hashes);
    }

    // The journal first, synced with its folder entry.
    {
        const QString action = QStringLiteral("write the journal of the append beside the log");
        const int fd = openRetrying(QFile::encodeName(journal),
                                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return OsError::fromErrno(action, journal, errno);
        const QByteArray text = journalText(logPart, fieldsPart);
        int err = writeAll(fd, text.constData(), text.size());
        if (err == 0 && sysFsync(fd) != 0)
            err = errno;
        ::close(fd);
        if (err == 0)
            err = syncDirectoryOf(journal);
        if (err != 0) {
            ::unlink(QFile::encodeName(journal).constData());
            return OsError::fromErrno(action, journal, err);
        }
    }

    // Puts both files back as they were and removes the journal; the error
    // says so when even that fails.
    auto undo = [&](OsError failure) {
        int err = truncateTo(logFd_, logPart.before);
        if (fieldsFd >= 0) {
            const int e = truncateTo(fieldsFd, fieldsPart.before);
            err = err ? err : e;
        }
        if (err == 0)
            ::unlink(QFile::encodeName(journal).constData());
        else
            failure.description +=
                QStringLiteral(". What was written could not be taken out again (error %1: %2); "
                               "the next Tavrelo program to open the log will do it")
                    .arg(err)
                    .arg(errorText(err));
        return failure;
    };
    const QString confirm = QStringLiteral("confirm on the disk the contacts written to");
    bool fieldsLinked = false;
    if (fieldsNew) {
        if (const OsError e = linkNewFile(fields_, fieldsFile, fieldsFd, fieldsLinked); !e.ok())
            return undo(e);
        if (fieldsLinked) {
            closeFields.fd = fieldsFd;
        } else {
            // The bytes could not be made a file beside it: the file is
            // made here, and they are copied in.
            fieldsFd = openLog(fieldsFile, O_RDWR | O_APPEND, fieldsAction, error, &fieldsCreated);
            if (fieldsFd < 0)
                return undo(error);
            if (::fstat(fieldsFd, &st) != 0 || st.st_size != 0) {
                // Another program's file since the lock was taken: its
                // bytes are left alone.
                ::close(fieldsFd);
                fieldsFd = -1;
                return undo(OsError::fromErrno(fieldsAction, fieldsFile, EEXIST));
            }
            closeFields.fd = fieldsFd;
        }
    }
    if (fieldsFd >= 0 && !fieldsLinked) {
        if (const int err = copyTo(fields_, fieldsFd, fieldsPart.before))
            return undo(OsError::fromErrno(fieldsAction, fieldsFile, err));
        if (sysFdatasync(fieldsFd) != 0)
            return undo(OsError::fromErrno(confirm, fieldsFile, errno));
        if (fieldsCreated) {
            if (const int err = syncDirectoryOf(fieldsFile))
                return undo(OsError::fromErrno(confirm, fieldsFile, err));
        }
    }
    if (const int err = copyTo(log_, logFd_, logPart.before))
        return undo(OsError::fromErrno(writeAction, logPath_, err));
    if (sysFdatasync(logFd_) != 0)
        return undo(OsError::fromErrno(confirm, logPath_, errno));
    // Both files are whole and on disk: the journal has done its work. Its
    // removal need not be durable; found again, it finds both appends whole.
    ::unlink(QFile::encodeName(journal).constData());
    // Nothing is pending any more: a later commit appends only what comes
    // after.
    log_.clear();
    fields_.clear();
    return {};
}

OsError recoverLocked(const QString& logPath, int logFd, QString& note) {
    const QString journal = journalPath(logPath);
    const QByteArray name = QFile::encodeName(journal);
    const int fd = openRetrying(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return {}; // no journal: the last append finished
    struct stat st;
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (qint64(1) << 30)) {
        text.resize(qsizetype(st.st_size));
        if (readAt(fd, text.data(), st.st_size, 0) != st.st_size)
            text.clear();
    }
    ::close(fd);

    JournalPart log, fields;
    if (!parseJournal(text, log, fields)) {
        // Cut short before its sync: nothing was appended after it.
        ::unlink(name.constData());
        return {};
    }
    const Found inLog = inspect(logFd, log);
    Found inFields = Found::Nothing;
    int fieldsFd = -1;
    const QString fieldsFile = fieldsPath(logPath);
    if (fields.size > 0) {
        fieldsFd = openRetrying(QFile::encodeName(fieldsFile),
                                O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        inFields = fieldsFd >= 0 ? inspect(fieldsFd, fields) : Found::Foreign;
    }
    int err = 0;
    QStringList done, left;
    // An append of records alone (fields that a duplicate added) is whole
    // when its records are.
    const bool whole = inLog == Found::Complete &&
                       (log.size > 0 || fields.size == 0 || inFields == Found::Complete);
    if (!whole) {
        // The append did not reach the files whole: take out what it left.
        if (inLog == Found::Partial) {
            struct stat now;
            const qint64 cut = ::fstat(logFd, &now) == 0 ? now.st_size - log.before : 0;
            err = truncateTo(logFd, log.before);
            done << QStringLiteral("the %1 it had written were taken out of the log")
                        .arg(describe(cut));
        } else if (inLog == Found::Foreign) {
            left << QStringLiteral("the log has changed since, so it was left as it is");
        }
        if (inFields == Found::Partial || inFields == Found::Complete) {
            const int e = truncateTo(fieldsFd, fields.before);
            err = err ? err : e;
            done << QStringLiteral("its fields were taken out of %1").arg(fieldsFile);
        }
    }
    if (fieldsFd >= 0)
        ::close(fieldsFd);
    if (err != 0)
        return OsError::fromErrno(QStringLiteral("take an unfinished append back out of the log"),
                                  logPath, err);
    ::unlink(name.constData());
    if (!done.isEmpty() || !left.isEmpty())
        note = QStringLiteral("An append to the log was stopped before it finished (a power cut "
                              "or a crash): ") +
               (done + left).join(QStringLiteral("; ")) + QLatin1Char('.');
    return {};
}

SaveResult appendWithRecord(const QString& logPath, const QByteArray& line,
                            const QByteArray& record) {
    SaveResult result;
    LogTransaction t(logPath);
    OsError error = t.begin();
    result.recoveryNote = t.recoveryNote();
    if (error.ok())
        error = t.appendLog(line);
    if (error.ok())
        error = t.appendFields(record);
    if (error.ok())
        error = t.commit();
    if (!error.ok()) {
        result.state = SaveState::NotSaved;
        result.error = error;
    }
    return result;
}

OsError recoverUnfinishedAppend(const QString& logPath, QString& note) {
    if (::access(QFile::encodeName(journalPath(logPath)).constData(), F_OK) != 0)
        return {};
    OsError error;
    const int fd = openLog(logPath, O_RDWR, writeAction, error);
    if (fd < 0)
        return error;
    OsError result;
    if (const int err = lockExclusive(fd))
        result = OsError::fromErrno(writeAction, logPath, err);
    else
        result = recoverLocked(logPath, fd, note);
    ::close(fd);
    return result;
}

} // namespace tavrelo::logfile
