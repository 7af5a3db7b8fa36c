// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KnownContacts.h"
#include "NewOnes.h"
#include "OsError.h"

#include <QString>
#include <QStringList>

#include <functional>

struct stat;

namespace tavrelo::logfile {

class LogTransaction;

// The conflict copies that sync programs set beside a log and its fields
// file when two computers wrote to them while apart: Syncthing's
// "Tavrelo.sync-conflict-20261207-142233-ABCDEFG.txt", and the
// "Tavrelo (… conflicted copy …).txt" of others.
//
// Only regular files in the log's own folder are copies; anything else by
// such a name (a symbolic link, a FIFO, a folder, a name that is not valid
// UTF-8) is refused, once: what was refused, and a copy that a merge
// refused, is passed over until it changes.
struct ConflictCopies {
    QStringList logs;               // copies of the log
    QStringList fields;             // copies of the fields file
    QStringList refused;            // what was left alone, each with why
    QList<QByteArray> refusedPaths; // as the file system has them
    bool isEmpty() const { return logs.isEmpty() && fields.isEmpty() && refused.isEmpty(); }
};
ConflictCopies findConflictCopies(const QString& logPath);
// Passes over what stands at path, as it is now, in every later look for
// copies: it has been named once.
void passOver(const QByteArray& path);

struct MergeSummary {
    qsizetype added = 0;      // lines the log lacked, appended
    qsizetype duplicates = 0; // lines the log held already (same bytes, or same contact)
    qsizetype records = 0;    // records appended to the fields file
    QStringList refused;      // copies left as they are, each with why
};

// Stages into a transaction that holds the log's lock the lines of other
// logs whose contacts the log lacks (as KnownContacts judges them: the log's
// own contacts told apart by its fields file, another log's by the fields
// file it is given with; a line that is no contact by its bytes), in
// their own order, and the records of other fields files that the fields
// file lacks (by their bytes); what one merge stages counts as held for the
// next; a record of a contact whose record the fields file holds in other
// bytes goes in as adding to it (see AddsField). A file that cannot be read or is not a regular
// file (symbolic links are not followed), a log that is not a Tavrelo log, and a fields file that
// does not read as ADIF records are refused: said in the summary, nothing taken from it, false
// returned.
//
// Memory stays bounded whatever the sizes: what is known is judged on
// 128-bit digests in passes (see NewOnes), each holding at most
// digestsPerPass of them.
class Merger {
public:
    Merger(LogTransaction& log, const QString& logPath, RecordIdentity identity,
           qsizetype digestsPerPass = 3000000);
    ~Merger();
    // otherFields: the fields file that tells otherLog's contacts apart,
    // the n-th record of a key telling the n-th line of that key; none
    // when empty or missing.
    bool mergeLog(const QString& otherLog, const QString& otherFields, MergeSummary& summary);
    bool mergeFields(const QString& otherFields, MergeSummary& summary);

private:
    using ItemReader = std::function<bool(const QString&, QString&, struct stat&,
                                          const std::function<void(QByteArrayView)>&)>;
    bool load(MergeSummary& summary);
    // Forgets the items of a copy that was not taken, and says why.
    static bool refuse(NewOnes& ones, const QString& why, MergeSummary& summary);
    // Judges the items whose digests were taken, then appends the new ones
    // as a second read of the copy meets them; judged and added count them.
    bool takeNew(NewOnes& ones, const QString& path, const struct stat& first,
                 const ItemReader& read,
                 const std::function<OsError(QByteArrayView, size_t)>& append,
                 MergeSummary& summary, qsizetype& judged, qsizetype& added);

    LogTransaction& log_;
    QString logPath_;
    RecordIdentity identity_;
    bool loaded_ = false;
    NewOnes lines_, records_;
    // The contacts that records tell apart: a record of one held already,
    // in other bytes, adds to its record what that lacks.
    NewOnes toldRecords_;
};

// "3 contacts added, 2 duplicates skipped".
QString describe(const MergeSummary& summary);

// Merges every conflict copy beside the log into it, in one append under
// the log's lock, all or nothing, and removes the copies whose lines are
// all in the log now. note says what was done, once; empty when there
// were no copies. Nothing but a look at the log's folder when there are none.
OsError mergeConflictCopies(const QString& logPath, RecordIdentity identity, QString& note);

// The copy of the fields file that a sync program set aside with a copy of
// the log (the same name but for its ending), or an empty string.
QString fieldsCopyOf(const QString& logCopy, const ConflictCopies& copies);

} // namespace tavrelo::logfile
