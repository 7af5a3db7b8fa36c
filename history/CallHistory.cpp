// SPDX-License-Identifier: GPL-3.0-or-later
#include "CallHistory.h"

#include "OpenLog.h"

#include <QFile>

#include <QHashFunctions>

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#define TAVRELO_X86_SEARCH 1
#include <immintrin.h>
#endif
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelo::history {

namespace {

constexpr unsigned char foldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

struct FoldTable {
    unsigned char map[256];
    constexpr FoldTable() : map() {
        for (int i = 0; i < 256; ++i)
            map[i] = foldAscii(static_cast<unsigned char>(i));
    }
};
constexpr FoldTable foldTable;

bool equalsFolded(const char* text, const QByteArray& needle) {
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    const auto* n = reinterpret_cast<const unsigned char*>(needle.constData());
    for (qsizetype i = 0; i < needle.size(); ++i) {
        if (foldTable.map[t[i]] != n[i])
            return false;
    }
    return true;
}

bool isAsciiLetter(unsigned char c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

#ifdef TAVRELO_X86_SEARCH
// A lower-case letter is matched by (byte | 0x20) == letter, which holds for
// exactly its two cases; any other byte is matched exactly.
unsigned char caseMask(unsigned char folded) {
    return isAsciiLetter(folded) ? 0x20 : 0x00;
}
#endif

bool hasNonAscii(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80)
            return true;
    }
    return false;
}

// The search for any processor: the C library's memchr, vectorised on each,
// looks for one byte of the needle (both cases of a letter), the one rarest
// in the log, and the whole needle is compared only there.
const char* findPortable(const char* begin, const char* end, const QByteArray& needle,
                         qsizetype anchor) {
    const qsizetype k = needle.size();
    const auto a = static_cast<unsigned char>(needle[anchor]);
    const bool letter = isAsciiLetter(a);
    const int lower = letter ? (a | 0x20) : a, upper = letter ? (a & ~0x20) : a;
    const char* from = begin + anchor;
    const char* last = end - (k - anchor) + 1; // anchors at or past it do not fit
    auto next = [&](int byte, const char* p) -> const char* {
        if (p >= last)
            return nullptr;
        return static_cast<const char*>(memchr(p, byte, size_t(last - p)));
    };
    const char* lo = next(lower, from);
    const char* up = letter ? next(upper, from) : nullptr;
    while (lo || up) {
        const char* hit = !up || (lo && lo < up) ? lo : up;
        if (equalsFolded(hit - anchor, needle))
            return hit - anchor;
        if (hit == lo)
            lo = next(lower, lo + 1);
        else
            up = next(upper, up + 1);
    }
    return nullptr;
}

#ifdef TAVRELO_X86_SEARCH
// The shared tail of both vector searches: the last few start positions,
// too close to the end for a full vector, one by one.
const char* findScalar(const char* p, const char* end, const QByteArray& needle) {
    for (; end - p >= needle.size(); ++p) {
        if (equalsFolded(p, needle))
            return p;
    }
    return nullptr;
}

// Both searches look for the needle's first and last bytes at many start
// positions at once and compare the whole needle only where both agree.
// Both loads stay inside [begin, end): p + (k - 1) + width <= end.
const char* findSse2(const char* begin, const char* end, const QByteArray& needle) {
    const qsizetype k = needle.size();
    const auto first = static_cast<unsigned char>(needle[0]);
    const auto last = static_cast<unsigned char>(needle[k - 1]);
    const __m128i firstV = _mm_set1_epi8(char(first)), lastV = _mm_set1_epi8(char(last));
    const __m128i firstM = _mm_set1_epi8(char(caseMask(first)));
    const __m128i lastM = _mm_set1_epi8(char(caseMask(last)));
    const char* p = begin;
    for (; end - p >= k - 1 + 16; p += 16) {
        const __m128i a =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), firstM);
        const __m128i z =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k - 1)), lastM);
        unsigned mask = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firstV), _mm_cmpeq_epi8(z, lastV))));
        for (; mask; mask &= mask - 1) {
            const char* candidate = p + std::countr_zero(mask);
            if (equalsFolded(candidate, needle))
                return candidate;
        }
    }
    return findScalar(p, end, needle);
}

__attribute__((target("avx2"))) const char* findAvx2(const char* begin, const char* end,
                                                     const QByteArray& needle) {
    const qsizetype k = needle.size();
    const auto first = static_cast<unsigned char>(needle[0]);
    const auto last = static_cast<unsigned char>(needle[k - 1]);
    const __m256i firstV = _mm256_set1_epi8(char(first)), lastV = _mm256_set1_epi8(char(last));
    const __m256i firstM = _mm256_set1_epi8(char(caseMask(first)));
    const __m256i lastM = _mm256_set1_epi8(char(caseMask(last)));
    const char* p = begin;
    for (; end - p >= k - 1 + 32; p += 32) {
        const __m256i a =
            _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), firstM);
        const __m256i z =
            _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k - 1)), lastM);
        unsigned mask = unsigned(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, firstV), _mm256_cmpeq_epi8(z, lastV))));
        for (; mask; mask &= mask - 1) {
            const char* candidate = p + std::countr_zero(mask);
            if (equalsFolded(candidate, needle))
                return candidate;
        }
    }
    return findScalar(p, end, needle);
}

const bool haveAvx2 = __builtin_cpu_supports("avx2");
#endif

std::atomic<bool> portableOnly{false};

} // namespace

CallMatcher::CallMatcher(const QString& call) : folded_(call.toCaseFolded()) {
    for (const QChar c : folded_) {
        if (c.unicode() >= 0x80) {
            ascii_ = false;
            break;
        }
    }
    if (ascii_)
        needle_ = folded_.toLatin1();
}

const char* CallMatcher::findAscii(const char* begin, const char* end) const {
    if (size_t(end - begin) < size_t(needle_.size()))
        return nullptr;
#ifdef TAVRELO_X86_SEARCH
    if (!portableOnly.load(std::memory_order_relaxed))
        return haveAvx2 ? findAvx2(begin, end, needle_) : findSse2(begin, end, needle_);
#endif
    if (anchor_ < 0)
        anchor_ = rarestByte(begin, end);
    return findPortable(begin, end, needle_, anchor_);
}

qsizetype CallMatcher::rarestByte(const char* begin, const char* end) const {
    // Counted in the first stretch of the log the matcher sees.
    size_t counts[256] = {};
    const char* stop = begin + std::min<qsizetype>(end - begin, 256 * 1024);
    for (const char* p = begin; p < stop; ++p)
        ++counts[static_cast<unsigned char>(*p)];
    qsizetype best = 0;
    size_t bestCount = SIZE_MAX;
    for (qsizetype i = 0; i < needle_.size(); ++i) {
        const auto c = static_cast<unsigned char>(needle_[i]);
        // A letter costs both its cases, and a second memchr to keep up.
        const size_t count =
            isAsciiLetter(c) ? counts[c | 0x20] + counts[c & ~0x20] + 1 : counts[c];
        if (count < bestCount) {
            best = i;
            bestCount = count;
        }
    }
    return best;
}

void CallMatcher::scan(const char* begin, const char* end, const LineHandler& onMatch) const {
    if (ascii_)
        scanAscii(begin, end, onMatch);
    else
        scanUnicode(begin, end, onMatch);
}

void CallMatcher::scanAscii(const char* begin, const char* end, const LineHandler& onMatch) const {
    if (needle_.isEmpty()) {
        logfile::forEachLine(begin, end, onMatch);
        return;
    }
    if (needle_.contains('\n') || needle_.contains('\r'))
        return; // a line never holds its own end
    const char* lineStart = begin;
    while (const char* hit = findAscii(lineStart, end)) {
        const logfile::LineSpan line = logfile::lineAround(lineStart, end, hit);
        // A hit that reaches into the CR of the line end is not in the line.
        if (hit + needle_.size() <= line.end)
            onMatch(line.begin, line.end);
        if (line.end >= end)
            break;
        lineStart = logfile::nextLine(line.end, end);
    }
}

void CallMatcher::scanUnicode(const char* begin, const char* end,
                              const LineHandler& onMatch) const {
    // The folded call holds a character beyond ASCII, which only a line with
    // a byte beyond ASCII can match; other lines are not decoded.
    logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
        if (hasNonAscii(b, e) && matchesDecoded(b, e))
            onMatch(b, e);
    });
}

bool CallMatcher::matchesDecoded(const char* begin, const char* end) const {
    return logfile::decodeLine(begin, end).contains(folded_, Qt::CaseInsensitive);
}

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
        if (free_.empty()) {
            size_ += Matches::BlockBytes;
            return new char[Matches::BlockBytes];
        }
        char* block = free_.back();
        free_.pop_back();
        return block;
    }
    // Up to KeptBlocks stay for the next lookup; more go back to the
    // system, so that a lookup of every line leaves no trace.
    void give(char* block) {
        const std::lock_guard lock(mutex_);
        if (free_.size() >= KeptBlocks) {
            delete[] block;
            size_ -= Matches::BlockBytes;
            return;
        }
        free_.push_back(block);
    }
    static constexpr size_t KeptBlocks = 4;
    // Fills the pool up to that many bytes, every page touched, so that a
    // lookup never waits for the system to hand out fresh pages.
    void reserve(size_t bytes, const std::atomic<bool>* stop) {
        for (;;) {
            {
                const std::lock_guard lock(mutex_);
                if (size_ >= bytes)
                    return;
            }
            if (stop && stop->load(std::memory_order_relaxed))
                return;
            char* block = new char[Matches::BlockBytes];
            memset(block, 0, Matches::BlockBytes);
            const std::lock_guard lock(mutex_);
            free_.push_back(block);
            size_ += Matches::BlockBytes;
        }
    }
    ~BlockPool() {
        for (char* block : free_)
            delete[] block;
    }

private:
    std::mutex mutex_;
    std::vector<char*> free_;
    size_t size_ = 0; // every block made, in the pool or in use
};

} // namespace

namespace {
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
    if (fd_ >= 0)
        ::close(fd_);
    BlockPool& pool = BlockPool::instance();
    for (quint64* chunk : index_)
        pool.give(reinterpret_cast<char*>(chunk));
    for (quint32* chunk : order_)
        pool.give(reinterpret_cast<char*>(chunk));
}

bool Matches::readFrom(const QString& logPath) {
    OsError error;
    struct stat st;
    fd_ = logfile::openLog(logPath, O_RDONLY, QStringLiteral("read"), error, nullptr, &st);
    if (fd_ < 0)
        return false;
    path_ = logPath;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool Matches::logChanged() const {
    struct stat st;
    return fd_ < 0 || ::stat(QFile::encodeName(path_).constData(), &st) != 0 ||
           quint64(st.st_dev) != device_ || quint64(st.st_ino) != inode_;
}

quint64 Matches::checkOf(const char* begin, qsizetype size) {
    return quint64(qHashBits(begin, size_t(size))) & 0x7FF;
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
        longLines_.push_back({count_, length, offset, qHashBits(begin, size_t(length))});
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

void Matches::collectKeys(std::vector<quint64>* keys) {
    keys_ = keys;
    keys_->clear();
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

void Matches::makeKeys(quint64* keys) const {
    quint64 previous = 0;
    for (qsizetype line = 0; line < count_; ++line) {
        const QByteArray k = kept(line);
        keys[line] = orderKey(k.constBegin(), k.constEnd(), line, previous);
    }
}

void Matches::fillOrder(quint64* keys, quint64* other) const {
    // A stable sort by time keeps the file order among equal times; read
    // backwards it is newest first, the later line first.
    const size_t n = size_t(count_);
    const quint64* sorted = radixSortHigh(keys, other, n, IndexBits);
    for (size_t r = 0; r < n; ++r) {
        if (r % size_t(OrderChunk) == 0)
            order_.push_back(reinterpret_cast<quint32*>(BlockPool::instance().take()));
        order_.back()[r % size_t(OrderChunk)] = quint32(sorted[n - 1 - r] & LineMask);
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
    // The first and the last screens at once; the rest by finishOrder().
    for (quint64 k : best(keys, n, EdgeRows, true, std::greater<>()))
        head_.push_back(quint32(k & LineMask));
    for (quint64 k : best(keys, n, EdgeRows, false, std::less<>()))
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

QByteArray Matches::kept(qsizetype line) const {
    const quint64 entry = index_[size_t(line / IndexChunk)][line % IndexChunk];
    QByteArray bytes(qsizetype(entry & KeptMask), Qt::Uninitialized);
    if (logfile::readAt(fd_, bytes.data(), bytes.size(), qint64(entry >> 24)) != bytes.size() ||
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
    const qsizetype line = lineOfRow(r);
    const QByteArray k = kept(line);
    if (k.isEmpty() != (keptSize(line) == 0) || logChanged())
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
    const QByteArray k = kept(line);
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
    if (bytes.size() != cut->length ||
        qHashBits(bytes.constData(), size_t(bytes.size())) != cut->hash)
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
    for (qsizetype r = first; r <= last; ++r) {
        text += row(r);
        text += QLatin1String("\r\n");
    }
    return text;
}

logfile::ReadResult prepare(const QString& logPath, const std::atomic<bool>* stop) {
    // The log read once, into the system's cache, which the lookups share
    // with every other program; nothing of it is kept here.
    return logfile::readLogBlocks(
        logPath, [](const char*, const char*) {}, logfile::DefaultChunkSize, stop);
}

void usePortableSearch(bool on) {
    portableOnly = on;
}

LookupResult lookUp(const QString& logPath, const QString& call, const std::atomic<bool>* stop,
                    bool orderNow) {
    const CallMatcher matcher(call);
    auto matches = std::make_shared<Matches>();
    matches->collectKeys(&sortBuffers.keys);
    LookupResult result;
    if (!matches->readFrom(logPath)) {
        result.read = logfile::readLogBlocks(logPath, [](const char*, const char*) {});
        return result; // missing, or the reason it cannot be read
    }
    // Blocks come in file order, each one right after the last.
    qint64 blockOffset = 0;
    result.read = logfile::readLogBlocks(
        logPath,
        [&](const char* begin, const char* end) {
            matcher.scan(begin, end, [&](const char* b, const char* e) {
                matches->add(b, e, blockOffset + (b - begin));
            });
            blockOffset += end - begin;
        },
        logfile::DefaultChunkSize, stop);
    if (result.read.status == logfile::ReadStatus::Read) {
        matches->order(stop);
        if (orderNow)
            matches->finishOrder(stop);
    }
    result.matches = std::move(matches);
    return result;
}

} // namespace tavrelo::history
