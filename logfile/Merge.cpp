// SPDX-License-Identifier: GPL-3.0-or-later
#include "Merge.h"

#include "ContactKey.h"
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
#include <mutex>
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
std::mutex refusedMutex; // the window merges on a thread of its own

void rememberRefused(const QByteArray& path, const struct stat& st) {
    const std::lock_guard lock(refusedMutex);
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
    const std::lock_guard lock(refusedMutex);
    const auto it = refusedCopies().constFind(path);
    return it != refusedCopies().constEnd() && *it == signature(st);
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

namespace {

// Calls onBlock with the bytes of a regular file (never through a symbolic
// link), a block of whole lines at a time: a copy of any size takes a block
// of memory.
bool forEachBlockOf(const QString& path, QString& why, struct stat& st,
                    const std::function<void(const char*, const char*)>& onBlock) {
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        why = QStringLiteral("Error %1: %2").arg(errno).arg(errorText(errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        why = QStringLiteral("It is a symbolic link, not a regular file");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = notARegularFile(st.st_mode);
        return false;
    }
    const ReadResult read = readLogBlocks(path, onBlock);
    if (read.status != ReadStatus::Read) {
        why = read.status == ReadStatus::Missing ? QStringLiteral("It is gone")
                                                 : read.error.description;
        return false;
    }
    if (read.device != st.st_dev || read.inode != st.st_ino) {
        why = QStringLiteral("It was replaced while it was read");
        return false;
    }
    return true;
}

bool forEachLineOf(const QString& path, QString& why, struct stat& st,
                   const std::function<void(const char*, const char*)>& onLine) {
    return forEachBlockOf(path, why, st, [&](const char* begin, const char* end) {
        forEachLine(begin, end, onLine);
    });
}

// Calls onRecord with each record of a fields file, without the space
// around it, as its tags' lengths give them: a value may hold line breaks,
// or text such as "<eor>".
class RecordSplitter {
public:
    explicit RecordSplitter(std::function<void(QByteArrayView)> onRecord)
        : onRecord_(std::move(onRecord)) {}
    void feed(const char* begin, const char* end) {
        pending_.append(begin, end - begin);
        qsizetype start = 0, at = scan_;
        for (;;) {
            const qsizetype open = pending_.indexOf('<', at);
            const qsizetype close = open < 0 ? -1 : pending_.indexOf('>', open);
            if (close < 0) {
                at = open < 0 ? pending_.size() : open; // the tag is still to come
                break;
            }
            const char* tag = pending_.constData() + open + 1;
            const qsizetype tagSize = close - open - 1;
            if (tagSize == 3 && qstrnicmp(tag, "eor", 3) == 0) {
                const QByteArray record = pending_.mid(start, close + 1 - start).trimmed();
                if (!record.isEmpty())
                    onRecord_(record);
                start = at = close + 1;
                continue;
            }
            // <NAME:LENGTH> or <NAME:LENGTH:TYPE>: the value's bytes follow.
            qsizetype length = 0;
            const char* colon = static_cast<const char*>(std::memchr(tag, ':', size_t(tagSize)));
            for (const char* d = colon ? colon + 1 : tag + tagSize;
                 d < tag + tagSize && *d >= '0' && *d <= '9' && length < (1 << 30); ++d)
                length = length * 10 + (*d - '0');
            if (close + 1 + length > pending_.size()) {
                at = open; // the value is still to come
                break;
            }
            at = close + 1 + length;
        }
        pending_.remove(0, start);
        scan_ = at - start;
    }

private:
    std::function<void(QByteArrayView)> onRecord_;
    QByteArray pending_;
    qsizetype scan_ = 0; // where the look for the next tag goes on
};

} // namespace

bool Merger::load(MergeSummary& summary) {
    if (loaded_)
        return true;
    // A line with a contact key is known by its key (the same bytes give
    // the same key); the few others by their bytes.
    QByteArray key;
    const ReadResult read = readLogBlocks(logPath_, [&](const char* begin, const char* end) {
        forEachLine(begin, end, [&](const char* b, const char* e) {
            if (logLineKey(b, e, key))
                keys_.insert(key);
            else
                lines_.insert(QByteArrayView(b, e));
        });
    });
    if (read.status == ReadStatus::Failed) {
        summary.refused << read.error.message();
        return false;
    }
    const QString ours = fieldsPath(logPath_);
    QString why;
    struct stat st;
    RecordSplitter records([&](QByteArrayView r) { records_.insert(r); });
    if (QFileInfo::exists(ours) &&
        !forEachBlockOf(ours, why, st, [&](const char* b, const char* e) { records.feed(b, e); })) {
        summary.refused << QStringLiteral("%1: %2").arg(ours, why);
        return false;
    }
    loaded_ = true;
    return true;
}

bool Merger::mergeLog(const QString& otherLog, MergeSummary& summary) {
    // A Tavrelo log is text, and most of its lines are contacts: looked at
    // whole before anything of it is taken.
    qsizetype lineCount = 0, contacts = 0;
    bool binary = false;
    QByteArray key;
    QString why;
    struct stat st;
    if (!forEachLineOf(otherLog, why, st, [&](const char* b, const char* e) {
            if (b == e)
                return;
            ++lineCount;
            contacts += logLineKey(b, e, key);
            binary = binary || std::memchr(b, 0, size_t(e - b));
        })) {
        summary.refused << QStringLiteral("%1: %2").arg(otherLog, why);
        return false;
    }
    if (binary || (lineCount > 0 && contacts * 2 < lineCount)) {
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
    qsizetype added = 0, duplicates = 0;
    OsError error;
    const bool read = forEachLineOf(otherLog, why, st, [&](const char* b, const char* e) {
        if (b == e || !error.ok())
            return;
        const bool known = logLineKey(b, e, key) ? !keys_.insert(key)
                                                 : !lines_.insert(QByteArrayView(b, e));
        if (known) {
            ++duplicates;
            return;
        }
        error = log_.appendLog(QByteArrayView(b, e));
        if (error.ok())
            error = log_.appendLog("\r\n");
        ++added;
    });
    if (!error.ok() || !read) {
        summary.refused << (error.ok() ? QStringLiteral("%1: %2").arg(otherLog, why)
                                       : error.message());
        return false;
    }
    summary.added += added;
    summary.duplicates += duplicates;
    return true;
}

bool Merger::mergeFields(const QString& otherFields, MergeSummary& summary) {
    // Text, and records that each start with a field.
    qsizetype count = 0;
    bool records = true;
    QString why;
    struct stat st;
    RecordSplitter check([&](QByteArrayView r) {
        ++count;
        records = records && r.startsWith('<');
    });
    if (!forEachBlockOf(otherFields, why, st, [&](const char* b, const char* e) {
            records = records && !std::memchr(b, 0, size_t(e - b));
            if (records)
                check.feed(b, e);
        })) {
        summary.refused << QStringLiteral("%1: %2").arg(otherFields, why);
        return false;
    }
    if (!records || count == 0) {
        rememberRefused(QFile::encodeName(otherFields), st);
        summary.refused << QStringLiteral("%1: it does not read as ADIF records").arg(otherFields);
        return false;
    }
    if (!load(summary))
        return false;
    qsizetype added = 0;
    OsError error;
    RecordSplitter stage([&](QByteArrayView r) {
        if (!error.ok() || !records_.insert(r))
            return;
        error = log_.appendFields(r);
        if (error.ok())
            error = log_.appendFields("\r\n");
        ++added;
    });
    const bool read = forEachBlockOf(otherFields, why, st,
                                     [&](const char* b, const char* e) { stage.feed(b, e); });
    if (!error.ok() || !read) {
        summary.refused << (error.ok() ? QStringLiteral("%1: %2").arg(otherFields, why)
                                       : error.message());
        return false;
    }
    summary.records += added;
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
