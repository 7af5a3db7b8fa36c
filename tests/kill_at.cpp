// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into tavrelo-adif and tavrelo-wsjtx by the kill tests. It counts
// the program's writes and syncs on the log, the fields file and the
// journal beside them, and the links that give a file one of their names, and at the one numbered
// TAVRELO_KILL_AT it kills the program with SIGKILL, before the call; with TAVRELO_KILL_TORN=1 a
// write is half done first, as a disk keeps the first part of a write at a power cut.
// TAVRELO_KILL_COUNT names a file that receives the number of calls seen.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

template <typename F> F real(const char* name) {
    F f = nullptr;
    void* symbol = dlsym(RTLD_NEXT, name);
    std::memcpy(&f, &symbol, sizeof f);
    return f;
}

bool watchedPath(const char* path) {
    const size_t n = std::strlen(path);
    for (const char* end : {"Tavrelo.txt", "Tavrelo.adi", ".journal"}) {
        const size_t k = std::strlen(end);
        if (n >= k && std::strcmp(path + n - k, end) == 0)
            return true;
    }
    return false;
}

bool watched(int fd) {
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = 0;
    return watchedPath(path);
}

// Counts a call on a watched file; true when it is the one to die at.
bool dieNow(bool isWatched) {
    static int count = 0;
    if (!isWatched)
        return false;
    ++count;
    if (const char* out = std::getenv("TAVRELO_KILL_COUNT")) {
        using Write = ssize_t (*)(int, const void*, size_t);
        static const Write w = real<Write>("write");
        const int o = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (o >= 0) {
            char text[16];
            const int len = std::snprintf(text, sizeof text, "%d\n", count);
            [[maybe_unused]] const ssize_t r = w(o, text, size_t(len));
            close(o);
        }
    }
    const char* at = std::getenv("TAVRELO_KILL_AT");
    return at && std::atoi(at) == count;
}

} // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    using Write = ssize_t (*)(int, const void*, size_t);
    static const Write realWrite = real<Write>("write");
    if (dieNow(watched(fd))) {
        const char* torn = std::getenv("TAVRELO_KILL_TORN");
        if (torn && *torn == '1' && size > 1)
            realWrite(fd, data, size / 2);
        raise(SIGKILL);
    }
    return realWrite(fd, data, size);
}

extern "C" int fdatasync(int fd) {
    using Sync = int (*)(int);
    static const Sync realSync = real<Sync>("fdatasync");
    if (dieNow(watched(fd)))
        raise(SIGKILL);
    return realSync(fd);
}

extern "C" int fsync(int fd) {
    using Sync = int (*)(int);
    static const Sync realSync = real<Sync>("fsync");
    if (dieNow(watched(fd)))
        raise(SIGKILL);
    return realSync(fd);
}

// A file made whole beside the log and given its name: the step before the
// name is given counts too.
extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    using Link = int (*)(int, const char*, int, const char*, int);
    static const Link realLink = real<Link>("linkat");
    if (dieNow(watchedPath(to)))
        raise(SIGKILL);
    return realLink(fromDir, from, toDir, to, flags);
}
