// SPDX-License-Identifier: GPL-3.0-or-later
// Times one Save three ways, on the disk of the folder given: the plain
// append without a journal (write, one sync) as the baseline, and the
// journaled append the window uses for every Save (journal written and
// synced, the files written and synced, journal removed), for a contact
// typed by hand and for one with the radio's record. Prints the median and
// the 90th percentile of each, in milliseconds.
//   save_bench FOLDER [SAVES]
#include "LogFile.h"
#include "Transaction.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s: median %.2f ms, 90th percentile %.2f ms\n", what, ms[ms.size() / 2],
                ms[ms.size() * 9 / 10]);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: save_bench FOLDER [SAVES]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int saves = argc > 2 ? std::max(10, atoi(argv[2])) : 200;
    QDir().mkpath(folder);
    const QString log = folder + QStringLiteral("/Tavrelo.txt");
    QFile::remove(log);
    QFile::remove(tavrelo::logfile::fieldsPath(log));
    const QByteArray line = "2026-Dec-07,  21:30:05,  20m,  ZZ9ZZ,  Hans,  Berlin,  599,  579\r\n";
    const QByteArray record = "<QSO_DATE:8>20261207 <TIME_ON:6>213005 <BAND:3>20m <CALL:5>ZZ9ZZ "
                              "<FREQ:9>14.074000 <MODE:3>SSB <SUBMODE:3>USB <EOR>\r\n";
    std::vector<double> plain, typed, journaled;
    QElapsedTimer t;
    for (int i = 0; i < saves; ++i) {
        t.start();
        {
            // The baseline: what any program does to append a line for good.
            const int fd = ::open(QFile::encodeName(log).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, line.constData(), size_t(line.size())) != line.size() ||
                ::fdatasync(fd) != 0)
                return 1;
            ::close(fd);
        }
        plain.push_back(double(t.nsecsElapsed()) / 1e6);
        t.start();
        if (tavrelo::logfile::appendWithRecord(log, line, {}).state !=
            tavrelo::logfile::SaveState::Saved)
            return 1;
        typed.push_back(double(t.nsecsElapsed()) / 1e6);
        t.start();
        if (tavrelo::logfile::appendWithRecord(log, line, record).state !=
            tavrelo::logfile::SaveState::Saved)
            return 1;
        journaled.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    report("plain append, no journal (write, sync)", plain);
    report("Save of a typed contact (journal, log, syncs)", typed);
    report("Save with the radio's record (journal, both files, syncs)", journaled);
    return 0;
}
