// SPDX-License-Identifier: GPL-3.0-or-later
#include "WorkedLog.h"

#include "Adif.h"
#include "ContactKey.h"
#include "FieldsFile.h"
#include "LogFile.h"
#include "LogReader.h"
#include "Transaction.h"

namespace tavrelo::adif {

int dateNumber(const QString& logDate) {
    const QByteArray bytes = logDate.trimmed().toLatin1();
    char out[8];
    if (!parseDate(bytes.constData(), bytes.constData() + bytes.size(), out))
        return 0;
    return QByteArray(out, 8).toInt();
}

namespace {

QByteArrayView valueOf(const RecordView& r, const char* name) {
    for (const AdifField& f : r.fields) {
        if (f.name == name)
            return logfile::asciiTrimmed(f.data);
    }
    return {};
}

} // namespace

OsError readWorked(const QString& logPath, const dxcc::CountryFile& countries,
                   dxcc::WorkedIndex& index) {
    FieldsIndex records;
    if (const OsError e = records.open(logfile::fieldsPath(logPath)); !e.ok())
        return e;
    // Calls come again and again: each is resolved once.
    struct Who {
        int dxcc;
        quint64 base; // the base call's key
    };
    QHash<quint64, Who> who;
    QByteArray key;
    const logfile::ReadResult read =
        logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                if (!logfile::logLineKey(b, e, key))
                    return;
                // Date, UTC, band and call, on the line's bytes.
                QByteArrayView fields[4];
                const QByteArrayView line(b, e);
                qsizetype at = 0;
                for (int i = 0; i < 4; ++i) {
                    qsizetype next = line.indexOf(logfile::FieldSeparator, at);
                    if (next < 0)
                        next = line.size();
                    fields[i] = line.sliced(at, next - at);
                    at = std::min(line.size(), next + 3);
                }
                char date[8];
                const QByteArrayView d = logfile::asciiTrimmed(fields[0]);
                const int day = parseDate(d.data(), d.data() + d.size(), date)
                                    ? QByteArrayView(date, 8).toInt()
                                    : 0;
                QByteArrayView mode;
                QByteArray submodeMode;
                int dxcc = 0;
                bool confirmed = false;
                if (const RecordView* r = records.take(key)) {
                    if (const AdifField* m = r->slot(Mode)) {
                        mode = m->data;
                    } else if (const AdifField* sub = r->slot(Submode)) {
                        if (const auto m = modeOf(QString::fromUtf8(sub->data)))
                            mode = submodeMode = m->mode;
                    }
                    dxcc = valueOf(*r, "DXCC").toInt();
                    confirmed = valueOf(*r, "QSL_RCVD").compare("Y", Qt::CaseInsensitive) == 0 ||
                                valueOf(*r, "LOTW_QSL_RCVD").compare("Y", Qt::CaseInsensitive) == 0;
                }
                const QString call = logfile::isAscii(fields[3])
                                         ? QString::fromLatin1(fields[3])
                                         : logfile::decodeLine(fields[3].begin(), fields[3].end());
                const quint64 callKey = dxcc::WorkedIndex::callKey(call);
                auto it = who.find(callKey);
                if (it == who.end()) {
                    const dxcc::Resolution r = countries.resolve(call);
                    it = who.insert(callKey, Who{r.entity ? r.entity->dxcc : 0,
                                                 dxcc::WorkedIndex::callKey(r.base)});
                }
                index.add(dxcc ? dxcc : it->dxcc, it->base, fields[2], mode, day, confirmed);
            });
        });
    who = {}; // before the index is settled, which takes room of its own for a while
    index.settle();
    if (read.status == logfile::ReadStatus::Failed)
        return read.error;
    return records.error();
}

} // namespace tavrelo::adif
