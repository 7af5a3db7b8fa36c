// SPDX-License-Identifier: GPL-3.0-or-later
// Who a call is, measured: the country file read (against a plain read()
// of it), the memory it takes, one call resolved, the log's worked-before
// index built, and one status asked of it.
//   dxcc_bench CTY.DAT LOG
#include "CountryFile.h"
#include "WorkedLog.h"

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

long anonymousKiB() {
    std::ifstream in("/proc/self/smaps_rollup");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Anonymous:", 0) == 0)
            return std::stol(line.substr(10));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fputs("usage: dxcc_bench CTY.DAT LOG\n", stderr);
        return 2;
    }
    const QString dat = QString::fromLocal8Bit(argv[1]);
    QElapsedTimer t;
    t.start();
    QFile raw(dat);
    raw.open(QIODevice::ReadOnly);
    const qsizetype bytes = raw.readAll().size();
    const double readMs = double(t.nsecsElapsed()) / 1e6;

    const long before = anonymousKiB();
    t.restart();
    tavrelo::dxcc::CountryFile countries;
    QString error;
    if (!countries.load(dat, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const double loadMs = double(t.nsecsElapsed()) / 1e6;
    const long data = anonymousKiB() - before;

    const QStringList calls = {"DL1ABC", "VK2/DL1ABC/P", "KG4ABC", "3Y0J", "W1AW/4", "EA8/G3XYZ"};
    constexpr int rounds = 100000;
    int found = 0;
    t.restart();
    for (int i = 0; i < rounds; ++i)
        found += countries.resolve(calls[i % calls.size()]).entity != nullptr;
    const double resolveUs = double(t.nsecsElapsed()) / 1e3 / rounds;

    tavrelo::dxcc::WorkedIndex index;
    const long beforeIndex = anonymousKiB();
    t.restart();
    const tavrelo::OsError e =
        tavrelo::adif::readWorked(QString::fromLocal8Bit(argv[2]), countries, index);
    const double indexMs = double(t.nsecsElapsed()) / 1e6;
    const long indexKiB = anonymousKiB() - beforeIndex;
    t.restart();
    for (int i = 0; i < rounds; ++i)
        found += index.status(230, calls[i % calls.size()], "20m", "CW").calls;
    const double statusUs = double(t.nsecsElapsed()) / 1e3 / rounds;

    std::printf("country file (%lld bytes): read() %.1f ms, read and parsed %.1f ms, %ld KiB; "
                "one call resolved %.2f us\n",
                (long long)bytes, readMs, loadMs, data, resolveUs);
    std::printf("worked-before index of the log: built in %.0f ms, %ld KiB, %zu entities%s; "
                "one status %.2f us (%d)\n",
                indexMs, indexKiB, index.entities().size(),
                e.ok() ? "" : qPrintable(QStringLiteral(" (") + e.message() + ")"), statusUs,
                found % 7);
    return 0;
}
