#include "Platform.h"

#include <cstring>

namespace tavrelo {

OsResult OsResult::fromErrno(int err) {
    OsResult r;
    r.error = err;
    if (err != 0)
        r.description = QString::fromLocal8Bit(std::strerror(err));
    return r;
}

} // namespace tavrelo
