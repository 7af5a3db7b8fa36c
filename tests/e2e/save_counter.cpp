// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into tavrelo by the two-copies test. It counts the program's
// exclusive locks on its log that were had, one per save, so that the test knows how many
// saves were really made, whatever clicks a loaded X server and toolkit may
// drop on the way.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

extern "C" int flock(int fd, int operation) {
    using Flock = int (*)(int, int);
    static const Flock real = [] {
        Flock f = nullptr;
        void* symbol = dlsym(RTLD_NEXT, "flock");
        std::memcpy(&f, &symbol, sizeof f);
        return f;
    }();
    // A try that finds the lock taken (LOCK_NB, while the other copy
    // saves) is no save: only a lock that was had counts.
    const int rc = real(fd, operation);
    if (rc == 0 && (operation & LOCK_EX) != 0) {
        if (const char* path = std::getenv("TAVRELO_SAVE_COUNT")) {
            const int out = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (out >= 0) {
                [[maybe_unused]] const ssize_t n = write(out, "s\n", 2);
                close(out);
            }
        }
    }
    return rc;
}
