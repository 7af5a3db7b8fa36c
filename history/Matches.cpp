// SPDX-License-Identifier: GPL-3.0-or-later
// The lines a lookup found: their places in the log, their order, their rows.
#include "CallHistory.h"

#include "OpenLog.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::history {

namespace {

// Where a line too long for the pane is cut: at most that many bytes, and
// never inside a UTF-8 sequence.
const char* paneCut(const char* begin, const char* end) {
    if (end - begin <= MaxPaneLineBytes)
        return end;
    const char* cut = begin + MaxPaneLineBytes;
    for (int i = 0; i < 3 && (static_cast<unsigned char>(*cut) & 0xC0) == 0x80; ++i)
        --cut;
    return cut;
}

QString cutNote(qsizetype lineBytes) {
    return QStringLiteral(" \u2026 [line of %1 bytes cut short]").arg(lineBytes);
}

// The blocks of finished lookups, kept for the next ones.
class BlockPool {
public:
    static BlockPool& instance() {
        static BlockPool pool;
        return pool;
    }
    char* take() {
        const std::lock_guard lock(mutex_);
        if (free_.empty())
            return new char[Matches::BlockBytes];
        char* block = free_.back();
        free_.pop_back();
        return block;
    }
    // Up to KeptBlocks stay for the next lookup (they hold the places of a
    // million lines); more go back to the system, so that a lookup of every
    // line leaves no trace.
    void give(char* block) {
        if (!block)
            return;
        const std::lock_guard lock(mutex_);
        if (free_.size() >= KeptBlocks) {
            delete[] block;
            return;
        }
        free_.push_back(block);
    }
    static constexpr size_t KeptBlocks = 8;
    ~BlockPool() {
        for (char* block : free_)
            delete[] block;
    }

private:
    std::mutex mutex_;
    std::vector<char*> free_;
};

} // namespace

char* Matches::takeBlock() {
    return BlockPool::instance().take();
}

void Matches::giveBlock(void* block) {
    BlockPool::instance().give(static_cast<char*>(block));
}

Matches::~Matches() {
    for (quint64* chunk : index_)
        giveBlock(chunk);
    for (quint64* chunk : keys_)
        giveBlock(chunk);
    for (quint32* chunk : order_)
        giveBlock(chunk);
}

bool Matches::readFrom(const QString& logPath) {
    struct stat st;
    if (::stat(QFile::encodeName(logPath).constData(), &st) != 0)
        return false;
    path_ = logPath;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    size_ = st.st_size;
    return true;
}

bool Matches::forEachLine(
    const std::function<void(const char*, const char*, qint64)>& onLine) const {
    const Log log(*this);
    if (log.fd < 0)
        return false;
    QByteArray bytes;
    for (qsizetype line = 0; line < count_; ++line) {
        const quint64 entry = index_[size_t(line / IndexChunk)][line % IndexChunk];
        const qint64 offset = qint64(entry >> 24);
        const LongLine* longOne = keptSize(line) > MaxPaneLineBytes ? longLine(line) : nullptr;
        const qsizetype length = longOne ? qsizetype(longOne->length) : keptSize(line);
        bytes.resize(length);
        if (logfile::readAt(log.fd, bytes.data(), length, offset) != length)
            return false;
        const bool same = longOne ? hashOf(bytes.constData(), length) == longOne->hash
                                  : checkOf(bytes.constData(), length) == ((entry >> 13) & 0x7FF);
        if (!same)
            return false;
        onLine(bytes.constData(), bytes.constData() + length, offset);
    }
    return true;
}

// The log, open only while rows are read from it (an open file would keep
// its folder from being unmounted), or -1 when it is no longer the file
// the lines were found in.
Matches::Log::Log(const Matches& m) {
    OsError error;
    struct stat st;
    fd = logfile::openLog(m.path_, O_RDONLY, QStringLiteral("read"), error, nullptr, &st);
    if (fd >= 0 && (quint64(st.st_dev) != m.device_ || quint64(st.st_ino) != m.inode_)) {
        ::close(fd);
        fd = -1;
    }
}

Matches::Log::~Log() {
    if (fd >= 0)
        ::close(fd);
}

size_t Matches::hashOf(const char* begin, qsizetype size) {
    // The standard library's: Qt's hash of bytes is several times slower.
    return std::hash<std::string_view>()(std::string_view(begin, size_t(size)));
}

quint64 Matches::checkOf(const char* begin, qsizetype size) {
    // Asked of every line found, so cheaper than a hash: the sum of the
    // line's 8-byte words and the sum of those sums, which also tells where
    // each word stood, mixed down to 11 bits. A line changed, moved or cut
    // short passes it about once in 2048 times.
    quint64 sum = quint64(size), sums = 0;
    const auto add = [&](quint64 word) {
        sum += word;
        sums += sum;
    };
    const auto wordAt = [](const char* p) {
        quint64 word;
        memcpy(&word, p, sizeof word);
        return word;
    };
    if (size >= 8) {
        qsizetype i = 0;
        for (; i + 8 <= size; i += 8)
            add(wordAt(begin + i));
        if (i < size) // the last bytes, in a word that overlaps the one before
            add(wordAt(begin + size - 8));
    } else {
        quint64 word = 0;
        for (qsizetype i = 0; i < size; ++i)
            word |= quint64(static_cast<unsigned char>(begin[i])) << (8 * i);
        add(word);
    }
    return ((sum ^ (sums * 0x9E3779B97F4A7C15)) * 0xFF51AFD7ED558CCD) >> 53;
}

void Matches::add(const char* begin, const char* end, qint64 offset) {
    const qsizetype length = end - begin;
    // One byte past the pane's cut, to tell whether it falls inside a character.
    const qsizetype keep = std::min(length, MaxPaneLineBytes + 1);
    if (count_ % IndexChunk == 0)
        index_.push_back(reinterpret_cast<quint64*>(takeBlock()));
    index_.back()[count_ % IndexChunk] =
        quint64(offset) << 24 | checkOf(begin, keep) << 13 | quint64(keep);
    if (length > MaxPaneLineBytes)
        longLines_.push_back({count_, length, offset, hashOf(begin, length)});
    if (collecting_)
        noteKey(begin, end); // while the line's bytes are at hand
    ++count_;
}

void Matches::append(Matches& later) {
    const qsizetype base = count_;
    appendKeys(later);
    // Each of later's blocks goes back to the pool once copied, for the
    // next block here to be taken from: no more memory than a block more.
    const qsizetype n = std::exchange(later.count_, 0);
    for (qsizetype line = 0; line < n; ++line, ++count_) {
        if (count_ % IndexChunk == 0)
            index_.push_back(reinterpret_cast<quint64*>(takeBlock()));
        quint64*& block = later.index_[size_t(line / IndexChunk)];
        index_.back()[count_ % IndexChunk] = block[line % IndexChunk];
        if ((line + 1) % IndexChunk == 0 || line + 1 == n)
            giveBlock(std::exchange(block, nullptr));
    }
    later.index_.clear();
    for (LongLine l : later.longLines_) {
        l.line += base;
        longLines_.push_back(l);
    }
}

QByteArray Matches::kept(const Log& log, qsizetype line) const {
    const quint64 entry = index_[size_t(line / IndexChunk)][line % IndexChunk];
    QByteArray bytes(qsizetype(entry & KeptMask), Qt::Uninitialized);
    if (log.fd < 0 ||
        logfile::readAt(log.fd, bytes.data(), bytes.size(), qint64(entry >> 24)) != bytes.size() ||
        checkOf(bytes.constData(), bytes.size()) != ((entry >> 13) & 0x7FF))
        return {};
    return bytes;
}

namespace {

QString changedNote() {
    return QStringLiteral("[The log has changed since this history was shown: type the call "
                          "again]");
}

} // namespace

const Matches::LongLine* Matches::longLine(qsizetype line) const {
    const auto it = std::lower_bound(longLines_.begin(), longLines_.end(), line,
                                     [](const LongLine& l, qsizetype n) { return l.line < n; });
    return it != longLines_.end() && it->line == line ? &*it : nullptr;
}

QString Matches::row(qsizetype r) const {
    return row(Log(*this), r);
}

QString Matches::row(const Log& log, qsizetype r) const {
    const qsizetype line = lineOfRow(r);
    const QByteArray k = kept(log, line);
    if (k.isEmpty() != (keptSize(line) == 0))
        return changedNote();
    QString text = logfile::decodeLine(k.constBegin(), paneCut(k.constBegin(), k.constEnd()));
    if (k.size() > MaxPaneLineBytes)
        text += cutNote(longLine(line)->length);
    return text;
}

std::optional<Matches::CutRow> Matches::cutRow(qsizetype r) const {
    const qsizetype line = lineOfRow(r);
    if (keptSize(line) <= MaxPaneLineBytes)
        return std::nullopt;
    const QByteArray k = kept(Log(*this), line);
    const LongLine* l = longLine(line);
    return CutRow{logfile::decodeLine(k.constBegin(), paneCut(k.constBegin(), k.constEnd())).size(),
                  l->offset, l->length, l->hash};
}

OsError Matches::wholeRow(qsizetype r, const QString& logPath, QString& text) const {
    const std::optional<CutRow> cut = cutRow(r);
    if (!cut) {
        text = row(r);
        return {};
    }
    QByteArray bytes;
    if (OsError error = logfile::readLogBytes(logPath, cut->offset, cut->length, bytes);
        !error.ok())
        return error;
    if (bytes.size() != cut->length || hashOf(bytes.constData(), bytes.size()) != cut->hash)
        return OsError::because(
            QStringLiteral("copy a long line of the history"), logPath,
            QStringLiteral("The log has changed since the history was shown, and no longer holds "
                           "that line where it was. Type the call again to show the history anew"));
    text = logfile::decodeLine(bytes.constBegin(), bytes.constEnd());
    return {};
}

QString Matches::text(qsizetype first, qsizetype last) const {
    qsizetype room = 0;
    for (qsizetype r = first; r <= last; ++r)
        room += keptSize(lineOfRow(r)) + 2;
    QString text;
    text.reserve(room);
    const Log log(*this);
    for (qsizetype r = first; r <= last; ++r) {
        text += row(log, r);
        text += QLatin1String("\r\n");
    }
    return text;
}

} // namespace tavrelo::history
