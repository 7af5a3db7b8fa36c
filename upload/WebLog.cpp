// SPDX-License-Identifier: GPL-3.0-or-later
#include "WebLog.h"

#include "Adif.h"
#include "Contact.h"
#include "FieldsFile.h"
#include "Import.h"
#include "Journal.h"
#include "KnownContacts.h"
#include "LogFile.h"
#include "OpenLog.h"
#include "Transaction.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

namespace tavrelo::upload {

QByteArray webLogRecord(const adif::AdifRecord& record) {
    QByteArray out;
    for (const adif::AdifField& f : record.fields) {
        if (f.data.isEmpty())
            continue;
        // Characters as PHP's mb_strlen counts them: code points, the bytes
        // that do not continue a UTF-8 sequence.
        const qsizetype characters = std::count_if(f.data.begin(), f.data.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        });
        out += '<' + f.name.toByteArray() + ':' + QByteArray::number(characters) + '>' +
               f.data.toByteArray() + ' ';
    }
    return out + "<EOR>";
}

Answer judge(int httpStatus, const QByteArray& body, const QString& networkError) {
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    const QString message =
        json.value(QStringLiteral("messages")).isArray()
            ? QString::fromUtf8(QJsonDocument(json.value(QStringLiteral("messages")).toArray())
                                    .toJson(QJsonDocument::Compact))
        : json.contains(QStringLiteral("reason")) ? json.value(QStringLiteral("reason")).toString()
                                                  : QString::fromUtf8(body.left(300)).trimmed();
    if (httpStatus == 0)
        return {Answer::Retry, networkError};
    if (json.value(QStringLiteral("status")).toString() == QLatin1String("created") &&
        json.value(QStringLiteral("adif_count")).toInt() >= 1)
        return {Answer::Delivered, {}};
    if (httpStatus == 400 && message.contains(QLatin1String("Duplicate"), Qt::CaseInsensitive))
        return {Answer::Duplicate, message};
    if (httpStatus == 401 || httpStatus == 403)
        return {Answer::WrongKey, QStringLiteral("HTTP %1: %2").arg(httpStatus).arg(message)};
    if (httpStatus >= 500 || httpStatus == 404 || httpStatus == 408 || httpStatus == 429)
        return {Answer::Retry, QStringLiteral("HTTP %1 %2").arg(httpStatus).arg(message)};
    if (httpStatus == 201)
        return {Answer::Refused,
                QStringLiteral("the web log took no contact from it (%1)").arg(message)};
    return {Answer::Refused, QStringLiteral("HTTP %1: %2").arg(httpStatus).arg(message)};
}

Answer send(const Settings& settings, const QByteArray& record, int timeoutMs) {
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(settings.url + QStringLiteral("/index.php/api/qso")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(timeoutMs);
    const QJsonObject body{{QStringLiteral("key"), settings.key},
                           {QStringLiteral("station_profile_id"), settings.stationId},
                           {QStringLiteral("type"), QStringLiteral("adif")},
                           {QStringLiteral("string"), QString::fromUtf8(record)}};
    QNetworkReply* reply =
        network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = reply->readAll();
    const QString error = reply->error() == QNetworkReply::NoError
                              ? QString()
                              : QStringLiteral("%1: %2").arg(settings.url, reply->errorString());
    reply->deleteLater();
    return judge(status, answer, error);
}

QString deliveryPath(const QString& logPath) {
    return logfile::besideLog(logPath, QLatin1Char('.') +
                                           QString::fromLatin1(logfile::machineName()) +
                                           QStringLiteral(".weblog"));
}

namespace {

// The delivery file: "start LOGSIZE FIELDSSIZE" once, then a line for each
// answer, "sent KEY\tTELLING" or "refused KEY\tTELLING\tREASON". A last
// line without its end (a power cut) is not read.
struct Deliveries {
    qint64 logStart = -1, fieldsStart = 0;
    logfile::KnownContacts done;

    OsError read(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return file.exists()
                       ? OsError::because(QStringLiteral("read"), path, file.errorString())
                       : OsError();
        const QByteArray all = file.readAll();
        for (const QByteArray& line : all.left(all.lastIndexOf('\n') + 1).split('\n')) {
            const QList<QByteArray> w = line.split(' ');
            if (w.size() == 3 && w[0] == "start") {
                logStart = w[1].toLongLong();
                fieldsStart = w[2].toLongLong();
            } else if (line.startsWith("sent ") || line.startsWith("refused ")) {
                const QList<QByteArray> parts = line.mid(line.indexOf(' ') + 1).split('\t');
                done.addIfNew(parts.value(0), parts.value(1));
            }
        }
        return {};
    }
    static OsError append(const QString& path, const QByteArray& line) {
        QFile file(path);
        if (!file.open(QIODevice::Append) || file.write(line + '\n') != line.size() + 1 ||
            !file.flush() || logfile::sysFdatasync(file.handle()) != 0)
            return OsError::because(QStringLiteral("record a delivery in"), path,
                                    file.errorString());
        return {};
    }
};

qint64 sizeOf(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}

// The contacts to look at as the export writes them (UTF-8), into a file:
// the whole log, or its lines (and records) from the set-up on, copied into
// a folder of their own first.
OsError exportContacts(const QString& logPath, const Deliveries& d, bool sinceSetUp,
                       const QString& out, QTemporaryDir& tail) {
    QString source = logPath;
    if (sinceSetUp) {
        source = tail.filePath(QStringLiteral("Tavrelo.txt"));
        QByteArray bytes;
        if (const OsError e =
                logfile::readLogBytes(logPath, d.logStart, sizeOf(logPath) - d.logStart, bytes);
            !e.ok())
            return e;
        // Whole lines only: a Save under way may have written part of one.
        bytes.truncate(bytes.lastIndexOf('\n') + 1);
        QFile copy(source);
        if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size())
            return OsError::because(QStringLiteral("write"), source, copy.errorString());
        copy.close();
        const QString fields = logfile::fieldsPath(logPath);
        if (sizeOf(fields) > d.fieldsStart) {
            QByteArray records;
            if (const OsError e = logfile::readLogBytes(fields, d.fieldsStart,
                                                        sizeOf(fields) - d.fieldsStart, records);
                !e.ok())
                return e;
            QFile f(logfile::fieldsPath(source));
            if (!f.open(QIODevice::WriteOnly) || f.write(records) != records.size())
                return OsError::because(QStringLiteral("write"), f.fileName(), f.errorString());
        }
    }
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly))
        return OsError::because(QStringLiteral("write"), out, file.errorString());
    adif::ExportOptions options;
    options.utf8 = true;
    const adif::ExportSummary s = adif::exportLog(
        source, options, QDateTime::currentDateTimeUtc(), QStringLiteral("web log"),
        [&](const QByteArray& b) { return file.write(b) == b.size() ? 0 : EIO; },
        [](const QString&) {});
    if (s.read.status == logfile::ReadStatus::Failed)
        return s.read.error;
    return s.fieldsError;
}

} // namespace

PushSummary push(const QString& logPath, const Settings& settings, const PushScope& scope,
                 const std::function<void(const QString&)>& note) {
    PushSummary summary;
    const QString path = deliveryPath(logPath);
    Deliveries d;
    if (const OsError e = d.read(path); !e.ok()) {
        summary.stop = e.message();
        return summary;
    }
    if (d.logStart < 0) {
        // The web log is new to this computer: what is logged from now on goes.
        d.logStart = sizeOf(logPath);
        d.fieldsStart = sizeOf(logfile::fieldsPath(logPath));
        if (const OsError e = Deliveries::append(path, "start " + QByteArray::number(d.logStart) +
                                                           ' ' + QByteArray::number(d.fieldsStart));
            !e.ok()) {
            summary.stop = e.message();
            return summary;
        }
        if (scope.sinceSetUp)
            return summary;
    }
    QTemporaryDir work;
    const QString exported = work.filePath(QStringLiteral("contacts.adi"));
    if (const OsError e = exportContacts(logPath, d, scope.sinceSetUp, exported, work); !e.ok()) {
        summary.stop = e.message();
        return summary;
    }
    QFile file(exported);
    if (!file.open(QIODevice::ReadOnly)) {
        summary.stop = file.errorString();
        return summary;
    }
    adif::AdifReader reader(&file);
    adif::AdifRecord record;
    QByteArray key, telling;
    const QByteArray since = scope.since.isValid()
                                 ? scope.since.toString(QStringLiteral("yyyyMMdd")).toLatin1()
                                 : QByteArray();
    while (reader.next(record)) {
        if (!adif::recordIdentity(record, key, telling))
            continue;
        if (!since.isEmpty() && record.value("QSO_DATE") < QByteArrayView(since))
            continue;
        if (d.done.holds(key, telling))
            continue;
        if (!summary.stop.isEmpty()) {
            ++summary.waiting;
            continue;
        }
        const QString contact = QStringLiteral("%1 %2 %3 %4")
                                    .arg(QString::fromUtf8(record.value("QSO_DATE")),
                                         QString::fromUtf8(record.value("TIME_ON")),
                                         QString::fromUtf8(record.value("BAND")),
                                         QString::fromUtf8(record.value("CALL")));
        const Answer a = send(settings, webLogRecord(record));
        QByteArray line;
        switch (a.kind) {
        case Answer::Delivered:
            ++summary.sent;
            line = "sent " + key + '\t' + telling;
            note(QStringLiteral("sent: %1").arg(contact));
            break;
        case Answer::Duplicate:
            ++summary.duplicates;
            line = "sent " + key + '\t' + telling;
            note(QStringLiteral("already in the web log: %1").arg(contact));
            break;
        case Answer::Refused:
            ++summary.refused;
            summary.reasons << QStringLiteral("%1: %2").arg(contact, a.message);
            line = "refused " + key + '\t' + telling + '\t' + a.message.simplified().toUtf8();
            note(QStringLiteral("refused: %1: %2").arg(contact, a.message));
            break;
        case Answer::WrongKey:
            summary.wrongKey = true;
            summary.stop = QStringLiteral("The web log at %1 does not take the key or the station "
                                          "%2: %3")
                               .arg(settings.url, settings.stationId, a.message);
            ++summary.waiting;
            continue;
        case Answer::Retry:
            summary.stop = QStringLiteral("The web log at %1 does not answer: %2")
                               .arg(settings.url, a.message);
            ++summary.waiting;
            continue;
        }
        d.done.addIfNew(key, telling);
        if (const OsError e = Deliveries::append(path, line); !e.ok())
            summary.stop = e.message();
    }
    return summary;
}

} // namespace tavrelo::upload
