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

constexpr size_t BufferItems = 32768; // 1 MiB

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
    const qsizetype bytes = qsizetype(buffer_.size() * sizeof(Item));
    const char* data = reinterpret_cast<const char*>(buffer_.data());
    for (qsizetype done = 0; done < bytes;) {
        const ssize_t n = ::pwrite(fd_, data + done, size_t(bytes - done),
                                   off_t(written_ * qint64(sizeof(Item)) + done));
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

OsError NewOnes::File::add(const Item& item, const QString& folder) {
    buffer_.push_back(item);
    ++count_;
    return buffer_.size() >= BufferItems ? flush(folder) : OsError();
}

OsError NewOnes::File::forEach(const std::function<void(const Item&)>& visit) const {
    std::vector<Item> chunk(BufferItems);
    for (qint64 at = 0; at < written_;) {
        const qint64 n = std::min<qint64>(qint64(chunk.size()), written_ - at);
        const qint64 bytes = n * qint64(sizeof(Item));
        if (readAt(fd_, reinterpret_cast<char*>(chunk.data()), bytes, at * qint64(sizeof(Item))) !=
            bytes)
            return OsError::fromErrno(QStringLiteral("read back the merge's digests"),
                                      QStringLiteral("a temporary file"), errno ? errno : EIO);
        for (qint64 i = 0; i < n; ++i)
            visit(chunk[size_t(i)]);
        at += n;
    }
    for (const Item& item : buffer_)
        visit(item);
    return {};
}

OsError NewOnes::judge(std::vector<bool>& isNew) {
    isNew.assign(size_t(theirs_.size()), false);
    // Each pass judges the keys that fall to it, with all that is filed
    // for them: the rule is asked of one key at a time.
    const qsizetype all = ours_.size() + theirs_.size();
    const int passes = int(std::max<qsizetype>(1, (all + perPass_ - 1) / perPass_));
    KnownContacts known;
    for (int pass = 0; pass < passes; ++pass) {
        const auto mine = [&](const Item& item) {
            return int(item.key.b % quint64(passes)) == pass;
        };
        known.clear();
        if (const OsError e = ours_.forEach([&](const Item& item) {
                if (!mine(item))
                    return;
                if (item.kind == Line)
                    known.addLine(item.key);
                else if (item.kind == Record)
                    known.addRecord(item.key, item.telling);
                else
                    known.addIfNew(item.key, item.telling);
            });
            !e.ok())
            return e;
        size_t i = 0;
        if (const OsError e = theirs_.forEach([&](const Item& item) {
                if (mine(item) && known.addIfNew(item.key, item.telling))
                    isNew[i] = true;
                ++i;
            });
            !e.ok())
            return e;
    }
    known.clear();
    // Theirs' new ones are ours now.
    size_t i = 0;
    OsError added;
    const OsError e = theirs_.forEach([&](const Item& item) {
        if (isNew[i++] && added.ok())
            added = ours_.add(item, folder_);
    });
    theirs_.clear();
    return e.ok() ? added : e;
}

} // namespace tavrelo::logfile
