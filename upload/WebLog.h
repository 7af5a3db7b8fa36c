// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AdifReader.h"
#include "Settings.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>

namespace tavrelo::upload {

// A contact's whole record as a web log takes it: UTF-8 values with their
// lengths in characters, which Wavelog 2.0.5 (it counts characters) and
// later versions (they take either) read whole.
QByteArray webLogRecord(const adif::AdifRecord& record);

// What a web log's answer to one contact means.
struct Answer {
    enum Kind {
        Delivered, // created
        Duplicate, // the web log has it already: delivered too
        Refused,   // this contact is not taken: the server's reason
        WrongKey,  // the key or the station is not accepted: nothing is taken
        Retry      // no answer, or the server failed: tried again later
    };
    Kind kind = Retry;
    QString message; // the server's own words, or what failed
};
// Only "status": "created" with an adif_count of 1 or more is delivered:
// the server answers 201 for a record it did not take too.
Answer judge(int httpStatus, const QByteArray& body, const QString& networkError);

// Sends one record to {url}/index.php/api/qso and waits for the answer, at
// most timeoutMs. Runs an event loop of its own: for a thread of its own
// or a command-line program.
Answer send(const Settings& settings, const QByteArray& record, int timeoutMs = 30000);

// What a push did.
struct PushSummary {
    int sent = 0, duplicates = 0, refused = 0, waiting = 0;
    QStringList reasons; // of the refused, each with its contact
    QString stop;        // why sending stopped (a wrong key, a server not answering)
    bool wrongKey = false;
};

// Which contacts a push looks at: the window's, those logged since the
// web log was set up on this computer; or the whole log (tavrelo-adif
// --push), from a date on.
struct PushScope {
    bool sinceSetUp = true;
    QDate since; // with sinceSetUp false: only contacts of that day or later
};

// Sends the contacts of the log that the web log has not taken yet, in
// their order, and records each answer in the delivery file beside the log
// (Tavrelo.<computer>.weblog, appended only, synced line by line): a
// contact is sent until it is delivered or refused, and never again after.
// Two computers that share the log each send what they see; the web log
// says "duplicate" to the second, which counts as delivered. Stops at the
// first answer that is neither a delivery nor a refusal.
PushSummary push(const QString& logPath, const Settings& settings, const PushScope& scope,
                 const std::function<void(const QString&)>& note);

// The delivery file of the log on this computer.
QString deliveryPath(const QString& logPath);

} // namespace tavrelo::upload
