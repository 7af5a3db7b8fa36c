// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tavrelo::logfile {

// Writes whole blocks at the end of a file, from offset at on, on a thread
// of its own, straight to the disk (O_DIRECT) where the file system allows:
// the bytes take no room in the system's cache, whose new pages cost more
// than the copying itself, and are on the disk by the time they are
// synced. A buffer is filled while the ones before it are written, and is
// written once full. Where the system refuses a write straight to the
// disk, it and every later one go through the cache.
class BlockWriter {
public:
    static constexpr qsizetype Block = 4096;
    // bufferSize: the bytes of each of the four buffers, a multiple of Block.
    BlockWriter(int fd, qint64 at, qsizetype bufferSize = qsizetype(8) << 20);
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Queues bytes, in whole blocks but for the very last; returns the
    // errno of a write that failed, or 0.
    int write(const char* data, qsizetype size);
    // Writes what is queued, waits for it, ends the thread and leaves the
    // descriptor as it was (without O_DIRECT); returns the errno of a write
    // that failed, or 0.
    int finish();

private:
    struct Job {
        char* buffer;
        qsizetype size;
    };
    static constexpr int Buffers = 4;
    // Synced as it goes, while the bytes after it are still being made: the
    // sync that makes the file whole then has little left to wait for.
    static constexpr qsizetype SyncEvery = qsizetype(64) << 20;

    void run();
    int writeAt(const Job& job);
    // Hands the buffer being filled to the thread; with the lock held.
    void queueFilled();

    const int fd_;
    const qsizetype bufferSize_;
    int flags_ = -1;          // the descriptor's own
    qint64 at_;               // the writing thread's
    qint64 unsynced_ = 0;     // the writing thread's
    bool direct_ = false;     // the writing thread's once started
    char* filling_ = nullptr; // the caller's: the buffer being filled
    qsizetype filled_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;     // guarded by mutex_
    char* free_[Buffers] = {}; // guarded by mutex_
    int freeCount_ = Buffers;  // guarded by mutex_
    int error_ = 0;            // guarded by mutex_
    bool stop_ = false;        // guarded by mutex_
    std::thread thread_;
};

// A new file written from its start to its end: its whole blocks through a
// BlockWriter, the bytes after the last one through the cache at finish().
class SequentialWriter {
public:
    // bufferSize as for BlockWriter.
    explicit SequentialWriter(int fd, qsizetype bufferSize = qsizetype(2) << 20);
    // Returns an errno, or 0.
    int write(const char* data, qsizetype size);
    // Every byte written; returns an errno, or 0. The file is not synced.
    int finish();

private:
    const int fd_;
    BlockWriter blocks_;
    QByteArray rest_;    // less than a block, waiting for the bytes after it
    qint64 blocked_ = 0; // bytes handed to blocks_
};

} // namespace tavrelo::logfile
