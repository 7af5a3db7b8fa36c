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
        QString base;
    };
    QHash<QString, Who> who;
    QByteArray key;
    const logfile::ReadResult read =
        logfile::readLogBlocks(logPath, [&](const char* begin, const char* end) {
            logfile::forEachLine(begin, end, [&](const char* b, const char* e) {
                if (!logfile::logLineKey(b, e, key))
                    return;
                const QStringList f =
                    logfile::decodeLine(b, e).split(QLatin1String(logfile::FieldSeparator));
                WorkedContact c;
                c.date = dateNumber(f.value(0));
                c.band = f.value(2).trimmed();
                c.call = f.value(3).trimmed().toUpper();
                if (const RecordView* r = records.take(key)) {
                    if (const AdifField* mode = r->slot(Mode))
                        c.mode = QString::fromUtf8(logfile::asciiTrimmed(mode->data));
                    else if (const AdifField* sub = r->slot(Submode))
                        if (const auto m = modeOf(QString::fromUtf8(sub->data)))
                            c.mode = QString::fromLatin1(m->mode);
                    c.dxcc = valueOf(*r, "DXCC").toInt();
                    c.confirmed = valueOf(*r, "QSL_RCVD").compare("Y", Qt::CaseInsensitive) == 0 ||
                                  valueOf(*r, "LOTW_QSL_RCVD").compare("Y", Qt::CaseInsensitive) == 0;
                }
                auto it = who.find(c.call);
                if (it == who.end()) {
                    const dxcc::Resolution r = countries.resolve(c.call);
                    it = who.insert(c.call, Who{r.entity ? r.entity->dxcc : 0, r.base});
                }
                if (c.dxcc == 0)
                    c.dxcc = it->dxcc;
                index.add(c.dxcc, it->base, c.band, c.mode, c.date, c.confirmed);
            });
        });
    if (read.status == logfile::ReadStatus::Failed)
        return read.error;
    return records.error();
}

} // namespace tavrelo::adif
