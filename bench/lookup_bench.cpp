// SPDX-License-Identifier: GPL-3.0-or-later
// Times the history lookup core on a log:
//   lookup_bench LOGFILE CALL [REPEATS] [--cold | --portable | --first | --one-thread | --newest]
// It reads the file, matches and builds the pane text, as a keystroke does.
// With --cold, the processor caches are flushed before each run, as they may
// well be between two keystrokes; otherwise a log smaller than the last-level
// cache is read from that cache. With --first, the time is until the first
// and last screens of rows are in order, as when the window gets the result;
// the rest of the order is made after the timing, as the window's lookup
// thread does. With --newest, the time is that of the newest rows, from
// the blocks of the log its shape tells are the newest, which the window
// shows first (0 matches: none found there).
// Prints the matches, the peak memory and, as its last line, the median
// milliseconds.
#include "CallHistory.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lookup_bench LOGFILE CALL [REPEATS]\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QString call = QString::fromLocal8Bit(argv[2]);
    const int repeats = argc > 3 ? std::max(1, atoi(argv[3])) : 11;
    const bool cold = argc > 4 && QByteArray(argv[4]) == "--cold";
    // --portable: the search for every processor, as on arm64.
    tavrelo::history::usePortableSearch(argc > 4 && QByteArray(argv[4]) == "--portable");
    const bool first = argc > 4 && QByteArray(argv[4]) == "--first";
    if (argc > 4 && QByteArray(argv[4]) == "--one-thread")
        tavrelo::history::splitLookups(qint64(1) << 50);
    const bool newest = argc > 4 && QByteArray(argv[4]) == "--newest";
    tavrelo::history::LogShape shape;
    if (newest)
        tavrelo::history::prepare(path, nullptr, &shape);
    std::vector<char> evict(cold ? 128 << 20 : 0);
    std::vector<double> ms;
    qsizetype matches = 0;
    for (int i = 0; i < repeats; ++i) {
        for (size_t j = 0; j < evict.size(); j += 64)
            evict[j] = char(evict[j] + 1);
        QElapsedTimer timer;
        timer.start();
        if (newest) {
            const auto r = tavrelo::history::lookUpNewest(path, call, shape, 32);
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
            matches = r ? r->count() : 0;
            continue;
        }
        const tavrelo::history::LookupResult r =
            tavrelo::history::lookUp(path, call, nullptr, !first);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        r.matches->finishOrder();
        matches = r.count();
        if (r.read.status != tavrelo::logfile::ReadStatus::Read) {
            std::fprintf(stderr, "lookup_bench: cannot read %s\n", argv[1]);
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("matches: %lld\npeak RSS: %ld KiB\nmedian ms:\n%.2f\n", (long long)matches,
                usage.ru_maxrss, ms[ms.size() / 2]);
    return 0;
}
