// SPDX-License-Identifier: GPL-3.0-or-later
// The baseline of the history benchmarks: one plain read() of the whole log
// into a fresh buffer, as the simplest program would read it.
//   read_bench LOGFILE [REPEATS]   prints the median milliseconds
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: read_bench LOGFILE [REPEATS]\n");
        return 2;
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = ::open(argv[1], O_RDONLY);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            std::perror(argv[1]);
            return 1;
        }
        std::unique_ptr<char[]> buffer(new char[size_t(st.st_size)]);
        off_t done = 0;
        while (done < st.st_size) {
            const ssize_t n = ::read(fd, buffer.get() + done, size_t(st.st_size - done));
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fd);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.1f\n", ms[ms.size() / 2]);
    return 0;
}
