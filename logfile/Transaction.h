// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Journal.h"
#include "KnownContacts.h"
#include "OsError.h"
#include "PendingBytes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace tavrelo::logfile {

// The fields file beside a log: every field a contact came with that the
// eight boxes cannot hold, as ADIF records. Tavrelo.adi beside Tavrelo.txt.
QString fieldsPath(const QString& logPath);

// One append to the log and its fields file, all or nothing, even across a
// power cut: under the log's lock, a journal beside the log records both
// files' sizes and the hash of every 64 bytes about to be appended, and is
// synced before either file is touched. The fields file is written and
// synced first, then the log; the journal goes once both are synced.
//
// A Tavrelo program that takes the log's lock and finds its computer's
// journal puts the files back: an append that did not reach the log whole
// is cut off both files, but only where every byte after the recorded size
// is the journal's own; bytes that another program wrote are never
// removed. A journal written on another computer, or for another log, is
// set aside and named, and removes nothing.
class LogTransaction {
public:
    // identity reads the contacts of fields records for a merge of conflict
    // copies; begin() leaves the copies when there is none.
    explicit LogTransaction(const QString& logPath, RecordIdentity identity = nullptr);
    ~LogTransaction();
    LogTransaction(const LogTransaction&) = delete;
    LogTransaction& operator=(const LogTransaction&) = delete;

    // Creates the log when it is missing, opens it, takes its lock (waiting
    // up to three seconds for another Tavrelo program), puts right an
    // append that an earlier program left unfinished, and, given an
    // identity, merges the conflict copies a sync program set beside the
    // log (see Merge.h).
    OsError begin();
    // What putting right an unfinished append did, what a merge of conflict
    // copies added and refused, and a log that had to be made again: to be
    // said once; empty when there was nothing to say.
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
    // log; nothing is pending afterwards, whatever came of it. On failure both files are as they
    // were at begin(), but for bytes that could not be taken out without
    // taking another program's bytes with them: a whole append whose sync
    // failed stays where it is (appendStayed() then says so), and a torn
    // one is blanked in place.
    OsError commit();
    bool appendStayed() const { return appendStayed_; }
    // Lets the lock go without appending anything.
    void end();

private:
    OsError commitPending();
    OsError mergeCopies();
    void updateLineEnd();
    // The pending bytes' chunks lie as the files' sizes now place them.
    void alignPending();
    void addNote(const QString& note);

    QString logPath_;
    RecordIdentity identity_;
    int logFd_ = -1;
    qint64 logSizeAtBegin_ = 0;
    bool logNeedsLineEnd_ = false;
    PendingBytes log_;
    PendingBytes fields_;
    QString recoveryNote_;
    bool appendStayed_ = false;
};

// One contact with its record in the fields file, all or nothing; Saved
// only once both are on disk, NotSaved with both files as they were, and
// Unconfirmed when the disk did not confirm a whole append that could not
// be taken out again (another program appended behind it).
struct SaveResult;
// Conflict copies are left to a merge of their own.
SaveResult appendWithRecord(const QString& logPath, const QByteArray& line,
                            const QByteArray& record);

// Puts right an unfinished append, taking the log's lock for it; the note
// says what was done, and is empty when there was nothing to do. For the
// window's start and the export, which do not append.
OsError recoverUnfinishedAppend(const QString& logPath, QString& note);

// The same for a caller that holds the log's lock on logFd already.
OsError recoverLocked(const QString& logPath, int logFd, QString& note);

} // namespace tavrelo::logfile
