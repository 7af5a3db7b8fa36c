// SPDX-License-Identifier: GPL-3.0-or-later
#include "Merge.h"

#include "ContactKey.h"
#include "KeySet.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

#include "OpenLog.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

QString baseName(const QString& logPath) {
    QString base = QFileInfo(logPath).fileName();
    if (base.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        base.chop(4);
    return base;
}

// The records of a fields file, each without the space around it.
QList<QByteArray> recordsOf(const QByteArray& bytes) {
    QList<QByteArray> records;
    const QByteArray upper = bytes.toUpper(); // <EOR> in any case
    qsizetype from = 0;
    for (qsizetype eor; (eor = upper.indexOf("<EOR>", from)) >= 0; from = eor + 5) {
        const QByteArray record = bytes.mid(from, eor + 5 - from).trimmed();
        if (!record.isEmpty())
            records.append(record);
    }
    return records;
}

// What identifies a copy's contents for the memo of refused copies: a
// copy refused once is not read again until it changes.
QByteArray signature(const struct stat& st) {
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino)) +
           ':' + QByteArray::number(qlonglong(st.st_size)) + ':' +
           QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

// Paths as the file system has them: a name need not be valid UTF-8.
QHash<QByteArray, QByteArray>& refusedCopies() {
    static QHash<QByteArray, QByteArray> memo;
    return memo;
}

void rememberRefused(const QByteArray& path, const struct stat& st) {
    refusedCopies().insert(path, signature(st));
}

} // namespace

void passOver(const QByteArray& path) {
    struct stat st;
    if (::lstat(path.constData(), &st) == 0)
        rememberRefused(path, st);
}

namespace {

bool refusedBefore(const QByteArray& path, const struct stat& st) {
    const auto it = refusedCopies().constFind(path);
    return it != refusedCopies().constEnd() && *it == signature(st);
}

// A regular file, never through a symbolic link, read whole.
bool readWhole(const QString& path, QByteArray& bytes, QString& why, struct stat& st) {
    const int fd = openRetrying(QFile::encodeName(path),
                                O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        why = err == ELOOP ? QStringLiteral("It is a symbolic link, not a regular file")
                           : QStringLiteral("Error %1: %2").arg(err).arg(errorText(err));
        return false;
    }
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        why = QStringLiteral("Error %1: %2").arg(errno).arg(errorText(errno));
    } else if (!S_ISREG(st.st_mode)) {
        why = notARegularFile(st.st_mode);
    } else if (st.st_size > (qint64(1) << 31)) {
        why = QStringLiteral("It is larger than 2 GiB");
    } else {
        bytes.resize(qsizetype(st.st_size));
        const qint64 n = readAt(fd, bytes.data(), st.st_size, 0);
        ok = n == st.st_size;
        if (!ok)
            why = n < 0 ? QStringLiteral("Error %1: %2").arg(errno).arg(errorText(errno))
                        : QStringLiteral("It changed while it was read");
    }
    ::close(fd);
    return ok;
}

// Whether a fields file's copy reads as ADIF records: text, with records
// that each start with a field.
bool readsAsRecords(const QByteArray& bytes) {
    if (bytes.contains('\0'))
        return false;
    const QList<QByteArray> records = recordsOf(bytes);
    return !records.isEmpty() &&
           std::all_of(records.begin(), records.end(), [](const QByteArray& r) {
               return r.startsWith('<');
           });
}

bool isValidUtf8(const QByteArray& name) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(name);
    return !decoder.hasError();
}

} // namespace

ConflictCopies findConflictCopies(const QString& logPath) {
    ConflictCopies copies;
    const QFileInfo info(logPath);
    const QByteArray base = QFile::encodeName(baseName(logPath));
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return copies;
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith(base + ".sync-conflict-") ||
            (name.startsWith(base + " (") && name.contains("conflicted copy")))
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const QByteArray& name : std::as_const(names)) {
        const QString path = info.absolutePath() + QLatin1Char('/') + QFile::decodeName(name);
        const QByteArray lower = name.toLower();
        const bool log = lower.endsWith(".txt"), fields = lower.endsWith(".adi");
        if (!log && !fields)
            continue;
        const QByteArray raw = folder + '/' + name;
        struct stat st;
        if (::lstat(raw.constData(), &st) != 0)
            continue;
        if (refusedBefore(raw, st))
            continue; // named once already, and unchanged since
        QString why;
        if (S_ISLNK(st.st_mode))
            why = QStringLiteral("it is a symbolic link, not a copy the sync made");
        else if (!S_ISREG(st.st_mode))
            why = notARegularFile(st.st_mode).replace(0, 1, QLatin1Char('i'));
        else if (!isValidUtf8(name))
            why = QStringLiteral("its name is not valid UTF-8");
        if (!why.isEmpty()) {
            copies.refused << QStringLiteral("%1: %2").arg(path, why);
            copies.refusedPaths << raw;
        } else {
            (log ? copies.logs : copies.fields) << path;
        }
    }
    return copies;
}

Merger::Merger(LogTransaction& log, const QString& logPath) : log_(log), logPath_(logPath) {}

bool Merger::load(MergeSummary& summary) {
    if (loaded_)
        return true;
    QByteArray key;
    const ReadResult read = readLogBlocks(logPath_, [&](const char* begin, const char* end) {
        forEachLine(begin, end, [&](const char* b, const char* e) {
            lines_.insert(QByteArrayView(b, e));
            if (logLineKey(b, e, key))
                keys_.insert(key);
        });
    });
    if (read.status == ReadStatus::Failed) {
        summary.refused << read.error.message();
        return false;
    }
    QByteArray ours;
    QString why;
    struct stat st;
    if (QFileInfo::exists(fieldsPath(logPath_)) &&
        !readWhole(fieldsPath(logPath_), ours, why, st)) {
        summary.refused << QStringLiteral("%1: %2").arg(fieldsPath(logPath_), why);
        return false;
    }
    for (const QByteArray& r : recordsOf(ours))
        records_.insert(r);
    loaded_ = true;
    return true;
}

bool Merger::mergeLog(const QString& otherLog, MergeSummary& summary) {
    QByteArray other;
    QString why;
    struct stat st;
    if (!readWhole(otherLog, other, why, st)) {
        summary.refused << QStringLiteral("%1: %2").arg(otherLog, why);
        return false;
    }
    // A Tavrelo log is text, and most of its lines are contacts.
    qsizetype lineCount = 0, contacts = 0;
    QByteArray key;
    forEachLine(other.constData(), other.constData() + other.size(),
                [&](const char* b, const char* e) {
                    if (b == e)
                        return;
                    ++lineCount;
                    contacts += logLineKey(b, e, key);
                });
    if (other.contains('\0') || (lineCount > 0 && contacts * 2 < lineCount)) {
        rememberRefused(QFile::encodeName(otherLog), st);
        summary.refused << QStringLiteral(
                               "%1: it is not a Tavrelo log (%2 of its %3 lines are contacts)")
                               .arg(otherLog)
                               .arg(contacts)
                               .arg(lineCount);
        return false;
    }
    if (!load(summary))
        return false;
    QByteArray staged;
    qsizetype added = 0, duplicates = 0;
    forEachLine(other.constData(), other.constData() + other.size(),
                [&](const char* b, const char* e) {
                    if (b == e)
                        return;
                    const bool known = !lines_.insert(QByteArrayView(b, e)) ||
                                       (logLineKey(b, e, key) && !keys_.insert(key));
                    if (known) {
                        ++duplicates;
                        return;
                    }
                    staged.append(b, e - b);
                    staged.append("\r\n");
                    ++added;
                });
    if (const OsError e = log_.appendLog(staged); !e.ok()) {
        summary.refused << e.message();
        return false;
    }
    summary.added += added;
    summary.duplicates += duplicates;
    return true;
}

bool Merger::mergeFields(const QString& otherFields, MergeSummary& summary) {
    QByteArray theirs;
    QString why;
    struct stat st;
    if (!readWhole(otherFields, theirs, why, st)) {
        summary.refused << QStringLiteral("%1: %2").arg(otherFields, why);
        return false;
    }
    if (!readsAsRecords(theirs)) {
        rememberRefused(QFile::encodeName(otherFields), st);
        summary.refused << QStringLiteral("%1: it does not read as ADIF records").arg(otherFields);
        return false;
    }
    if (!load(summary))
        return false;
    QByteArray staged;
    qsizetype records = 0;
    for (const QByteArray& r : recordsOf(theirs)) {
        if (!records_.insert(r))
            continue;
        staged += r + "\r\n";
        ++records;
    }
    if (const OsError e = log_.appendFields(staged); !e.ok()) {
        summary.refused << e.message();
        return false;
    }
    summary.records += records;
    return true;
}

OsError mergeConflictCopies(const QString& logPath, QString& note) {
    if (findConflictCopies(logPath).isEmpty())
        return {};
    LogTransaction log(logPath);
    const OsError error = log.begin(); // merges them
    note = log.recoveryNote();
    return error;
}

QString describe(const MergeSummary& s) {
    QString text =
        QStringLiteral("%1 contacts added, %2 duplicates skipped").arg(s.added).arg(s.duplicates);
    if (s.records > 0)
        text += QStringLiteral(", %1 records added to the fields file").arg(s.records);
    return text;
}

} // namespace tavrelo::logfile
