// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KnownContacts.h"
#include "OsError.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace tavrelo::wsjtx {

// One contact to log: its log record (CR LF ended), its key and telling
// (see KnownContacts), and its whole ADIF record for the fields file (empty
// when the boxes hold it all).
struct Contact {
    QByteArray record;
    QByteArray key;
    QByteArray telling;
    QByteArray fields;
};

// The contacts of the ADIF text of a Logged ADIF message, mapped to log
// records exactly as an ADIF import maps them; skipped gets the reason of
// each record that gives no contact.
QList<Contact> contactsOfAdif(const QByteArray& adif, QStringList& skipped);

// The log as tavrelo-wsjtx writes it: contacts wait in a queue, in the order
// they arrived, until a save puts them in the log. A contact that the log
// holds already, whoever wrote it, is not written again. A failed save keeps every contact queued
// for the next one.
class ContactLog {
public:
    explicit ContactLog(const QString& path);

    void add(const Contact& contact) { queue_.append(contact); }

    struct Outcome {
        QList<QByteArray> saved;      // records now in the log and on disk
        QList<QByteArray> duplicates; // records the log held already
        OsError error;                // why the rest is still queued
        QString recoveryNote;         // an unfinished append put right first
    };
    // Appends every queued contact in one write under the log's lock, its
    // record to the fields file beside the log, and syncs both; all or
    // nothing.
    Outcome save();

    const QList<Contact>& queued() const { return queue_; }
    const QString& path() const { return path_; }

private:
    // Brings the known contacts up to what the log and its fields file
    // hold now.
    OsError readNewKeys();
    OsError readNewRecords(bool fromStart);

    QString path_;
    logfile::KnownContacts known_;
    long long fieldsReadTo_ = 0;
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
    long long readTo_ = 0; // how far the log has been read
    QByteArray tail_;      // the last bytes before that place
    QList<Contact> queue_;
    // The names of the fields written this session for each contact (key
    // and telling),
    // so that a second message of the same contact (Logged ADIF after QSO
    // Logged) adds only what the first lacked.
    QHash<QByteArray, QSet<QByteArray>> written_;
};

} // namespace tavrelo::wsjtx
