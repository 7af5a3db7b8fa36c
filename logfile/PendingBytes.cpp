// SPDX-License-Identifier: GPL-3.0-or-later
#include "PendingBytes.h"

#include "BlockWriter.h"
#include "Journal.h"
#include "OpenLog.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

constexpr qsizetype Piece = 1 << 20; // bytes read back at a time
// Pending bytes held before spilling: few enough to stay in the processor's
// cache while more are made behind them.
constexpr qsizetype InMemory = 1 << 20;
// The temporary file takes whole blocks, so that the bytes in memory always
// start on one.
constexpr qsizetype Block = 4096;

} // namespace

void PendingBytes::alignTo(qint64 fileSize) {
    at_ = fileSize;
}

// A chunk ends at a line end, and at every page's end in the file. Where a
// page starts, the chunk that starts there is noted.
void PendingBytes::hashChunks(const char* data, qsizetype size) {
    while (size > 0) {
        if (chunkStart_.isEmpty() && at_ % Page == 0)
            pages_.push_back(quint32(chunks_.size()));
        const qsizetype room = qsizetype(Page - at_ % Page);
        const qsizetype limit = std::min(room, size);
        const char* lineEnd = static_cast<const char*>(std::memchr(data, '\n', size_t(limit)));
        const qsizetype take = lineEnd ? lineEnd - data + 1 : limit;
        const bool ends = lineEnd || take == room;
        if (chunkStart_.isEmpty() && ends) {
            chunks_.push_back(chunkHash(data, take));
        } else {
            chunkStart_.append(data, take);
            if (ends) {
                chunks_.push_back(chunkHash(chunkStart_.constData(), chunkStart_.size()));
                chunkStart_.clear();
            }
        }
        data += take;
        size -= take;
        at_ += take;
    }
}

std::vector<quint32> PendingBytes::takeChunks(qint64 fileSize) {
    if (at_ - size_ != fileSize) {
        // The file grew under another program's hand since the bytes came:
        // their chunks lie elsewhere in it now.
        chunks_.clear();
        pages_.clear();
        chunkStart_.clear();
        at_ = fileSize;
        forEachPiece([this](const char* data, qsizetype n) {
            hashChunks(data, n);
            return 0;
        });
    }
    if (!chunkStart_.isEmpty())
        chunks_.push_back(chunkHash(chunkStart_.constData(), chunkStart_.size()));
    chunkStart_.clear();
    return std::move(chunks_);
}

PendingBytes::PendingBytes() = default;

void PendingBytes::clear() {
    writer_.reset();
    if (spillFd_ >= 0)
        ::close(spillFd_);
    spillFd_ = -1;
    memory_.clear();
    spilled_ = 0;
    size_ = 0;
    at_ = 0;
    chunks_.clear();
    pages_.clear();
    chunkStart_.clear();
}

PendingBytes::~PendingBytes() {
    writer_.reset();
    if (spillFd_ >= 0)
        ::close(spillFd_);
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
    const qsizetype whole = memory_.size() - memory_.size() % Block;
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
    hashChunks(bytes.data(), bytes.size());
    if (memory_.size() + bytes.size() < InMemory) {
        memory_.append(bytes.data(), bytes.size());
        return {};
    }
    // The bytes in memory, made up to a whole block, go first; then the
    // whole blocks of the new bytes straight from where they are.
    const qsizetype fill =
        std::min<qsizetype>((Block - memory_.size() % Block) % Block, bytes.size());
    memory_.append(bytes.data(), fill);
    bytes = bytes.sliced(fill);
    if (const OsError e = spillMemory(); !e.ok())
        return e;
    const qsizetype direct = bytes.size() - bytes.size() % Block;
    if (const OsError e = spill(bytes.data(), direct); !e.ok())
        return e;
    memory_.append(bytes.data() + direct, bytes.size() - direct);
    return {};
}

OsError PendingBytes::settle(qsizetype before) {
    size_ += memory_.size() - before;
    hashChunks(memory_.constData() + before, memory_.size() - before);
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
    spilled_ += memory_.size();
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

} // namespace tavrelo::logfile
