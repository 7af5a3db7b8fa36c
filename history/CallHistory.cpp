// SPDX-License-Identifier: GPL-3.0-or-later
#include "CallHistory.h"

#include <QHashFunctions>

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#define TAVRELO_X86_SEARCH 1
#include <immintrin.h>
#endif
#include <utility>
#include <vector>

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
        // A text in most lines (a date, a letter group) is found in the
        // line it was looked for from, whose end is all that is to be
        // found then; only a hit further on needs the start of its line.
        const char* firstEnd = logfile::lineEnd(lineStart, end);
        const logfile::LineSpan line = hit < firstEnd ? logfile::LineSpan{lineStart, firstEnd}
                                                      : logfile::lineAround(firstEnd, end, hit);
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

void usePortableSearch(bool on) {
    portableOnly = on;
}

} // namespace tavrelo::history
