// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CallHistory.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace tavrelo {

// Runs history lookups on a thread of their own, so that a keystroke never
// waits for the log to be read. Each new lookup supersedes the one before:
// that one is stopped, never queued, and only the latest lookup's result is
// ever delivered. Destroying the object stops and ends the thread.
class HistoryLookup : public QObject {
    Q_OBJECT

public:
    explicit HistoryLookup(QObject* parent = nullptr);
    ~HistoryLookup() override;
    HistoryLookup(const HistoryLookup&) = delete;
    HistoryLookup& operator=(const HistoryLookup&) = delete;

    void start(const QString& logPath, const QString& call);
    // Reads the log through and notes its shape (history::prepare), so
    // that the first lookup of a session is as quick as the rest and the
    // newest rows can come first.
    void warmUp(const QString& logPath);
    // Drops the lookup in progress, if any: its result is never delivered.
    void discard();
    // Whether a started lookup has yet to deliver its result.
    bool isBusy() const { return busy_; }

signals:
    // On the GUI thread, for the latest lookup only: for a log in time
    // order, or nearly so, its newest rows first (result.partial), then the
    // whole result.
    void finished(const tavrelo::history::LookupResult& result);

private:
    struct Request {
        QString path;
        QString call;
        quint64 generation;
        bool warmUp;
    };
    void post(Request request);
    void run();
    void deliver(history::LookupResult result, quint64 generation);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> next_; // guarded by mutex_
    bool quit_ = false;           // guarded by mutex_
    std::atomic<bool> stop_{false};
    quint64 generation_ = 0;   // GUI thread only
    history::LogShape shape_;  // the lookup thread's
    history::Scanned scanned_; // the lookup thread's: what the lookup before looked through
    bool busy_ = false;        // GUI thread only
    std::thread thread_;
};

} // namespace tavrelo
