// SPDX-License-Identifier: GPL-3.0-or-later
#include "Merge.h"

#include "ContactKey.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

#include "NewOnes.h"
#include "OpenLog.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

// What identifies a copy's contents for the memo of refused copies: a
// copy refused once is not read again until it changes.
QByteArray signature(const struct stat& st) {
    return QByteArray::number(qulonglong(st.st_dev)) + ':' +
           QByteArray::number(qulonglong(st.st_ino)) + ':' +
           QByteArray::number(qlonglong(st.st_size)) + ':' +
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

} // namespace

ConflictCopies findConflictCopies(const QString& logPath) {
    ConflictCopies copies;
    const QFileInfo info(logPath);
    const QByteArray base = QFile::encodeName(QFileInfo(besideLog(logPath, {})).fileName());
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
        else if (!QUtf8StringView(name).isValidUtf8())
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
                // Bytes before a record's first tag are no record: not kept,
                // however many a file that is no ADIF has.
                if (open < 0 && pending_.indexOf('<', start) < 0)
                    start = at;
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

// A line with a contact key is filed by its key; the few others by their
// bytes.
DigestSet::Digest lineDigest(const char* b, const char* e, QByteArray& key, bool* keyed = nullptr) {
    constexpr quint64 LineDomain = 0x4c494e45ull;
    const bool hasKey = logLineKey(b, e, key);
    if (keyed)
        *keyed = hasKey;
    return hasKey ? KnownContacts::keyDigest(key)
                  : DigestSet::digestOf(QByteArrayView(b, e), LineDomain);
}

// The tellings of a fields file's records, by key in file order: the n-th
// line of a key is told apart by the n-th record of that key. Kept sorted
// by key, 20 bytes a record.
class Tellings {
public:
    bool read(const QString& path, RecordIdentity identity, QString& why);
    quint64 next(const DigestSet::Digest& key) {
        const auto lower =
            std::lower_bound(records_.begin(), records_.end(), Record{key.a, 0, 0}, byKey);
        if (lower == records_.end() || lower->key != key.a)
            return 0;
        // The first record of a key counts how many of its lines were told.
        const size_t n = lower->taken++;
        const auto it = lower + qsizetype(n);
        return it < records_.end() && it->key == key.a ? it->telling : 0;
    }

private:
    struct Record {
        quint64 key, telling;
        quint32 taken;
    };
    static bool byKey(const Record& x, const Record& y) { return x.key < y.key; }
    std::vector<Record> records_;
};

// A contact that a record tells apart, as one digest.
DigestSet::Digest toldDigest(const QByteArray& key, const QByteArray& telling) {
    constexpr quint64 ToldDomain = 0x544f4c44ull;
    return DigestSet::digestOf(key + '\n' + telling, ToldDomain);
}

// Whether a file is as it was when first read: each of a merge's looks at
// a copy must see the same bytes.
bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

Merger::Merger(LogTransaction& log, const QString& logPath, RecordIdentity identity,
               qsizetype digestsPerPass)
    : log_(log), logPath_(logPath), identity_(identity),
      lines_(QFileInfo(logPath).absolutePath(), digestsPerPass),
      records_(QFileInfo(logPath).absolutePath(), digestsPerPass),
      toldRecords_(QFileInfo(logPath).absolutePath(), digestsPerPass) {}

Merger::~Merger() = default;

bool Merger::load(MergeSummary& summary) {
    if (loaded_)
        return true;
    QByteArray key;
    OsError error;
    const ReadResult read = readLogBlocks(logPath_, [&](const char* begin, const char* end) {
        forEachLine(begin, end, [&](const char* b, const char* e) {
            if (b != e && error.ok())
                error = lines_.addOurLine(lineDigest(b, e, key));
        });
    });
    if (read.status == ReadStatus::Failed || !error.ok()) {
        summary.refused << (error.ok() ? read.error.message() : error.message());
        return false;
    }
    const QString ours = fieldsPath(logPath_);
    QString why;
    struct stat st;
    QByteArray telling;
    RecordSplitter records([&](QByteArrayView r) {
        if (error.ok())
            error = records_.addOurLine(DigestSet::digestOf(r));
        if (error.ok() && identity_(r, key, telling) && !telling.isEmpty()) {
            error = lines_.addOurRecord(KnownContacts::keyDigest(key),
                                        KnownContacts::tellingDigest(telling));
            if (error.ok())
                error = toldRecords_.addOurLine(toldDigest(key, telling));
        }
    });
    if (QFileInfo::exists(ours) &&
        !forEachBlockOf(ours, why, st, [&](const char* b, const char* e) { records.feed(b, e); })) {
        summary.refused << QStringLiteral("%1: %2").arg(ours, why);
        return false;
    }
    if (!error.ok()) {
        summary.refused << error.message();
        return false;
    }
    loaded_ = true;
    return true;
}

namespace {

// A copy's items, in order: its lines (empty ones passed over), or its
// records.
bool readLines(const QString& path, QString& why, struct stat& st,
               const std::function<void(QByteArrayView)>& onItem) {
    return forEachLineOf(path, why, st, [&](const char* b, const char* e) {
        if (b != e)
            onItem(QByteArrayView(b, e));
    });
}

bool readRecords(const QString& path, QString& why, struct stat& st,
                 const std::function<void(QByteArrayView)>& onItem) {
    RecordSplitter records(onItem);
    return forEachBlockOf(path, why, st, [&](const char* b, const char* e) { records.feed(b, e); });
}

} // namespace

bool Merger::refuse(NewOnes& ones, const QString& why, MergeSummary& summary) {
    ones.forgetTheirs();
    summary.refused << why;
    return false;
}

bool Merger::takeNew(NewOnes& ones, const QString& path, const struct stat& first,
                     const ItemReader& read,
                     const std::function<OsError(QByteArrayView, size_t)>& append,
                     MergeSummary& summary, qsizetype& judged, qsizetype& added) {
    std::vector<bool> isNew;
    OsError error = ones.judge(isNew);
    if (!error.ok())
        return refuse(ones, error.message(), summary);
    // The second look at the copy: the new items in its order.
    QString why;
    struct stat st;
    size_t i = 0;
    added = 0;
    const bool readOk = read(path, why, st, [&](QByteArrayView item) {
        const bool fresh = i < isNew.size() && isNew[i];
        if (fresh && error.ok()) {
            error = append(item, i);
            ++added;
        }
        ++i;
    });
    if (!error.ok())
        return refuse(ones, error.message(), summary);
    if (readOk && (!sameFile(first, st) || i != isNew.size()))
        why = QStringLiteral("It changed while it was merged");
    if (!readOk || !why.isEmpty())
        return refuse(ones, QStringLiteral("%1: %2").arg(path, why), summary);
    judged = qsizetype(isNew.size());
    return true;
}

bool Tellings::read(const QString& path, RecordIdentity identity, QString& why) {
    QByteArray key, telling;
    struct stat st;
    bool tells = false;
    RecordSplitter records([&](QByteArrayView r) {
        if (!identity(r, key, telling))
            return;
        records_.push_back(
            {KnownContacts::keyDigest(key).a, KnownContacts::tellingDigest(telling), 0});
        tells = tells || !telling.isEmpty();
    });
    if (!forEachBlockOf(path, why, st, [&](const char* b, const char* e) { records.feed(b, e); }))
        return false;
    if (!tells)
        records_.clear();
    std::stable_sort(records_.begin(), records_.end(), byKey);
    records_.shrink_to_fit();
    return true;
}

bool Merger::mergeLog(const QString& otherLog, const QString& otherFields, MergeSummary& summary) {
    if (!load(summary))
        return false;
    Tellings tellings;
    if (QString why; !otherFields.isEmpty() && QFileInfo::exists(otherFields) &&
                     !tellings.read(otherFields, identity_, why))
        return refuse(lines_, QStringLiteral("%1: %2").arg(otherFields, why), summary);
    // A Tavrelo log is text, and most of its lines are contacts: looked at
    // whole, and each line's digest taken, before anything of it is taken.
    qsizetype lineCount = 0, contacts = 0;
    bool binary = false;
    QByteArray key;
    QString why;
    struct stat first;
    OsError error;
    const bool read = readLines(otherLog, why, first, [&](QByteArrayView line) {
        ++lineCount;
        binary = binary || line.contains('\0');
        bool keyed = false;
        const DigestSet::Digest d = lineDigest(line.begin(), line.end(), key, &keyed);
        contacts += keyed;
        if (error.ok())
            error = lines_.addTheirs(d, keyed ? tellings.next(d) : 0);
    });
    if (!read || !error.ok())
        return refuse(lines_, read ? error.message() : QStringLiteral("%1: %2").arg(otherLog, why),
                      summary);
    if (binary || (lineCount > 0 && contacts * 2 < lineCount)) {
        rememberRefused(QFile::encodeName(otherLog), first);
        return refuse(
            lines_,
            QStringLiteral("%1: it is not a Tavrelo log (%2 of its %3 lines are contacts)")
                .arg(otherLog)
                .arg(contacts)
                .arg(lineCount),
            summary);
    }
    qsizetype judged = 0, added = 0;
    const auto append = [&](QByteArrayView line, size_t) {
        const OsError e = log_.appendLog(line);
        return e.ok() ? log_.appendLog("\r\n") : e;
    };
    if (!takeNew(lines_, otherLog, first, readLines, append, summary, judged, added))
        return false;
    summary.added += added;
    summary.duplicates += judged - added;
    return true;
}

bool Merger::mergeFields(const QString& otherFields, MergeSummary& summary) {
    if (!load(summary))
        return false;
    // Text, and records that each start with a field: looked at whole, and
    // each record's digest taken, before anything of it is taken.
    qsizetype count = 0;
    bool records = true;
    QString why;
    struct stat first;
    OsError error;
    QByteArray key, telling;
    const bool read = readRecords(otherFields, why, first, [&](QByteArrayView r) {
        ++count;
        records = records && r.startsWith('<') && !r.contains('\0');
        const DigestSet::Digest bytes = DigestSet::digestOf(r);
        if (error.ok())
            error = records_.addTheirs(bytes);
        if (error.ok())
            error = toldRecords_.addTheirs(identity_(r, key, telling) && !telling.isEmpty()
                                               ? toldDigest(key, telling)
                                               : bytes);
    });
    if (!read || !error.ok()) {
        toldRecords_.forgetTheirs();
        return refuse(records_,
                      read ? error.message() : QStringLiteral("%1: %2").arg(otherFields, why),
                      summary);
    }
    if (!records || count == 0) {
        toldRecords_.forgetTheirs();
        rememberRefused(QFile::encodeName(otherFields), first);
        return refuse(records_,
                      QStringLiteral("%1: it does not read as ADIF records").arg(otherFields),
                      summary);
    }
    std::vector<bool> newContact;
    if (const OsError e = toldRecords_.judge(newContact); !e.ok())
        return refuse(records_, e.message(), summary);
    qsizetype judged = 0, added = 0;
    const auto append = [&](QByteArrayView record, size_t i) {
        OsError e;
        if (i < newContact.size() && !newContact[i])
            e = log_.appendFields(QByteArray("<") + AddsField + ':' + QByteArray::number(1) +
                                  ">Y ");
        if (e.ok())
            e = log_.appendFields(record);
        return e.ok() ? log_.appendFields("\r\n") : e;
    };
    if (!takeNew(records_, otherFields, first, readRecords, append, summary, judged, added))
        return false;
    summary.records += added;
    return true;
}

QString fieldsCopyOf(const QString& logCopy, const ConflictCopies& copies) {
    // The same name, or else the only copy by the same computer: Syncthing
    // ends the name with the short id of the computer that wrote it, after
    // a time that need not be the same for both files.
    const auto stemOf = [](const QString& path) { return path.left(path.lastIndexOf('.')); };
    const auto writerOf = [&](const QString& path) {
        const QString stem = stemOf(path);
        return stem.contains(QLatin1String(".sync-conflict-")) ? stem.mid(stem.lastIndexOf('-'))
                                                               : QString();
    };
    QStringList sameWriter;
    for (const QString& f : copies.fields) {
        if (stemOf(f) == stemOf(logCopy))
            return f;
        if (!writerOf(f).isEmpty() && writerOf(f) == writerOf(logCopy))
            sameWriter << f;
    }
    return sameWriter.size() == 1 ? sameWriter.front() : QString();
}

OsError mergeConflictCopies(const QString& logPath, RecordIdentity identity, QString& note) {
    if (findConflictCopies(logPath).isEmpty())
        return {};
    LogTransaction log(logPath, identity);
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
