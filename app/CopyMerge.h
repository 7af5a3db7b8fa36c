// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

#include <thread>

namespace tavrelo {

// Merges the conflict copies a sync program set beside the log on a thread
// of its own, so that the window never waits for a large copy. One merge
// at a time; destroying the object waits for the one under way, which a
// journal makes all or nothing anyway.
class CopyMerge : public QObject {
    Q_OBJECT

public:
    explicit CopyMerge(QObject* parent = nullptr);
    ~CopyMerge() override;
    CopyMerge(const CopyMerge&) = delete;
    CopyMerge& operator=(const CopyMerge&) = delete;

    // Starts a merge, unless one is under way or there is nothing beside
    // the log to merge or name.
    void start(const QString& logPath);
    bool isRunning() const { return running_; }

signals:
    // On the GUI thread: what the merge did (empty when nothing), and why
    // it failed (empty when it did not).
    void finished(const QString& note, const QString& error);

private:
    std::thread thread_;
    bool running_ = false; // GUI thread only
};

} // namespace tavrelo
