// SPDX-License-Identifier: GPL-3.0-or-later
// Putting right an append that a power cut or a crash stopped, from the
// journal it left.
#include "Journal.h"
#include "LogFile.h"
#include "OpenLog.h"
#include "Transaction.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

QString describe(qint64 bytes) {
    return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
}

// Gives a journal that must not act here a name no Tavrelo program reads,
// beside where it was; returns that name.
QString setAside(const QString& journal) {
    const QString target =
        journal + QStringLiteral(".set-aside-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (::rename(QFile::encodeName(journal).constData(), QFile::encodeName(target).constData()) !=
        0)
        return journal;
    syncDirectoryOf(target);
    return target;
}

// The journal's bytes; empty when it is not there or not a regular file.
QByteArray readJournal(const QString& path, bool& present) {
    const int fd =
        openRetrying(QFile::encodeName(path), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    present = fd >= 0 || errno != ENOENT;
    if (fd < 0)
        return {};
    struct stat st;
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (qint64(1) << 30)) {
        text.resize(qsizetype(st.st_size));
        if (readAt(fd, text.data(), st.st_size, 0) != st.st_size)
            text.clear();
    }
    ::close(fd);
    return text;
}

QString noteOf(const QStringList& said) {
    return said.isEmpty() ? QString()
                          : QStringLiteral("An append to the log was stopped before it finished "
                                           "(a power cut or a crash): ") +
                                said.join(QStringLiteral("; ")) + QLatin1Char('.');
}

} // namespace

OsError recoverLocked(const QString& logPath, int logFd, QString& note) {
    QStringList said;
    // An earlier version's journal names neither its computer nor its log:
    // nothing in it shows that the bytes it speaks of are this log's.
    const QString legacy = legacyJournalPath(logPath);
    if (::access(QFile::encodeName(legacy).constData(), F_OK) == 0)
        said << QStringLiteral("a journal that an earlier version of Tavrelo left (%1) was set "
                               "aside as %2, and nothing was taken out of the log")
                    .arg(legacy, setAside(legacy));

    const QString journalFile = journalPath(logPath);
    bool present = false;
    const QByteArray text = readJournal(journalFile, present);
    if (!present) {
        note = noteOf(said);
        return {};
    }
    Journal journal;
    if (!parseJournal(text, journal)) {
        // Cut short before its sync: nothing was appended after it.
        ::unlink(QFile::encodeName(journalFile).constData());
        note = noteOf(said);
        return {};
    }
    struct stat st;
    if (::fstat(logFd, &st) != 0)
        return OsError::fromErrno(QStringLiteral("take an unfinished append back out of the log"),
                                  logPath, errno);
    // Written on another computer (a copy of its disk), for another log, or
    // for the log before it was put back from a backup: its sizes and
    // hashes say nothing of this file.
    if (journal.machine != machineName() || journal.logPath != canonicalLogPath(logPath) ||
        journal.logInode != quint64(st.st_ino)) {
        said << QStringLiteral("its journal (%1) was written on another computer or for another "
                               "log, so it was set aside as %2, and nothing was taken out of "
                               "the log")
                    .arg(journalFile, setAside(journalFile));
        note = noteOf(said);
        return {};
    }

    const Inspection inLog = inspect(logFd, journal.log);
    Inspection inFields;
    int fieldsFd = -1;
    const QString fieldsFile = fieldsPath(logPath);
    if (journal.fields.size > 0) {
        fieldsFd = openRetrying(QFile::encodeName(fieldsFile),
                                O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fieldsFd >= 0)
            inFields = inspect(fieldsFd, journal.fields);
        else
            inFields.found = Found::Foreign;
    }
    int err = 0;
    // An append of records alone (fields that a duplicate added) is whole
    // when its records are.
    const bool whole =
        inLog.found == Found::Complete &&
        (journal.log.size > 0 || journal.fields.size == 0 || inFields.found == Found::Complete);
    if (!whole) {
        // The append did not reach the files whole: take out what it left,
        // where nothing but its own bytes follow the size it recorded.
        if (inLog.found != Found::Nothing && inLog.onlyOurs()) {
            err = truncateTo(logFd, journal.log.before);
            said << QStringLiteral("the %1 it had written were taken out of the log")
                        .arg(describe(inLog.fileSize - journal.log.before));
        } else if (inLog.found != Found::Nothing) {
            said << QStringLiteral("the log holds bytes after it that are not its own, so the "
                                   "log was left as it is");
        }
        if (fieldsFd >= 0 && inFields.found != Found::Nothing && inFields.onlyOurs()) {
            const int e = truncateTo(fieldsFd, journal.fields.before);
            err = err ? err : e;
            said << QStringLiteral("its fields were taken out of %1").arg(fieldsFile);
        } else if (fieldsFd >= 0 && inFields.found != Found::Nothing) {
            said << QStringLiteral("%1 holds bytes after it that are not its own, so it was left "
                                   "as it is")
                        .arg(fieldsFile);
        }
    }
    if (fieldsFd >= 0)
        ::close(fieldsFd);
    if (err != 0)
        return OsError::fromErrno(QStringLiteral("take an unfinished append back out of the log"),
                                  logPath, err);
    ::unlink(QFile::encodeName(journalFile).constData());
    note = noteOf(said);
    return {};
}

OsError recoverUnfinishedAppend(const QString& logPath, QString& note) {
    if (::access(QFile::encodeName(journalPath(logPath)).constData(), F_OK) != 0 &&
        ::access(QFile::encodeName(legacyJournalPath(logPath)).constData(), F_OK) != 0)
        return {};
    OsError error;
    const int fd = openLog(logPath, O_RDWR, QStringLiteral("write to the log"), error);
    if (fd < 0)
        return error;
    OsError result;
    if (const int err = lockExclusive(fd))
        result = OsError::fromErrno(QStringLiteral("write to the log"), logPath, err);
    else
        result = recoverLocked(logPath, fd, note);
    ::close(fd);
    return result;
}

} // namespace tavrelo::logfile
