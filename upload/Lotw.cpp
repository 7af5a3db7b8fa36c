// SPDX-License-Identifier: GPL-3.0-or-later
#include "Lotw.h"

#include "Adif.h"
#include "FieldsFile.h"
#include "Import.h"
#include "Transaction.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace tavrelo::upload {

QString tqslExitMeaning(int code) {
    static const char* const meanings[] = {
        "success: all contacts were signed and uploaded",
        "cancelled by the user",
        "rejected by LoTW",
        "unexpected response from the TQSL server",
        "TQSL error",
        "TQSLlib error",
        "unable to open the input file",
        "unable to open the output file",
        "no contacts were processed: they were already uploaded or out of the date range",
        "some contacts were processed, and some were ignored as uploaded before or out of range",
        "command syntax error",
        "LoTW connection error (no network, or LoTW is unreachable)"};
    return code >= 0 && code < int(std::size(meanings)) ? QString::fromLatin1(meanings[code])
                                                        : QStringLiteral("an unknown exit code");
}

namespace {

QByteArray byteCounted(const adif::AdifRecord& record) {
    QByteArray out;
    for (const adif::AdifField& f : record.fields)
        out += '<' + f.name.toByteArray() + ':' + QByteArray::number(f.data.size()) + '>' +
               f.data.toByteArray() + ' ';
    return out + "<EOR>\n";
}

} // namespace

LotwResult sendToLotw(const QString& logPath, const Settings& settings, const QString& tqsl,
                      const std::function<void(const QString&)>& note) {
    LotwResult result;
    if (settings.lotwLocation.isEmpty()) {
        result.error = QStringLiteral("No LoTW station location: give it as location in the "
                                      "group [lotw] of %1")
                           .arg(settingsPath());
        return result;
    }
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (env.value(QStringLiteral("DISPLAY")).isEmpty() &&
        env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()) {
        result.error = QStringLiteral("tqsl needs a display, even in batch mode: run this in a "
                                      "desktop session (DISPLAY is not set)");
        return result;
    }
    // The contacts not sent yet, as the export writes them.
    QTemporaryDir work;
    QByteArray exported;
    const adif::ExportSummary s = adif::exportLog(
        logPath, adif::ExportOptions{}, QDateTime::currentDateTimeUtc(), QStringLiteral("LoTW"),
        [&](const QByteArray& b) {
            exported += b;
            return 0;
        },
        [](const QString&) {});
    if (s.read.status == logfile::ReadStatus::Failed || !s.fieldsError.ok()) {
        result.error = s.read.status == logfile::ReadStatus::Failed ? s.read.error.message()
                                                                    : s.fieldsError.message();
        return result;
    }
    adif::AdifReader reader(exported);
    adif::AdifRecord record;
    QByteArray file = "Contacts not yet sent to LoTW, from Tavrelo <EOH>\n";
    QList<QByteArray> sent; // their records, to be marked
    while (reader.next(record)) {
        if (record.value("LOTW_QSL_SENT").compare("Y", Qt::CaseInsensitive) == 0)
            continue;
        const QByteArray bytes = byteCounted(record);
        file += bytes;
        sent << bytes;
    }
    result.contacts = int(sent.size());
    if (sent.isEmpty()) {
        note(QStringLiteral("Every contact has been sent to LoTW"));
        return result;
    }
    const QString path = work.filePath(QStringLiteral("tavrelo-lotw.adi"));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
        result.error = OsError::because(QStringLiteral("write"), path, out.errorString()).message();
        return result;
    }
    out.close();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tqsl, {QStringLiteral("-x"), QStringLiteral("-d"), QStringLiteral("-a"),
                         QStringLiteral("compliant"), QStringLiteral("-l"), settings.lotwLocation,
                         QStringLiteral("-u"), path});
    if (!process.waitForStarted(30000)) {
        result.error = QStringLiteral("%1 could not be started: %2 (the package trustedqsl "
                                      "installs it)")
                           .arg(tqsl, process.errorString());
        return result;
    }
    process.waitForFinished(-1);
    const QString output = QString::fromUtf8(process.readAll());
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.contains(QLatin1String("Final Status")))
            result.finalStatus = line.trimmed();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (result.exitCode != 0 && result.exitCode != 9) {
        result.error =
            QStringLiteral("tqsl ended with %1 (%2)%3; no contact is marked sent")
                .arg(result.exitCode)
                .arg(result.exitCode < 0 ? QStringLiteral("it crashed")
                                         : tqslExitMeaning(result.exitCode),
                     result.finalStatus.isEmpty() ? QString()
                                                  : QStringLiteral(": ") + result.finalStatus);
        return result;
    }
    // Marked in the fields file, added to each contact's record.
    const QByteArray today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toLatin1();
    logfile::LogTransaction log(logPath, adif::recordIdentity);
    OsError error = log.begin();
    for (const QByteArray& bytes : std::as_const(sent)) {
        adif::AdifReader one(bytes);
        adif::AdifRecord r;
        if (!error.ok() || !one.next(r))
            continue;
        r.fields.append({"LOTW_QSL_SENT", "Y"});
        r.fields.append({"LOTW_QSLSDATE", today});
        error = log.appendFields(adif::addingRecord(r, {"LOTW_QSL_SENT", "LOTW_QSLSDATE"}));
    }
    if (error.ok())
        error = log.commit();
    if (!error.ok())
        result.error = error.message() +
                       QStringLiteral("\nLoTW has the contacts; they are not marked sent here.");
    return result;
}

} // namespace tavrelo::upload
