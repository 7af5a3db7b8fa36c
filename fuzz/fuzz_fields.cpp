// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the fields file's reader and its join with the log: whatever the
// two files hold, the export neither crashes nor hangs, and every line
// that gives a contact gives one well-formed record. The input is the log, a NUL byte, then the
// fields file.
#include "Adif.h"
#include "AdifCheck.h"
#include "FieldsFile.h"
#include "Import.h"
#include "LogReader.h"
#include "Transaction.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype nul = input.indexOf('\0');
    const QByteArray log = nul < 0 ? input : input.left(nul);
    const QByteArray fields = nul < 0 ? QByteArray() : input.mid(nul + 1);

    static const QString folder = QStringLiteral("/dev/shm/tavrelo-fuzz-fields-%1").arg(getpid());
    QDir().mkpath(folder);
    const QString logPath = folder + QStringLiteral("/Tavrelo.txt");
    writeAll(logPath, log);
    writeAll(tavrelo::logfile::fieldsPath(logPath), fields);

    for (const bool utf8 : {false, true}) {
        tavrelo::adif::ExportOptions options;
        options.utf8 = utf8;
        options.mode = {"CW", {}};
        tavrelo::adif::FieldsIndex index;
        if (!index.open(tavrelo::logfile::fieldsPath(logPath)).ok())
            std::abort(); // a regular file is always read
        QByteArray key;
        tavrelo::logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
            tavrelo::logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                const tavrelo::adif::RecordView* view =
                    tavrelo::adif::logLineKey(b, e, key) ? index.take(key) : nullptr;
                QByteArray out;
                tavrelo::adif::Conversion said;
                if (tavrelo::adif::appendRecord(QByteArrayView(b, e), options, view, out, said) &&
                    !tavrelo::testing::adifRecordFault(out, utf8).isEmpty())
                    std::abort();
            });
        });
    }
    return 0;
}
