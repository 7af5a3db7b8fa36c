// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CountryFile.h"
#include "Worked.h"

#include <QObject>
#include <QString>

#include <memory>
#include <thread>

namespace tavrelo {

// Who a typed call is and what the log says of its entity: the country
// file and the log's worked-before index, read on a thread of their own
// at start, so that the window never waits for them, and kept up to date
// by each Save.
class EntityData : public QObject {
    Q_OBJECT

public:
    explicit EntityData(QObject* parent = nullptr);
    ~EntityData() override;
    EntityData(const EntityData&) = delete;
    EntityData& operator=(const EntityData&) = delete;

    void start(const QString& logPath);
    bool isReady() const { return countries_ != nullptr; }

    // The line the window shows for a typed call, band and mode; empty
    // while the country file is not read, or for text that is no call;
    // without what the log says while the log is read.
    QString lineFor(const QString& call, const QString& band, const QString& mode) const;
    // The base call of a call with a location or suffix (DL1ABC of
    // VK2/DL1ABC/P); the call itself otherwise.
    QString baseCall(const QString& call) const;
    // A contact just saved.
    void addSaved(const QString& call, const QString& band, const QString& mode,
                  const QString& logDate);

signals:
    // On the GUI thread: the country file is read (calls are told by
    // entity), and then, once, the log too: which file is used, or why none.
    void changed();
    void ready(const QString& note);

private:
    std::thread thread_;
    std::unique_ptr<dxcc::CountryFile> countries_;
    std::unique_ptr<dxcc::WorkedIndex> worked_;
};

} // namespace tavrelo
