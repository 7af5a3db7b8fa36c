// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

namespace tavrelo::platform {

// A hint for a large buffer that is filled once, from start to end: back it
// with huge pages where the system offers them, so that its memory arrives
// 2 MiB at a time instead of 4 KiB. Only the whole huge pages inside the
// range are advised; elsewhere, or without huge pages, nothing happens.
void adviseHugePages(const void* begin, size_t size);

} // namespace tavrelo::platform
