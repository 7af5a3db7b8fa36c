// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KnownContacts.h"
#include "OsError.h"

#include <QString>

#include <vector>

namespace tavrelo::logfile {

// Tells which contacts of another file ("theirs", in order) are new: held
// neither by ours nor by earlier ones of theirs, as KnownContacts judges
// them. Items without a key (a line that is no contact, a record) are
// filed as keys of their own bytes, which say nothing more. Memory stays
// bounded whatever the files' sizes: the items wait in unnamed temporary
// files, and are judged in passes, each over the keys that fall to it, in
// a set of at most about perPass items (3 million: some 100 MiB).
class NewOnes {
public:
    using Digest = DigestSet::Digest;
    // folder: where the items wait when /tmp has no room.
    explicit NewOnes(const QString& folder, qsizetype perPass = 3000000);
    ~NewOnes();
    NewOnes(const NewOnes&) = delete;
    NewOnes& operator=(const NewOnes&) = delete;

    // A line of ours, and a record of ours with its telling.
    OsError addOurLine(const Digest& key) { return ours_.add({key, 0, Line}, folder_); }
    OsError addOurRecord(const Digest& key, quint64 telling) {
        return ours_.add({key, telling, Record}, folder_);
    }
    OsError addTheirs(const Digest& key, quint64 telling = 0) {
        return theirs_.add({key, telling, Contact}, folder_);
    }
    void forgetTheirs() { theirs_.clear(); }
    // isNew[i] for the i-th of theirs. Theirs' new ones count as ours from
    // then on, and theirs are forgotten.
    OsError judge(std::vector<bool>& isNew);

private:
    enum Kind : quint64 { Line, Record, Contact };
    struct Item {
        Digest key;
        quint64 telling;
        Kind kind;
    };
    // Items in order, in a temporary file beyond a buffer.
    class File {
    public:
        ~File();
        OsError add(const Item& item, const QString& folder);
        OsError forEach(const std::function<void(const Item&)>& visit) const;
        qsizetype size() const { return count_; }
        void clear();

    private:
        OsError flush(const QString& folder);
        int fd_ = -1;
        std::vector<Item> buffer_;
        qint64 written_ = 0; // items in the file
        qsizetype count_ = 0;
    };

    QString folder_;
    qsizetype perPass_;
    File ours_, theirs_;
};

} // namespace tavrelo::logfile
