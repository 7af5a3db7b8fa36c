// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

namespace tavrelo::platform {

// A hint for a large buffer that is filled once, from start to end: back it
// with huge pages where the system offers them, so that its memory arrives
// 2 MiB at a time instead of 4 KiB. Only the whole huge pages inside the
// range are advised; elsewhere, or without huge pages, nothing happens.
void adviseHugePages(const void* begin, size_t size);

// Has memory freed in large blocks (a lookup's buffers) go back to the
// system at once, rather than stay with the process after a large lookup.
// Call it first thing, before any thread starts.
void giveBackLargeBlocks();

// Hands the memory freed after a large piece of work (free pages inside the
// C library's heaps) back to the system.
void giveBackFreedMemory();

// Puts the calling thread below the others in the scheduler's eyes (a nice
// value of niceness), so that a busy background thread never delays the
// window's own; nothing where the system has no per-thread priority.
void lowerThisThreadPriority(int niceness);

} // namespace tavrelo::platform
