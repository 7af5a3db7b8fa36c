// SPDX-License-Identifier: GPL-3.0-or-later
#include "Transaction.h"

#include "LogFile.h"
#include "Merge.h"
#include "OpenLog.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tavrelo::logfile {

namespace {

const QString writeAction = QStringLiteral("write to the log");

// The process's umask, read without changing it (umask() would, for every
// thread at once).
mode_t currentUmask() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:"))
                return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return 022;
}

// Where the writes of one file went: O_APPEND puts each at the file's end,
// which another program may have moved in between.
struct Placed {
    std::vector<std::pair<qint64, qint64>> pieces; // from, to
    void add(qint64 from, qint64 to) {
        if (!pieces.empty() && pieces.back().second == from)
            pieces.back().second = to;
        else
            pieces.emplace_back(from, to);
    }
    bool interleaved() const { return pieces.size() > 1; }
};

// Writes the pending bytes to fd, whose end is at offset at, and has the
// disk start on each piece at once: the sync after finds most of it done.
// A write ends on a page's boundary where it can, so that a cut between
// two writes falls on a chunk's boundary too. (Written straight to the
// disk instead, block by block, the append took longer: nothing else goes
// on while it is made, and the disk's every wait shows.)
int copyTo(const PendingBytes& pending, int fd, qint64 at, Placed& placed) {
    return pending.forEachPiece([&](const char* data, qsizetype n) {
        while (n > 0) {
            const qsizetype toPage = qsizetype(Page - at % Page);
            const long k = sysWrite(fd, data, size_t(at % Page != 0 && n > toPage ? toPage : n));
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                return k < 0 ? errno : ENOSPC;
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            placed.add(end - k, end);
            startWriting(fd, at, k);
            at += k;
            data += k;
            n -= k;
        }
        return 0;
    });
}

// Overwrites what one append put there with blanks ending in a line end,
// so that the lines another program appended behind or between its pieces
// stay whole. Returns an errno.
int blankInPlace(int fd, const Placed& placed) {
    // pwrite() on an O_APPEND descriptor appends on Linux: drop the flag.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0)
        return errno;
    int err = 0;
    for (const auto& [from, to] : placed.pieces) {
        QByteArray blank(qsizetype(to - from), ' ');
        blank.replace(std::max<qsizetype>(0, blank.size() - 2), 2,
                      blank.size() >= 2 ? QByteArray("\r\n") : QByteArray("\n"));
        if (::pwrite(fd, blank.constData(), size_t(blank.size()), off_t(from)) != blank.size())
            err = err ? err : (errno ? errno : EIO);
    }
    ::fcntl(fd, F_SETFL, flags);
    if (err == 0 && sysFdatasync(fd) != 0)
        err = errno;
    return err;
}

// Takes a failed append back out of a file: cut off when every byte after
// the size the journal recorded is its own; blanked in place when another
// program appended behind a part of it; left where it is when it is whole
// (a sync that failed: it may well reach the disk). Returns an errno.
int takeBack(int fd, const JournalPart& part, const Placed& placed, bool& stayed) {
    const Inspection now = inspect(fd, part);
    if (now.found == Found::Nothing)
        return 0;
    if (now.onlyOurs())
        return truncateTo(fd, part.before);
    if (now.found == Found::Complete) {
        stayed = true;
        return 0;
    }
    return blankInPlace(fd, placed);
}

// Makes the pending bytes of a file that does not exist yet that file: the
// temporary file they wait in, synced, gets the file's name, and the folder
// entry is synced. linked stays false, with no error, where that cannot be
// done (the temporary file is elsewhere, or /proc is missing): the caller
// then writes the file itself. fd receives a descriptor of the new file.
OsError linkNewFile(PendingBytes& pending, const QString& path, int& fd, bool& linked) {
    const QString action = QStringLiteral("write to the fields file");
    linked = false;
    int err = 0;
    const int temporary = pending.syncedFile(err);
    if (temporary < 0)
        return err == EXDEV ? OsError() : OsError::fromErrno(action, path, err);
    ::fchmod(temporary, 0644 & ~currentUmask());
    const QByteArray from = "/proc/self/fd/" + QByteArray::number(temporary);
    if (::linkat(AT_FDCWD, from.constData(), AT_FDCWD, QFile::encodeName(path).constData(),
                 AT_SYMLINK_FOLLOW) != 0) {
        // Made by another program since the lock was taken: the journal
        // expects the bytes at the start of the file.
        return errno == EEXIST ? OsError::fromErrno(action, path, EEXIST) : OsError();
    }
    fd = ::fcntl(temporary, F_DUPFD_CLOEXEC, 0);
    linked = true;
    if (const int e = syncDirectoryOf(path))
        return OsError::fromErrno(QStringLiteral("confirm on the disk the contacts written to"),
                                  path, e);
    return {};
}

} // namespace

QString fieldsPath(const QString& logPath) {
    return besideLog(logPath, QStringLiteral(".adi"));
}

LogTransaction::LogTransaction(const QString& logPath, RecordIdentity identity)
    : logPath_(logPath), identity_(identity) {
    const QString folder = QFileInfo(logPath).absolutePath();
    log_.setSpillFolder(folder);
    fields_.setSpillFolder(folder);
}

LogTransaction::~LogTransaction() {
    end();
}

void LogTransaction::end() {
    if (logFd_ >= 0)
        ::close(logFd_); // lets the lock go
    logFd_ = -1;
}

OsError LogTransaction::begin() {
    ignoreFileSizeSignal();
    bool created = false;
    if (const OsError e = createLog(logPath_, &created); !e.ok())
        return e;
    if (created)
        recoveryNote_ =
            QStringLiteral("There was no log at %1: a new one was started.").arg(logPath_);
    OsError error;
    logFd_ = openLog(logPath_, O_RDWR | O_APPEND, writeAction, error);
    if (logFd_ < 0)
        return error;
    if (const int err = lockExclusive(logFd_)) {
        end();
        return err == EWOULDBLOCK
                   ? OsError::because(writeAction, logPath_,
                                      QStringLiteral("Another program has held it locked for "
                                                     "three seconds"))
                   : OsError::fromErrno(writeAction, logPath_, err);
    }
    QString recovered;
    if (const OsError e = recoverLocked(logPath_, logFd_, recovered); !e.ok()) {
        end();
        return e;
    }
    addNote(recovered);
    alignPending();
    if (const OsError merged = identity_ ? mergeCopies() : OsError(); !merged.ok()) {
        end();
        return merged;
    }
    struct stat st;
    if (::fstat(logFd_, &st) != 0) {
        const int err = errno;
        end();
        return OsError::fromErrno(writeAction, logPath_, err);
    }
    logSizeAtBegin_ = st.st_size;
    updateLineEnd();
    // Records for a fields file that is still to be made are that file's
    // bytes already: the disk may write them while more come.
    if (::access(QFile::encodeName(fieldsPath(logPath_)).constData(), F_OK) != 0 && errno == ENOENT)
        fields_.writeBehind();
    return {};
}

OsError LogTransaction::mergeCopies() {
    // What a sync program set aside while two computers were apart comes
    // back in first, in an append of its own, before anything else is
    // appended or read.
    const ConflictCopies copies = findConflictCopies(logPath_);
    if (copies.isEmpty())
        return {};
    updateLineEnd();
    MergeSummary summary;
    summary.refused = copies.refused;
    for (const QByteArray& path : copies.refusedPaths)
        passOver(path);
    Merger merger(*this, logPath_, identity_);
    QStringList merged;
    for (const QString& copy : copies.logs) {
        if (merger.mergeLog(copy, fieldsCopyOf(copy, copies), summary))
            merged << copy;
    }
    for (const QString& copy : copies.fields) {
        if (merger.mergeFields(copy, summary))
            merged << copy;
    }
    if (const OsError e = commit(); !e.ok())
        return e;
    // Their lines are all in the log now.
    for (const QString& copy : std::as_const(merged))
        ::unlink(QFile::encodeName(copy).constData());
    QString note;
    if (!merged.isEmpty())
        note = QStringLiteral("Merged what the sync set aside (%1) into the log: %2.")
                   .arg(merged.join(QStringLiteral(", ")), describe(summary));
    if (!summary.refused.isEmpty())
        note +=
            (note.isEmpty() ? QString() : QStringLiteral(" ")) +
            QStringLiteral("Left as they are: %1.").arg(summary.refused.join(QStringLiteral("; ")));
    addNote(note);
    return {};
}

void LogTransaction::updateLineEnd() {
    struct stat st;
    logNeedsLineEnd_ = false;
    if (::fstat(logFd_, &st) == 0 && st.st_size > 0) {
        char last = 0;
        if (readAt(logFd_, &last, 1, st.st_size - 1) == 1 && last != '\n' && last != '\r')
            logNeedsLineEnd_ = true; // a hand edit left the last line without an end
    }
}

OsError LogTransaction::appendLog(QByteArrayView bytes) {
    if (logNeedsLineEnd_ && log_.size() == 0 && !bytes.isEmpty()) {
        if (const OsError e = log_.append("\r\n"); !e.ok())
            return e;
    }
    return log_.append(bytes);
}

OsError LogTransaction::appendFields(QByteArrayView bytes) {
    return fields_.append(bytes);
}

OsError LogTransaction::commit() {
    appendStayed_ = false;
    const OsError e = commitPending();
    // Nothing is pending any more, whatever came of it: a later commit
    // appends only what comes after.
    log_.clear();
    fields_.clear();
    if (logFd_ >= 0)
        alignPending();
    return e;
}

OsError LogTransaction::commitPending() {
    if (logFd_ < 0)
        return OsError::because(writeAction, logPath_, QStringLiteral("The log is not open"));
    if (log_.size() == 0 && fields_.size() == 0)
        return {};
    const QString fieldsFile = fieldsPath(logPath_);
    const QString fieldsAction = QStringLiteral("write to the fields file");

    // The fields file, opened only when there are fields. A new one is
    // made whole and synced beside it, and linked into the folder.
    int fieldsFd = -1;
    bool fieldsCreated = false;
    bool fieldsNew = false;
    OsError error;
    if (fields_.size() > 0) {
        fieldsFd = openLog(fieldsFile, O_RDWR | O_APPEND, fieldsAction, error);
        if (fieldsFd < 0 && error.error != ENOENT)
            return error;
        fieldsNew = fieldsFd < 0;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd >= 0)
                ::close(fd);
        }
    } closeFields{fieldsFd};

    Journal journal;
    journal.machine = machineName();
    journal.logPath = canonicalLogPath(logPath_);
    struct stat st;
    if (::fstat(logFd_, &st) != 0)
        return OsError::fromErrno(writeAction, logPath_, errno);
    journal.logInode = st.st_ino;
    journal.log = {st.st_size, log_.size(), log_.takeChunks(st.st_size), log_.takePages()};
    if (fieldsFd >= 0 && ::fstat(fieldsFd, &st) != 0)
        return OsError::fromErrno(fieldsAction, fieldsFile, errno);
    if (fieldsFd >= 0 || fieldsNew)
        journal.fields = {fieldsNew ? 0 : st.st_size, fields_.size(),
                          fields_.takeChunks(fieldsNew ? 0 : st.st_size), fields_.takePages()};

    // The journal first, synced with its folder entry.
    const QString journalFile = journalPath(logPath_);
    {
        const QString action = QStringLiteral("write the journal of the append beside the log");
        const int fd = openRetrying(QFile::encodeName(journalFile),
                                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return OsError::fromErrno(action, journalFile, errno);
        const QByteArray text = journalText(journal);
        int err = writeAll(fd, text.constData(), text.size());
        if (err == 0 && sysFsync(fd) != 0)
            err = errno;
        ::close(fd);
        if (err == 0)
            err = syncDirectoryOf(journalFile);
        if (err != 0) {
            ::unlink(QFile::encodeName(journalFile).constData());
            return OsError::fromErrno(action, journalFile, err);
        }
    }

    // Puts both files back as they were, as far as that takes out nothing
    // another program wrote, and removes the journal; the error says so
    // when even that fails.
    Placed logPlaced, fieldsPlaced;
    auto undo = [&](OsError failure) {
        bool stayed = false;
        int err = takeBack(logFd_, journal.log, logPlaced, stayed);
        if (stayed) {
            // The contact is whole in the log, with other lines behind it:
            // it stays, and its record with it. The journal stays too, for
            // the next program to find both whole or put them right.
            appendStayed_ = true;
            return failure;
        }
        if (fieldsFd >= 0) {
            bool recordsStayed = false;
            const int e = takeBack(fieldsFd, journal.fields, fieldsPlaced, recordsStayed);
            err = err ? err : e;
        }
        if (err == 0)
            ::unlink(QFile::encodeName(journalFile).constData());
        else
            failure.description +=
                QStringLiteral(". What was written could not be taken out again (error %1: %2); "
                               "the next Tavrelo program to open the log will do it")
                    .arg(err)
                    .arg(errorText(err));
        return failure;
    };
    const QString confirm = QStringLiteral("confirm on the disk the contacts written to");
    bool fieldsLinked = false;
    if (fieldsNew) {
        if (const OsError e = linkNewFile(fields_, fieldsFile, fieldsFd, fieldsLinked); !e.ok())
            return undo(e);
        if (fieldsLinked) {
            closeFields.fd = fieldsFd;
        } else {
            // The bytes could not be made a file beside it: the file is
            // made here, and they are copied in.
            fieldsFd = openLog(fieldsFile, O_RDWR | O_APPEND, fieldsAction, error, &fieldsCreated);
            if (fieldsFd < 0)
                return undo(error);
            if (::fstat(fieldsFd, &st) != 0 || st.st_size != 0) {
                // Another program's file since the lock was taken: its
                // bytes are left alone.
                ::close(fieldsFd);
                fieldsFd = -1;
                return undo(OsError::fromErrno(fieldsAction, fieldsFile, EEXIST));
            }
            closeFields.fd = fieldsFd;
        }
    }
    if (fieldsFd >= 0 && !fieldsLinked) {
        if (const int err = copyTo(fields_, fieldsFd, journal.fields.before, fieldsPlaced))
            return undo(OsError::fromErrno(fieldsAction, fieldsFile, err));
        if (sysFdatasync(fieldsFd) != 0)
            return undo(OsError::fromErrno(confirm, fieldsFile, errno));
        if (fieldsCreated) {
            if (const int err = syncDirectoryOf(fieldsFile))
                return undo(OsError::fromErrno(confirm, fieldsFile, err));
        }
    }
    if (const int err = copyTo(log_, logFd_, journal.log.before, logPlaced))
        return undo(OsError::fromErrno(writeAction, logPath_, err));
    if (logPlaced.interleaved())
        return undo(OsError::because(writeAction, logPath_,
                                     QStringLiteral("Another program wrote into the log in the "
                                                    "middle of the contacts")));
    if (sysFdatasync(logFd_) != 0)
        return undo(OsError::fromErrno(confirm, logPath_, errno));
    // Both files are whole and on disk: the journal has done its work. Its
    // removal need not be durable; found again, it finds both appends whole.
    ::unlink(QFile::encodeName(journalFile).constData());
    return {};
}

void LogTransaction::addNote(const QString& note) {
    if (!note.isEmpty())
        recoveryNote_ += (recoveryNote_.isEmpty() ? QString() : QStringLiteral(" ")) + note;
}

void LogTransaction::alignPending() {
    struct stat st;
    log_.alignTo(::fstat(logFd_, &st) == 0 ? st.st_size : 0);
    fields_.alignTo(
        ::stat(QFile::encodeName(fieldsPath(logPath_)).constData(), &st) == 0 ? st.st_size : 0);
}

SaveResult appendWithRecord(const QString& logPath, const QByteArray& line,
                            const QByteArray& record) {
    SaveResult result;
    LogTransaction t(logPath);
    OsError error = t.begin();
    result.recoveryNote = t.recoveryNote();
    if (error.ok())
        error = t.appendLog(line);
    if (error.ok())
        error = t.appendFields(record);
    if (error.ok())
        error = t.commit();
    if (!error.ok()) {
        result.state = t.appendStayed() ? SaveState::Unconfirmed : SaveState::NotSaved;
        result.error = error;
    }
    return result;
}

} // namespace tavrelo::logfile
