// SPDX-License-Identifier: GPL-3.0-or-later
// Appends N records tagged with a name to a log, as one copy of the program
// saving contact after contact would. Used by the concurrency test.
#include "LogFile.h"
#include "Transaction.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: append_helper LOG COUNT TAG\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int count = QByteArray(argv[2]).toInt();
    const QString tag = QString::fromLocal8Bit(argv[3]);
    for (int i = 0; i < count; ++i) {
        tavrelo::logfile::Fields fields{QStringLiteral("2026-Dec-07"),
                                        QStringLiteral("12:00:00"),
                                        QStringLiteral("20m"),
                                        tag,
                                        QString::number(i),
                                        QStringLiteral("Somewhere far away"),
                                        QStringLiteral("599"),
                                        QStringLiteral("579")};
        const auto result =
            tavrelo::logfile::appendWithRecord(path, tavrelo::logfile::buildRecord(fields), {});
        if (result.state != tavrelo::logfile::SaveState::Saved) {
            std::fprintf(stderr, "%s\n", qPrintable(result.error.message()));
            return 1;
        }
    }
    return 0;
}
