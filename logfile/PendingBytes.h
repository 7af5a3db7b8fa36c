// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "OsError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace tavrelo::logfile {

class BlockWriter;

// Bytes waiting to be appended to one file: in memory while they are few,
// in an unnamed temporary file beside the log beyond that, so that a batch
// of any size takes little memory. The hash of every chunk (see Journal.h)
// is taken as the bytes come, for the journal.
class PendingBytes {
public:
    PendingBytes();
    ~PendingBytes();
    PendingBytes(const PendingBytes&) = delete;
    PendingBytes& operator=(const PendingBytes&) = delete;

    // spillFolder: where the temporary file goes once the bytes are many.
    void setSpillFolder(const QString& folder) { spillFolder_ = folder; }
    // The size of the file the bytes will follow, given before the first
    // byte: the chunks lie as that file will have them.
    void alignTo(qint64 fileSize);
    // The hashes of the chunks, the last one ended where the bytes end, and
    // the first chunk of each page the bytes start, given up for the
    // journal, as a file of fileSize bytes will hold them: taken again from
    // the bytes when another program has appended since alignTo(). Once
    // taken, only clear() follows.
    std::vector<quint32> takeChunks(qint64 fileSize);
    std::vector<quint32> takePages() { return std::move(pages_); }

    OsError append(QByteArrayView bytes);
    // The bytes still in memory, for a caller that makes its bytes in
    // place at their end rather than copying them in; settle() follows,
    // with the size they had before.
    QByteArray& tail() { return memory_; }
    OsError settle(qsizetype before);
    void clear();
    qint64 size() const { return size_; }
    // Calls put() with the bytes in order, in pieces of at most 1 MiB;
    // returns the first error put() gives (an errno), or a read error.
    int forEachPiece(const std::function<int(const char*, qsizetype)>& put) const;

    // Has the temporary file written to the disk as it grows, on a thread
    // of its own, for bytes that are likely to become a file of their own
    // (see syncedFile()).
    void writeBehind() { writeBehind_ = true; }
    // Every byte in the temporary file, in the spill folder, written and
    // synced through the program's own calls: a file ready to be linked
    // into the folder. Returns its descriptor (still owned here), or -1
    // with an errno in err; EXDEV when the file is elsewhere.
    int syncedFile(int& err);

private:
    void hashChunks(const char* data, qsizetype size);
    OsError openSpill();
    // Writes whole blocks to the temporary file.
    OsError spill(const char* data, qsizetype size);
    // The whole blocks held in memory to the temporary file.
    OsError spillMemory();

    QString spillFolder_;
    QByteArray memory_; // the bytes not yet in the temporary file
    qint64 spilled_ = 0;
    int spillFd_ = -1;
    bool spillInFolder_ = false; // not in /tmp, for want of room in the folder
    bool writeBehind_ = false;
    std::unique_ptr<BlockWriter> writer_; // of the temporary file, when writing behind
    qint64 size_ = 0;
    qint64 at_ = 0;               // where the next byte goes in the file
    std::vector<quint32> chunks_; // of the whole chunks so far
    std::vector<quint32> pages_;
    QByteArray chunkStart_; // the bytes of the chunk under way
};

} // namespace tavrelo::logfile
