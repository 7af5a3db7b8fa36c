// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavrelo::upload {

// The web log the contacts go to, from the settings file's group [weblog]:
//   url         the address the operator opens in a browser
//   key         the API key
//   station_id  the station profile's id
// and the LoTW station location of the group [lotw] (key location).
struct Settings {
    QString url, key, stationId;
    QString lotwLocation;
    bool hasWebLog() const { return !url.isEmpty() && !key.isEmpty() && !stationId.isEmpty(); }
};

// $XDG_CONFIG_HOME/Tavrelo/Tavrelo.conf (~/.config/Tavrelo/Tavrelo.conf).
QString settingsPath();

// Reads the settings file; a missing file is no settings. A file that
// others may read is refused (it holds a key), and so is a [weblog] group
// without all its keys: error says why.
Settings readSettings(const QString& path, QString& error);

} // namespace tavrelo::upload
