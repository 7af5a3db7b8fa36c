// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace tavrelo::logfile {

// The journal of an append under way lies beside the log, named after the
// computer that wrote it (Tavrelo.<computer>.journal): a sync program that
// carries it to another computer carries a file that computer never reads.
QString journalPath(const QString& logPath);
// What an earlier version of Tavrelo named its journal: Tavrelo.journal.
QString legacyJournalPath(const QString& logPath);
// The log as a journal names it: its canonical path.
QString canonicalLogPath(const QString& logPath);
// This computer, as journals name it: the start of /etc/machine-id.
QByteArray machineName();

// An append's bytes are checked chunk by chunk. A chunk ends after each
// line end, and at each page's end in the file: a page the disk lost
// starts and ends on a chunk's boundary, and a part of a chunk never holds
// a line end. Whatever another program appends ends with a line end, so a
// part of a chunk at the file's end is a write of ours cut short, and any
// line of another program's is told by its hash.
inline constexpr qint64 Page = 4096;
quint32 chunkHash(const char* data, qsizetype size);
// The hash of a key, for the fields file's tables.
quint64 blockHash(const char* data, qsizetype size);

// What a journal says of one file.
struct JournalPart {
    qint64 before = 0; // the file's size before the append
    qint64 size = 0;   // the bytes appended
    std::vector<quint32> chunks;
    std::vector<quint32> pages; // the first chunk at each page's start
};

struct Journal {
    QByteArray machine;   // machineName() of the computer that wrote it
    QString logPath;      // the log it was written for
    quint64 logInode = 0; // and that log's file, as it was then
    JournalPart log, fields;
};

QByteArray journalText(const Journal& journal);
// A journal that is whole: one cut short by a power cut before its sync was
// never acted on, since nothing is appended before it is synced.
bool parseJournal(const QByteArray& text, Journal& journal);

// What a file holds after the size the journal recorded.
enum class Found {
    Nothing,  // not a byte more
    Torn,     // a part of the append, and nothing else (pages the disk lost read as NULs)
    Complete, // the whole append, perhaps followed by other programs' bytes
    Foreign,  // bytes that cannot be shown to be the append's
};
struct Inspection {
    Found found = Found::Nothing;
    qint64 fileSize = 0;
    // Whether every byte after the recorded size is the append's own, so
    // that cutting the file back takes out nothing that another program
    // wrote.
    bool exact = false; // the file ends where the whole append ends
    bool onlyOurs() const { return found == Found::Torn || (found == Found::Complete && exact); }
};
Inspection inspect(int fd, const JournalPart& part);

} // namespace tavrelo::logfile
