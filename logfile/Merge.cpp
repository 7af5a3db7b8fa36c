// SPDX-License-Identifier: GPL-3.0-or-later
#include "Merge.h"

#include "ContactKey.h"
#include "KeySet.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

bool readWhole(const QString& path, QByteArray& bytes, QString& why) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        why = f.errorString();
        return false;
    }
    if (f.isSequential() || f.size() > (qint64(1) << 31)) {
        why = QStringLiteral("It is not a regular file");
        return false;
    }
    bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        why = f.errorString();
        return false;
    }
    return true;
}

} // namespace

ConflictCopies findConflictCopies(const QString& logPath) {
    ConflictCopies copies;
    const QFileInfo info(logPath);
    const QString base = baseName(logPath);
    const QDir dir = info.dir();
    const QStringList names = dir.entryList(
        {base + QStringLiteral(".sync-conflict-*"), base + QStringLiteral(" (*conflicted copy*)*")},
        QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        if (name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
            copies.logs << path;
        else if (name.endsWith(QLatin1String(".adi"), Qt::CaseInsensitive))
            copies.fields << path;
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
    if (QFileInfo::exists(fieldsPath(logPath_)) && !readWhole(fieldsPath(logPath_), ours, why)) {
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
    if (!readWhole(otherLog, other, why)) {
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
    if (!readWhole(otherFields, theirs, why)) {
        summary.refused << QStringLiteral("%1: %2").arg(otherFields, why);
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
