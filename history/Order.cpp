// SPDX-License-Identifier: GPL-3.0-or-later
// The rows' order: newest first, by the contacts' date and time.
#include "CallHistory.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <future>
#include <utility>
#include <vector>

namespace tavrelo::history {

namespace {

// From this many lines on, the order is made on two threads.
std::atomic<size_t> manyLines{size_t(1) << 18};
// Each line's moment (38 bits), then its line number, in one key: sorted,
// the keys go from the oldest line to the newest, the later line last
// among equal times. More lines than the key's bits can number stay in
// file order (no memory holds that many matches anyway).
constexpr int IndexBits = 26;
constexpr quint64 LineMask = (quint64(1) << IndexBits) - 1;
constexpr qsizetype MostLines = qsizetype(1) << IndexBits;

// The order key of a line: a line whose moment does not parse takes the
// one of the line before, which previous carries from line to line.
quint64 orderKey(const char* begin, const char* end, qsizetype line, quint64& previous) {
    const quint64 moment = logfile::contactMoment(begin, end);
    if (moment)
        previous = moment;
    return previous << IndexBits | quint64(line);
}

// The keys of a lookup's lines, in blocks as the lines' places are, seen as
// one array.
class Keys {
public:
    explicit Keys(const std::vector<quint64*>& blocks) : blocks_(blocks.data()) {}
    quint64& operator[](size_t i) const {
        return blocks_[i >> Matches::ChunkBits][i & ((size_t(1) << Matches::ChunkBits) - 1)];
    }

private:
    quint64* const* blocks_;
};

// The count best of n distinct keys, best first: one pass that skips every
// key not better than the worst of those kept so far, and trims the kept
// ones back to count whenever twice that many have gathered. fromEnd reads
// the keys from the last: in a log mostly in time order the newest are at
// its end, the oldest at its start, and once the first few are kept nearly
// every other key is skipped at one comparison.
template <typename Better>
std::vector<quint64> best(const std::vector<quint64*>& blocks, size_t n, size_t count, bool fromEnd,
                          Better better) {
    std::vector<quint64> kept;
    kept.reserve(2 * count);
    bool trimmed = false;
    quint64 worst = 0;
    const auto look = [&](quint64 key) {
        if (trimmed && !better(key, worst))
            return;
        kept.push_back(key);
        if (kept.size() == 2 * count) {
            std::nth_element(kept.begin(), kept.begin() + ptrdiff_t(count - 1), kept.end(), better);
            kept.resize(count);
            worst = kept.back();
            trimmed = true;
        }
    };
    constexpr size_t PerBlock = size_t(1) << Matches::ChunkBits;
    for (size_t j = 0; j < blocks.size(); ++j) {
        const size_t b = fromEnd ? blocks.size() - 1 - j : j;
        const quint64* keys = blocks[b];
        const size_t inBlock = std::min(PerBlock, n - b * PerBlock);
        for (size_t i = 0; i < inBlock; ++i)
            look(keys[fromEnd ? inBlock - 1 - i : i]);
    }
    std::sort(kept.begin(), kept.end(), better);
    if (kept.size() > count)
        kept.resize(count);
    return kept;
}

// The sort of distinct keys in place, with no second buffer: an order of
// millions of lines takes no memory beyond its keys. The keys are dealt
// into buckets by the highest few bits in which they differ, and each
// bucket is sorted the same way by the bits below.
constexpr size_t Small = 64; // keys sorted as they are, by comparison

// Deals the keys [from, from + n) into buckets by their bits from shift
// below hiBit (those above are the same in every key); returns where each
// bucket ends. Array: Keys, or a plain pointer for keys within one block.
template <typename Array>
std::vector<size_t> deal(const Array& keys, size_t from, size_t n, int hiBit, int& shift) {
    // About eight keys a bucket, and at most 2048 buckets, whose counts
    // then stay in the processor's nearest cache.
    const int digitBits = std::min(std::clamp(int(std::bit_width(n)) - 3, 4, 11), hiBit);
    shift = hiBit - digitBits;
    const size_t buckets = size_t(1) << digitBits;
    const auto digit = [&](quint64 key) { return size_t(key >> shift) & (buckets - 1); };
    std::vector<size_t> next(buckets + 1, 0), ends(buckets);
    for (size_t i = from; i < from + n; ++i)
        ++next[digit(keys[i]) + 1];
    next[0] = from;
    for (size_t b = 1; b <= buckets; ++b)
        next[b] += next[b - 1];
    std::copy(next.begin() + 1, next.end(), ends.begin());
    // Each key goes to the next free place of its bucket, in passes over
    // the places of the buckets not yet filled: the key that comes back in
    // its stead waits for the next pass. The swaps of a pass do not wait
    // for one another, so the processor makes many at once; once all but
    // one bucket are filled, so is that one.
    std::vector<size_t> open;
    for (size_t b = 0; b < buckets; ++b) {
        if (next[b] < ends[b])
            open.push_back(b);
    }
    while (open.size() > 1) {
        size_t stillOpen = 0;
        for (const size_t b : open) {
            for (size_t at = next[b], to = ends[b]; at < to; ++at)
                std::swap(keys[at], keys[next[digit(keys[at])]++]);
            if (next[b] < ends[b])
                open[stillOpen++] = b;
        }
        open.resize(stillOpen);
    }
    return ends;
}

void sortKeys(quint64* keys, size_t n, int hiBit) {
    if (n <= Small) {
        std::sort(keys, keys + n);
        return;
    }
    if (hiBit <= 0)
        return; // all the same: not distinct keys
    int shift = 0;
    const std::vector<size_t> ends = deal(keys, 0, n, hiBit, shift);
    for (size_t b = 0, start = 0; b < ends.size(); start = ends[b++])
        sortKeys(keys + start, ends[b] - start, shift);
}

// The same for keys that may lie in two blocks.
void sortKeys(const Keys& keys, size_t from, size_t n, int hiBit) {
    constexpr size_t BlockMask = (size_t(1) << Matches::ChunkBits) - 1;
    if (n == 0)
        return;
    if ((from & ~BlockMask) == ((from + n - 1) & ~BlockMask)) {
        sortKeys(&keys[from], n, hiBit);
        return;
    }
    if (hiBit <= 0)
        return;
    int shift = 0;
    const std::vector<size_t> ends = deal(keys, from, n, hiBit, shift);
    for (size_t b = 0, start = from; b < ends.size(); start = ends[b++])
        sortKeys(keys, start, ends[b] - start, shift);
}

// The keys [from, from + n): from the highest bit in which they differ.
void sortRange(const Keys& keys, size_t from, size_t n) {
    quint64 differ = 0;
    for (size_t i = from + 1; i < from + n; ++i)
        differ |= keys[i] ^ keys[from];
    sortKeys(keys, from, n, std::bit_width(differ));
}

} // namespace

qsizetype splitOrders(qsizetype fromLines) {
    return qsizetype(manyLines.exchange(size_t(fromLines)));
}

void Matches::noteKey(const char* begin, const char* end) {
    if (count_ >= MostLines) {
        dropKeys();
        return;
    }
    if (count_ % IndexChunk == 0)
        keys_.push_back(reinterpret_cast<quint64*>(takeBlock()));
    const quint64 before = previousMoment_;
    keys_.back()[count_ % IndexChunk] = orderKey(begin, end, count_, previousMoment_);
    inOrder_ = inOrder_ && previousMoment_ >= before;
}

void Matches::dropKeys() {
    for (quint64* block : std::exchange(keys_, {}))
        giveBlock(block);
    collecting_ = false;
}

void Matches::appendKeys(Matches& later) {
    const qsizetype base = count_, n = later.count_;
    if (!collecting_ || !later.collecting_ || base + n > MostLines) {
        dropKeys();
        later.dropKeys();
        return;
    }
    // The keys of the later lines as if added here: their numbers after
    // these lines', and the first ones, whose moments do not parse, take
    // the one of the last line here. Each of later's blocks goes back to
    // the pool once copied.
    const quint64 before = previousMoment_;
    quint64 first = 0;
    for (qsizetype line = 0; line < n; ++line) {
        const qsizetype at = base + line;
        if (at % IndexChunk == 0)
            keys_.push_back(reinterpret_cast<quint64*>(takeBlock()));
        quint64*& block = later.keys_[size_t(line / IndexChunk)];
        const quint64 key = block[line % IndexChunk];
        const quint64 moment = key >> IndexBits ? key >> IndexBits : before;
        if (!first && key >> IndexBits)
            first = moment;
        keys_.back()[at % IndexChunk] = moment << IndexBits | ((key & LineMask) + quint64(base));
        if ((line + 1) % IndexChunk == 0 || line + 1 == n)
            giveBlock(std::exchange(block, nullptr));
    }
    later.keys_.clear();
    inOrder_ = inOrder_ && later.inOrder_ && (!first || first >= before);
    if (later.previousMoment_)
        previousMoment_ = later.previousMoment_;
}

std::vector<quint64*> Matches::makeKeys() const {
    std::vector<quint64*> keys;
    quint64 previous = 0;
    const Log log(*this);
    for (qsizetype line = 0; line < count_; ++line) {
        if (line % IndexChunk == 0)
            keys.push_back(reinterpret_cast<quint64*>(takeBlock()));
        const QByteArray k = kept(log, line);
        keys.back()[line % IndexChunk] = orderKey(k.constBegin(), k.constEnd(), line, previous);
    }
    return keys;
}

void Matches::fillOrder(std::vector<quint64*> keys) const {
    // Many keys are sorted in two halves at once, on two threads, split
    // where a block ends, and the halves merged into the order, oldest
    // first: each block of keys goes back to the pool once the merge is
    // past it, so that the order takes hardly more room than the keys did.
    const size_t n = size_t(count_);
    const bool two = n >= manyLines.load(std::memory_order_relaxed);
    size_t half = two ? n / 2 : n;
    if (two && half > size_t(IndexChunk))
        half -= half % size_t(IndexChunk);
    const Keys all(keys);
    auto second = std::async(two ? std::launch::async : std::launch::deferred,
                             [&] { sortRange(all, half, n - half); });
    sortRange(all, 0, half);
    second.get();
    // The merge goes through the blocks a stretch at a time: as far as
    // the current blocks of both halves and of the order reach.
    constexpr size_t Chunk = size_t(IndexChunk);
    const auto blockEnd = [&](size_t at, size_t end) {
        return std::min(end, (at / Chunk + 1) * Chunk);
    };
    quint32* out = nullptr;
    for (size_t p = 0, i = 0, j = half; p < n;) {
        if (p % size_t(OrderChunk) == 0)
            order_.push_back(out = reinterpret_cast<quint32*>(takeBlock()));
        const size_t outEnd = std::min(n, (p / size_t(OrderChunk) + 1) * size_t(OrderChunk));
        const size_t aEnd = i < half ? blockEnd(i, half) : i;
        const size_t bEnd = j < n ? blockEnd(j, n) : j;
        quint32* o = out + p % size_t(OrderChunk);
        if (i < half && j < n) {
            const quint64* a = &all[i];
            const quint64* b = &all[j];
            size_t ia = 0, ib = 0;
            const size_t na = aEnd - i, nb = bEnd - j, no = outEnd - p;
            while (ia < na && ib < nb && ia + ib < no) {
                const quint64 x = a[ia], y = b[ib];
                const bool fromA = x < y; // no branch: the halves interleave at random
                o[ia + ib] = quint32((fromA ? x : y) & LineMask);
                ia += fromA;
                ib += !fromA;
            }
            i += ia;
            j += ib;
            p += ia + ib;
        } else {
            // One half left: the rest of its block, as far as the order's.
            size_t& at = i < half ? i : j;
            const size_t count = std::min((i < half ? aEnd : bEnd) - at, outEnd - p);
            const quint64* from = &all[at];
            for (size_t k = 0; k < count; ++k)
                o[k] = quint32(from[k] & LineMask);
            at += count;
            p += count;
        }
        // A block of keys wholly in one half, and now wholly merged, goes
        // back to the pool.
        for (const size_t end :
             {i == aEnd && aEnd <= half ? aEnd : 0, j == bEnd && bEnd >= half + Chunk ? bEnd : 0}) {
            if (end % Chunk == 0 && end > 0 && keys[end / Chunk - 1])
                giveBlock(std::exchange(keys[end / Chunk - 1], nullptr));
        }
    }
    for (quint64* block : keys) {
        if (block)
            giveBlock(block);
    }
}

void Matches::order(const std::atomic<bool>* stop) {
    const bool keyed = std::exchange(collecting_, false) && count_ > 0;
    if (!keyed || inOrder_ || (stop && stop->load(std::memory_order_relaxed))) {
        dropKeys();
        return;
    }
    const size_t n = size_t(count_);
    // The first and the last screens at once, the last on a second thread
    // when there are many lines; the rest by finishOrder().
    auto oldest = std::async(n >= manyLines.load(std::memory_order_relaxed) ? std::launch::async
                                                                            : std::launch::deferred,
                             [&] { return best(keys_, n, EdgeRows, false, std::less<>()); });
    for (quint64 k : best(keys_, n, EdgeRows, true, std::greater<>()))
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
    if (!(stop && stop->load(std::memory_order_relaxed)))
        fillOrder(std::exchange(keys_, {}));
    dropKeys();
    orderPromise_.set_value();
}

qsizetype Matches::middleLine(qsizetype r) const {
    if (!orderKnown_) {
        orderReady_.wait();
        if (order_.empty())
            fillOrder(makeKeys());
        orderKnown_ = true;
    }
    const qsizetype p = size() - 1 - r; // the order goes from the oldest row
    return qsizetype(order_[size_t(p / OrderChunk)][p % OrderChunk]);
}

} // namespace tavrelo::history
