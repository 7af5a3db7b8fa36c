// SPDX-License-Identifier: GPL-3.0-or-later
#include "Memory.h"

#include <sys/resource.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tavrelo::platform {

void adviseHugePages(const void* begin, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    const uintptr_t b = (reinterpret_cast<uintptr_t>(begin) + huge - 1) & ~(huge - 1);
    const uintptr_t e = (reinterpret_cast<uintptr_t>(begin) + size) & ~(huge - 1);
    if (e > b)
        ::madvise(reinterpret_cast<void*>(b), e - b, MADV_HUGEPAGE); // a hint: failure is harmless
#else
    (void)begin;
    (void)size;
#endif
}

void giveBackLargeBlocks() {
#if defined(__GLIBC__)
    // Blocks of 1 MiB or more are mapped each on its own, and unmapped when
    // freed. Without a fixed threshold, the C library raises it to the size
    // of each large block freed, and then keeps the next ones in its heaps:
    // tens of MiB after a lookup of every line.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

void giveBackFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void lowerThisThreadPriority(int niceness) {
#ifdef __linux__
    ::setpriority(PRIO_PROCESS, ::gettid(), niceness);
#else
    (void)niceness;
#endif
}

} // namespace tavrelo::platform
