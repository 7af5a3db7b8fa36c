// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrelo::adif {

// Batches made on a thread of their own and taken in order on the calling
// one, with at most a few waiting, so that reading and parsing a file goes
// on while its records are used.
template <typename Batch> class ReadAhead {
public:
    // make() runs on the thread, handing over its batches in order through
    // hand(), and returns why it stopped early (empty when it did not).
    explicit ReadAhead(std::function<QString(ReadAhead&)> make, size_t maxWaiting = 8)
        : maxWaiting_(maxWaiting), thread_([this, make = std::move(make)] {
              const QString error = make(*this);
              const std::lock_guard lock(mutex_);
              done_ = true;
              error_ = error;
              changed_.notify_all();
          }) {}
    // Tells make() to stop at its next batch, and waits for it: a read
    // that blocks (standard input held open) is waited for.
    ~ReadAhead() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next batch, waiting for it; null once every batch is taken.
    std::unique_ptr<Batch> take() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !batches_.empty() || done_; });
        if (batches_.empty())
            return nullptr;
        std::unique_ptr<Batch> b = std::move(batches_.front());
        batches_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return b;
    }
    // What make() returned; final once take() has given null.
    QString error() {
        const std::lock_guard lock(mutex_);
        return error_;
    }
    // A batch that was taken and is done with: make() fills it again, its
    // memory already there.
    void giveBack(std::unique_ptr<Batch> batch) {
        const std::lock_guard lock(mutex_);
        if (spares_.size() < maxWaiting_)
            spares_.push_back(std::move(batch));
    }

    // For make(): a batch given back, emptied by its clear(), or a new one.
    std::unique_ptr<Batch> spare() {
        std::unique_lock lock(mutex_);
        if (spares_.empty())
            return std::make_unique<Batch>();
        std::unique_ptr<Batch> b = std::move(spares_.back());
        spares_.pop_back();
        lock.unlock();
        b->clear();
        return b;
    }
    // For make(): how many batches are handed over and not yet taken.
    size_t waiting() {
        const std::lock_guard lock(mutex_);
        return batches_.size();
    }
    // For make(): hands a batch over, waiting while enough are waiting;
    // false once the taking side wants no more.
    bool hand(std::unique_ptr<Batch> batch) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || batches_.size() < maxWaiting_; });
        if (stop_)
            return false;
        batches_.push_back(std::move(batch));
        lock.unlock();
        changed_.notify_all();
        return true;
    }

    const size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Batch>> batches_; // guarded by mutex_
    std::vector<std::unique_ptr<Batch>> spares_; // guarded by mutex_
    bool done_ = false;                          // guarded by mutex_
    bool stop_ = false;                          // guarded by mutex_
    QString error_;                              // guarded by mutex_
    std::thread thread_;                         // last: started once the rest is made
};

} // namespace tavrelo::adif
