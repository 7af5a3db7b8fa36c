// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Settings.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <thread>

namespace tavrelo {

// Sends the contacts logged on this computer to the web log set up in
// Tavrelo.conf, on a thread of its own: after each Save, after a merge, and
// every minute for what other programs (tavrelo-wsjtx) logged; after a
// failure again with growing pauses. The window never waits for it.
class WebLogLink : public QObject {
    Q_OBJECT

public:
    WebLogLink(const upload::Settings& settings, QObject* parent = nullptr);
    ~WebLogLink() override;
    WebLogLink(const WebLogLink&) = delete;
    WebLogLink& operator=(const WebLogLink&) = delete;

    // Sends what waits, unless a send is under way (it is then sent after).
    void send(const QString& logPath);

signals:
    // On the GUI thread: a quiet state for a tooltip ("Web log: ..."), and,
    // once, what the operator has to put right (a wrong key or station).
    void state(const QString& text);
    void problem(const QString& text);

private:
    void finished(const QString& logPath, const QString& text, bool failed, bool wrongKey,
                  const QString& stop);

    upload::Settings settings_;
    std::thread thread_;
    bool running_ = false, again_ = false, told_ = false;
    int pause_ = 30; // seconds before the next try after a failure
    QTimer retry_;
};

} // namespace tavrelo
