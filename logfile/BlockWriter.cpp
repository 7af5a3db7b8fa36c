// SPDX-License-Identifier: GPL-3.0-or-later
#include "BlockWriter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tavrelo::logfile {

BlockWriter::BlockWriter(int fd, qint64 at, qsizetype bufferSize)
    : fd_(fd), bufferSize_(std::max(Block, bufferSize - bufferSize % Block)), at_(at) {
    flags_ = ::fcntl(fd, F_GETFL);
    direct_ = flags_ >= 0 && ::fcntl(fd, F_SETFL, flags_ | O_DIRECT) == 0;
    for (char*& b : free_) {
        b = static_cast<char*>(std::aligned_alloc(size_t(Block), size_t(bufferSize_)));
        if (!b)
            error_ = ENOMEM; // every write then says so
    }
    thread_ = std::thread([this] { run(); });
}

BlockWriter::~BlockWriter() {
    finish();
    for (char* b : free_)
        std::free(b);
}

void BlockWriter::queueFilled() {
    jobs_.push_back({filling_, filled_});
    filling_ = nullptr;
    filled_ = 0;
    changed_.notify_all();
}

int BlockWriter::write(const char* data, qsizetype size) {
    while (size > 0) {
        if (!filling_) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return error_ || freeCount_ > 0; });
            if (error_)
                return error_;
            filling_ = free_[--freeCount_];
        }
        const qsizetype n = std::min(size, bufferSize_ - filled_);
        std::memcpy(filling_ + filled_, data, size_t(n));
        filled_ += n;
        data += n;
        size -= n;
        if (filled_ == bufferSize_) {
            const std::lock_guard lock(mutex_);
            queueFilled();
        }
    }
    const std::lock_guard lock(mutex_);
    return error_;
}

int BlockWriter::finish() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            if (filling_ && filled_ > 0) {
                queueFilled();
            } else if (filling_) {
                free_[freeCount_++] = filling_;
                filling_ = nullptr;
            }
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
        if (direct_)
            ::fcntl(fd_, F_SETFL, flags_);
    }
    return error_;
}

void BlockWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty())
            return;
        const Job job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        int err = error_ ? 0 : writeAt(job);
        unsynced_ += job.size;
        if (err == 0 && unsynced_ >= SyncEvery) {
            unsynced_ = 0;
            if (::fdatasync(fd_) != 0)
                err = errno;
        }
        lock.lock();
        if (err && !error_)
            error_ = err;
        free_[freeCount_++] = job.buffer;
        changed_.notify_all();
    }
}

int BlockWriter::writeAt(const Job& job) {
    qsizetype done = 0;
    while (done < job.size) {
        const ssize_t n =
            ::pwrite(fd_, job.buffer + done, size_t(job.size - done), off_t(at_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL && direct_) {
            // Refused straight to the disk after all: through the cache.
            if (::fcntl(fd_, F_SETFL, flags_) != 0)
                return errno;
            direct_ = false;
            continue;
        }
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    at_ += job.size;
    return 0;
}

SequentialWriter::SequentialWriter(int fd, qsizetype bufferSize)
    : fd_(fd), blocks_(fd, 0, bufferSize) {}

int SequentialWriter::write(const char* data, qsizetype size) {
    if (!rest_.isEmpty()) {
        // The block begun before, made whole first.
        const qsizetype n = std::min(size, BlockWriter::Block - rest_.size());
        rest_.append(data, n);
        data += n;
        size -= n;
        if (rest_.size() < BlockWriter::Block)
            return 0;
        if (const int err = blocks_.write(rest_.constData(), rest_.size()))
            return err;
        blocked_ += rest_.size();
        rest_.clear();
    }
    const qsizetype whole = size - size % BlockWriter::Block;
    if (const int err = blocks_.write(data, whole))
        return err;
    blocked_ += whole;
    rest_.append(data + whole, size - whole);
    return 0;
}

int SequentialWriter::finish() {
    if (const int err = blocks_.finish())
        return err;
    for (qsizetype done = 0; done < rest_.size();) {
        const ssize_t n = ::pwrite(fd_, rest_.constData() + done, size_t(rest_.size() - done),
                                   off_t(blocked_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    blocked_ += rest_.size();
    rest_.clear();
    return 0;
}

} // namespace tavrelo::logfile
