// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "DigestSet.h"
#include "OsError.h"

#include <QString>

#include <vector>

namespace tavrelo::logfile {

// Tells which strings of another file ("theirs", in order) are new: seen
// neither among ours nor earlier among theirs. Memory stays bounded
// whatever the files' sizes: the 128-bit digests wait in unnamed temporary
// files, and are compared in passes, each over one share of them, in a
// table of at most perPass digests (3 million: 64 MiB).
class NewOnes {
public:
    using Digest = DigestSet::Digest;
    // folder: where the digests wait when /tmp has no room.
    explicit NewOnes(const QString& folder, qsizetype perPass = 3000000);
    ~NewOnes();
    NewOnes(const NewOnes&) = delete;
    NewOnes& operator=(const NewOnes&) = delete;

    OsError addOurs(const Digest& d) { return ours_.add(d, folder_); }
    OsError addTheirs(const Digest& d) { return theirs_.add(d, folder_); }
    void forgetTheirs() { theirs_.clear(); }
    // isNew[i] for the i-th of theirs. Theirs' new ones count as ours from
    // then on, and theirs are forgotten.
    OsError judge(std::vector<bool>& isNew);

private:
    // Digests in order, in a temporary file beyond a buffer.
    class File {
    public:
        ~File();
        OsError add(const Digest& d, const QString& folder);
        OsError forEach(const std::function<void(const Digest&)>& visit) const;
        qsizetype size() const { return count_; }
        void clear();

    private:
        OsError flush(const QString& folder);
        int fd_ = -1;
        std::vector<Digest> buffer_;
        qint64 written_ = 0; // digests in the file
        qsizetype count_ = 0;
    };

    QString folder_;
    qsizetype perPass_;
    File ours_, theirs_;
};

} // namespace tavrelo::logfile
