// SPDX-License-Identifier: GPL-3.0-or-later
#include "Settings.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace tavrelo::upload {

QString settingsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Tavrelo/Tavrelo.conf");
}

Settings readSettings(const QString& path, QString& error) {
    Settings s;
    const QFileInfo info(path);
    if (!info.exists())
        return s;
    constexpr QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (info.permissions() & others) {
        error = QStringLiteral("The settings file %1 may be read by others, and it holds the web "
                               "log's key: it is not used. Make it yours alone: chmod 600 %1")
                    .arg(path);
        return s;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        error = QStringLiteral("The settings file %1 cannot be read").arg(path);
        return s;
    }
    s.url = ini.value(QStringLiteral("weblog/url")).toString().trimmed();
    while (s.url.endsWith(QLatin1Char('/')))
        s.url.chop(1);
    s.key = ini.value(QStringLiteral("weblog/key")).toString().trimmed();
    s.stationId = ini.value(QStringLiteral("weblog/station_id")).toString().trimmed();
    s.lotwLocation = ini.value(QStringLiteral("lotw/location")).toString().trimmed();
    const int given = !s.url.isEmpty() + !s.key.isEmpty() + !s.stationId.isEmpty();
    if (given > 0 && given < 3) {
        error = QStringLiteral("The group [weblog] of %1 needs url, key and station_id; contacts "
                               "are not sent until it has all three")
                    .arg(path);
        s.url.clear();
    }
    return s;
}

} // namespace tavrelo::upload
