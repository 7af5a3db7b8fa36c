// SPDX-License-Identifier: GPL-3.0-or-later
#include "NewOnes.h"

#include "OpenLog.h"

#include <QFile>

#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tavrelo::logfile {

namespace {

constexpr size_t BufferDigests = 65536; // 1 MiB

const QString spillAction = QStringLiteral("make room for the merge's digests in");

} // namespace

NewOnes::NewOnes(const QString& folder, qsizetype perPass)
    : folder_(folder), perPass_(std::max<qsizetype>(perPass, 1)) {}

NewOnes::~NewOnes() = default;

NewOnes::File::~File() {
    if (fd_ >= 0)
        ::close(fd_);
}

void NewOnes::File::clear() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    written_ = 0;
    count_ = 0;
}

OsError NewOnes::File::flush(const QString& folder) {
    if (buffer_.empty())
        return {};
    if (fd_ < 0) {
        fd_ = openRetrying("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0)
            fd_ = openRetrying(QFile::encodeName(folder), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0)
            return OsError::fromErrno(spillAction, folder, errno);
    }
    const qsizetype bytes = qsizetype(buffer_.size() * sizeof(Digest));
    const char* data = reinterpret_cast<const char*>(buffer_.data());
    for (qsizetype done = 0; done < bytes;) {
        const ssize_t n = ::pwrite(fd_, data + done, size_t(bytes - done),
                                   off_t(written_ * qint64(sizeof(Digest)) + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return OsError::fromErrno(spillAction, folder, n < 0 ? errno : ENOSPC);
        done += n;
    }
    written_ += qint64(buffer_.size());
    buffer_.clear();
    return {};
}

OsError NewOnes::File::add(const Digest& d, const QString& folder) {
    buffer_.push_back(d);
    ++count_;
    return buffer_.size() >= BufferDigests ? flush(folder) : OsError();
}

OsError NewOnes::File::forEach(const std::function<void(const Digest&)>& visit) const {
    std::vector<Digest> chunk(BufferDigests);
    for (qint64 at = 0; at < written_;) {
        const qint64 n = std::min<qint64>(qint64(chunk.size()), written_ - at);
        const qint64 bytes = n * qint64(sizeof(Digest));
        if (readAt(fd_, reinterpret_cast<char*>(chunk.data()), bytes,
                   at * qint64(sizeof(Digest))) != bytes)
            return OsError::fromErrno(QStringLiteral("read back the merge's digests"),
                                      QStringLiteral("a temporary file"), errno ? errno : EIO);
        for (qint64 i = 0; i < n; ++i)
            visit(chunk[size_t(i)]);
        at += n;
    }
    for (const Digest& d : buffer_)
        visit(d);
    return {};
}

OsError NewOnes::judge(std::vector<bool>& isNew) {
    isNew.assign(size_t(theirs_.size()), false);
    // Each pass holds the digests whose b falls to it; a slot's place in
    // the table comes from a, so the share stays spread over the table.
    const qsizetype all = ours_.size() + theirs_.size();
    const int passes = int(std::max<qsizetype>(1, (all + perPass_ - 1) / perPass_));
    DigestSet seen;
    for (int pass = 0; pass < passes; ++pass) {
        const auto mine = [&](const Digest& d) { return int(d.b % quint64(passes)) == pass; };
        seen.clear();
        if (const OsError e = ours_.forEach([&](const Digest& d) {
                if (mine(d))
                    seen.insert(d);
            });
            !e.ok())
            return e;
        size_t i = 0;
        if (const OsError e = theirs_.forEach([&](const Digest& d) {
                if (mine(d) && seen.insert(d))
                    isNew[i] = true;
                ++i;
            });
            !e.ok())
            return e;
    }
    seen.clear();
    // Theirs' new ones are ours now.
    size_t i = 0;
    OsError added;
    const OsError e = theirs_.forEach([&](const Digest& d) {
        if (isNew[i++] && added.ok())
            added = ours_.add(d, folder_);
    });
    theirs_.clear();
    return e.ok() ? added : e;
}

} // namespace tavrelo::logfile
