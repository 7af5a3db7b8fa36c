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

// The fields file beside a log: every field a contact came with that the
// eight boxes cannot hold, as ADIF records. Tavrelo.adi beside Tavrelo.txt.
QString fieldsPath(const QString& logPath);
// The journal of an append under way: Tavrelo.journal beside Tavrelo.txt.
QString journalPath(const QString& logPath);

// The hash of one block of an append, as the journal records it.
quint64 blockHash(const char* data, qsizetype size);
inline constexpr qsizetype JournalBlock = 4096;
inline constexpr qsizetype FineChunk = 64; // the finer hashes, for the end of a torn write

class BlockWriter;

// Bytes waiting to be appended to one file: in memory while they are few,
// in an unnamed temporary file beside the log beyond that, so that a batch
// of any size takes little memory. The hash of every block is taken as the
// bytes come.
class PendingBytes {
public:
    PendingBytes() = default;
    ~PendingBytes();
    PendingBytes(const PendingBytes&) = delete;
    PendingBytes& operator=(const PendingBytes&) = delete;

    // spillFolder: where the temporary file goes once the bytes are many.
    void setSpillFolder(const QString& folder) { spillFolder_ = folder; }
    // Keeps a 16-bit hash of every 64 bytes too.
    void keepFineHashes() { keepFine_ = true; }
    std::vector<quint16> fineHashes() const;
    OsError append(QByteArrayView bytes);
    // The bytes still in memory, for a caller that makes its bytes in
    // place at their end rather than copying them in; settle() follows,
    // with the size they had before.
    QByteArray& tail() { return memory_; }
    OsError settle(qsizetype before);
    void clear();
    qint64 size() const { return size_; }
    // The hashes of the whole blocks so far, and the bytes after them.
    std::vector<quint64> hashes() const;
    QByteArrayView partialBlock() const;
    // Calls put() with the bytes in order, in pieces of at most 1 MiB;
    // returns the first error put() gives (an errno), or a read error.
    int forEachPiece(const std::function<int(const char*, qsizetype)>& put) const;
    // Reads the bytes back, whole (for bytes that are known to be few).
    QByteArray readAll() const;

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
    void hashFine(const char* data, qsizetype size, std::vector<quint16>& out) const;
    void hashBlocks(const char* data, qsizetype size, std::vector<quint64>& hashes,
                    std::vector<quint16>* fine) const;
    OsError openSpill();
    // Hashes whole blocks and writes them to the temporary file.
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
    std::vector<quint64> hashes_;
    bool keepFine_ = false;
    std::vector<quint16> fine_;
};

// One append to the log and its fields file, all or nothing, even across a
// power cut: under the log's lock, a journal beside the log records both
// files' sizes and the hash of every block about to be appended, and is
// synced before either file is touched. The fields file is written and
// synced first, then the log; the journal goes once both are synced.
//
// A Tavrelo program that takes the log's lock and finds a journal puts the
// files back: an append that did not reach the log whole is cut off both
// files, but only where the bytes there are the journal's own; bytes that
// another program wrote are never removed.
class LogTransaction {
public:
    explicit LogTransaction(const QString& logPath);
    ~LogTransaction();
    LogTransaction(const LogTransaction&) = delete;
    LogTransaction& operator=(const LogTransaction&) = delete;

    // Creates the log when it is missing, opens it, takes its lock (waiting
    // up to three seconds for another Tavrelo program), puts right an
    // append that an earlier program left unfinished, and merges the
    // conflict copies a sync program set beside the log (see Merge.h).
    OsError begin();
    // What putting right an unfinished append did, to be said once; empty
    // when there was none.
    QString recoveryNote() const { return recoveryNote_; }
    // The log's size once the lock was held: everything before it has been
    // written by whoever held the lock before.
    qint64 logSizeAtBegin() const { return logSizeAtBegin_; }

    OsError appendLog(QByteArrayView bytes);
    OsError appendFields(QByteArrayView bytes);
    qint64 pendingLogBytes() const { return log_.size(); }
    qint64 pendingFieldsBytes() const { return fields_.size(); }
    PendingBytes& pendingFields() { return fields_; }

    // Appends what is pending and syncs it: the fields file first, then the
    // log; nothing is pending afterwards. On failure both files are as they
    // were at begin().
    OsError commit();
    // Lets the lock go without appending anything.
    void end();

private:
    OsError mergeCopies();
    void updateLineEnd();

    QString logPath_;
    int logFd_ = -1;
    qint64 logSizeAtBegin_ = 0;
    bool logNeedsLineEnd_ = false;
    PendingBytes log_;
    PendingBytes fields_;
    QString recoveryNote_;
};

// One contact with its record in the fields file, all or nothing; Saved
// only once both are on disk, NotSaved with both files as they were.
struct SaveResult;
SaveResult appendWithRecord(const QString& logPath, const QByteArray& line,
                            const QByteArray& record);

// Puts right an unfinished append, taking the log's lock for it; the note
// says what was done, and is empty when there was nothing to do. For the
// window's start and the export, which do not append.
OsError recoverUnfinishedAppend(const QString& logPath, QString& note);

// The same for a caller that holds the log's lock on logFd already.
OsError recoverLocked(const QString& logPath, int logFd, QString& note);

} // namespace tavrelo::logfile
