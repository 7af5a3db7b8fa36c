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
    // Up to KeptBlocks stay for the next lookup (two hold the rows of half
    // a million lines, and their order); more go back to the system, so
    // that a lookup of every line leaves no trace.
    void give(char* block) {
        const std::lock_guard lock(mutex_);
        if (free_.size() >= KeptBlocks) {
            delete[] block;
            return;
        }
        free_.push_back(block);
    }
    static constexpr size_t KeptBlocks = 2;
    ~BlockPool() {
        for (char* block : free_)
            delete[] block;
    }

private:
    std::mutex mutex_;
    std::vector<char*> free_;
};

} // namespace

namespace {
// From this many lines on, the order is made on two threads.
std::atomic<size_t> manyLines{size_t(1) << 18};
// Each line's moment (38 bits), then its line number, in one key: sorted
// descending, the keys are the rows, newest first and the later line first
// among equal times.
constexpr int IndexBits = 26;
constexpr quint64 LineMask = (quint64(1) << IndexBits) - 1;

// The order key of a line: a line whose moment does not parse takes the
// one of the line before, which previous carries from line to line.
quint64 orderKey(const char* begin, const char* end, qsizetype line, quint64& previous) {
    const quint64 moment = logfile::contactMoment(begin, end);
    if (moment)
        previous = moment;
    return previous << IndexBits | quint64(line);
}
// The count best of n distinct keys, best first: one pass that skips every
// key not better than the worst of those kept so far, and trims the kept
// ones back to count whenever twice that many have gathered. fromEnd reads
// the keys from the last: in a log mostly in time order the newest are at
// its end, the oldest at its start, and once the first few are kept nearly
// every other key is skipped at one comparison.
template <typename Better>
std::vector<quint64> best(const quint64* keys, size_t n, size_t count, bool fromEnd,
                          Better better) {
    std::vector<quint64> kept;
    kept.reserve(2 * count);
    bool trimmed = false;
    quint64 worst = 0;
    for (size_t j = 0; j < n; ++j) {
        const quint64 key = keys[fromEnd ? n - 1 - j : j];
        if (trimmed && !better(key, worst))
            continue;
        kept.push_back(key);
        if (kept.size() == 2 * count) {
            std::nth_element(kept.begin(), kept.begin() + ptrdiff_t(count - 1), kept.end(), better);
            kept.resize(count);
            worst = kept.back();
            trimmed = true;
        }
    }
    std::sort(kept.begin(), kept.end(), better);
    if (kept.size() > count)
        kept.resize(count);
    return kept;
}

} // namespace

Matches::~Matches() {
    BlockPool& pool = BlockPool::instance();
    for (quint64* chunk : index_)
        pool.give(reinterpret_cast<char*>(chunk));
    for (quint32* chunk : order_)
        pool.give(reinterpret_cast<char*>(chunk));
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
        index_.push_back(reinterpret_cast<quint64*>(BlockPool::instance().take()));
    index_.back()[count_ % IndexChunk] =
        quint64(offset) << 24 | checkOf(begin, keep) << 13 | quint64(keep);
    if (length > MaxPaneLineBytes)
        longLines_.push_back({count_, length, offset, hashOf(begin, length)});
    // The line's moment and number for the order, while its bytes are at
    // hand; a line whose moment does not parse takes the one of the line
    // before. More lines than the key's bits can number stay in file order
    // (no memory holds that many matches anyway).
    if (keys_ && count_ < (qsizetype(1) << IndexBits)) {
        const quint64 before = previousMoment_;
        keys_->push_back(orderKey(begin, end, count_, previousMoment_));
        inOrder_ = inOrder_ && previousMoment_ >= before;
    }
    ++count_;
}

void Matches::append(Matches& later) {
    const qsizetype base = count_;
    // Each of later's blocks goes back to the pool once copied, for the
    // next block here to be taken from: no more memory than a block more.
    BlockPool& pool = BlockPool::instance();
    const qsizetype n = std::exchange(later.count_, 0);
    for (qsizetype line = 0; line < n; ++line, ++count_) {
        if (count_ % IndexChunk == 0)
            index_.push_back(reinterpret_cast<quint64*>(pool.take()));
        quint64*& block = later.index_[size_t(line / IndexChunk)];
        index_.back()[count_ % IndexChunk] = block[line % IndexChunk];
        if ((line + 1) % IndexChunk == 0 || line + 1 == n) {
            pool.give(reinterpret_cast<char*>(block));
            block = nullptr;
        }
    }
    later.index_.clear();
    for (LongLine l : later.longLines_) {
        l.line += base;
        longLines_.push_back(l);
    }
    // The keys of the later lines as if added here: their numbers after
    // these lines', and the first ones, whose moments do not parse, take
    // the one of the last line here.
    if (!keys_ || !later.keys_ || keys_->size() != size_t(base) ||
        later.keys_->size() != size_t(n) || count_ > (qsizetype(1) << IndexBits))
        return; // more lines than the keys can number stay in file order
    const quint64 before = previousMoment_;
    quint64 first = 0;
    for (const quint64 key : *later.keys_) {
        const quint64 moment = key >> IndexBits ? key >> IndexBits : before;
        if (!first && key >> IndexBits)
            first = moment;
        keys_->push_back(moment << IndexBits | ((key & LineMask) + quint64(base)));
    }
    inOrder_ = inOrder_ && later.inOrder_ && (!first || first >= before);
    if (later.previousMoment_)
        previousMoment_ = later.previousMoment_;
}

namespace {

// Sorts keys by their bits from lowBits up, keeping the order of equal
// ones: passes of 13 bits, a pass skipped where every key has the same
// digit. Returns the one of the two buffers that holds the result.
quint64* radixSortHigh(quint64* keys, quint64* other, size_t n, int lowBits) {
    constexpr int DigitBits = 13;
    constexpr quint64 DigitMask = (quint64(1) << DigitBits) - 1;
    std::vector<size_t> counts((size_t(1) << DigitBits) + 1);
    for (int shift = lowBits; shift < 64; shift += DigitBits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (size_t i = 0; i < n; ++i)
            ++counts[((keys[i] >> shift) & DigitMask) + 1];
        if (std::find(counts.begin(), counts.end(), n) != counts.end())
            continue;
        for (size_t b = 1; b < counts.size(); ++b)
            counts[b] += counts[b - 1];
        for (size_t i = 0; i < n; ++i)
            other[counts[(keys[i] >> shift) & DigitMask]++] = keys[i];
        std::swap(keys, other);
    }
    return keys;
}

// The sort's working memory, kept by the thread for its next lookup: its
// pages are then already there, rather than faulted in anew each time.
struct SortBuffers {
    std::vector<quint64> keys, other;
};
thread_local SortBuffers sortBuffers;

// Once the rows are in order: buffers larger than a few screens of an
// ordinary lookup go back to the system.
void trimSortBuffers() {
    constexpr size_t Kept = size_t(1) << 20; // 8 MiB each
    for (std::vector<quint64>* v : {&sortBuffers.keys, &sortBuffers.other}) {
        if (v->capacity() > Kept) {
            v->clear();
            v->shrink_to_fit();
        }
    }
}

} // namespace

qsizetype splitOrders(qsizetype fromLines) {
    return qsizetype(manyLines.exchange(size_t(fromLines)));
}

void Matches::collectKeys(std::vector<quint64>* keys) {
    keys_ = keys ? keys : &sortBuffers.keys;
    keys_->clear();
}

void Matches::reserveKeys(size_t lines) {
    if (keys_)
        keys_->reserve(lines);
}

void Matches::makeKeys(quint64* keys) const {
    quint64 previous = 0;
    const Log log(*this);
    for (qsizetype line = 0; line < count_; ++line) {
        const QByteArray k = kept(log, line);
        keys[line] = orderKey(k.constBegin(), k.constEnd(), line, previous);
    }
}

void Matches::fillOrder(quint64* keys, quint64* other) const {
    // A stable sort by time keeps the file order among equal times: sorted,
    // the keys (each with its own line number) go from the oldest to the
    // newest, the later line last among equal times. Many keys are sorted
    // in two halves at once, on two threads, and the halves merged.
    const size_t n = size_t(count_);
    const size_t half = n >= manyLines.load(std::memory_order_relaxed) ? n / 2 : n;
    auto second = std::async(half < n ? std::launch::async : std::launch::deferred, [&] {
        return radixSortHigh(keys + half, other + half, n - half, IndexBits);
    });
    const quint64* a = radixSortHigh(keys, other, half, IndexBits);
    const quint64* b = second.get();
    // Newest first: from the ends of both halves.
    size_t i = half, j = n - half;
    for (size_t r = 0; r < n; ++r) {
        const quint64 key = j == 0 || (i > 0 && a[i - 1] > b[j - 1]) ? a[--i] : b[--j];
        if (r % size_t(OrderChunk) == 0)
            order_.push_back(reinterpret_cast<quint32*>(BlockPool::instance().take()));
        order_.back()[r % size_t(OrderChunk)] = quint32(key & LineMask);
    }
}

void Matches::order(const std::atomic<bool>* stop) {
    std::vector<quint64>* collected = std::exchange(keys_, nullptr);
    if (!collected || size_t(count_) != collected->size() || inOrder_ ||
        (stop && stop->load(std::memory_order_relaxed))) {
        if (collected == &sortBuffers.keys)
            trimSortBuffers();
        return;
    }
    const size_t n = size_t(count_);
    const quint64* keys = collected->data();
    // The first and the last screens at once, the last on a second thread
    // when there are many lines; the rest by finishOrder().
    auto oldest = std::async(n >= manyLines.load(std::memory_order_relaxed) ? std::launch::async
                                                                            : std::launch::deferred,
                             [&] { return best(keys, n, EdgeRows, false, std::less<>()); });
    for (quint64 k : best(keys, n, EdgeRows, true, std::greater<>()))
        head_.push_back(quint32(k & LineMask));
    for (quint64 k : oldest.get())
        tail_.push_back(quint32(k & LineMask));
    outOfOrder_ = true;
    orderPending_ = true;
    orderReady_ = orderPromise_.get_future().share();
}

void Matches::finishOrder(const std::atomic<bool>* stop) {
    if (!orderPending_)
        return;
    orderPending_ = false;
    // Superseded: whoever still asks for a middle row sorts for itself.
    if (!(stop && stop->load(std::memory_order_relaxed))) {
        SortBuffers& buffers = sortBuffers;
        if (buffers.other.size() < buffers.keys.size())
            buffers.other.resize(buffers.keys.size());
        fillOrder(buffers.keys.data(), buffers.other.data());
    }
    trimSortBuffers();
    orderPromise_.set_value();
}

qsizetype Matches::middleLine(qsizetype r) const {
    if (!orderKnown_) {
        orderReady_.wait();
        if (order_.empty()) {
            const auto n = static_cast<size_t>(count_);
            std::vector<quint64> keys(n), other(n);
            makeKeys(keys.data());
            fillOrder(keys.data(), other.data());
        }
        orderKnown_ = true;
    }
    return qsizetype(order_[size_t(r / OrderChunk)][r % OrderChunk]);
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
