// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace tavrelo::logfile {

// The calls that put a record on disk. Each member, when set, is called in
// place of the system's own call, so that tests can count them and make
// them fail with real errno values at exact points; the program never sets
// them.
struct SystemCalls {
    std::function<long(int fd, const void* data, unsigned long size)> write;
    std::function<int(int fd)> fdatasync;
    std::function<int(int fd)> fsync;
};
SystemCalls& systemCalls();

} // namespace tavrelo::logfile
