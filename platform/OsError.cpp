// SPDX-License-Identifier: GPL-3.0-or-later
#include "OsError.h"

#include <QDir>

#include <cstring>

namespace tavrelo {

QString errorText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

OsError OsError::fromErrno(const QString& action, const QString& path, int err) {
    return OsError{action, path, err, errorText(err), true};
}

OsError OsError::because(const QString& action, const QString& path, const QString& reason) {
    return OsError{action, path, 0, reason, true};
}

QString OsError::message() const {
    const QString what =
        QStringLiteral("Could not %1 %2.\n").arg(action, QDir::toNativeSeparators(path));
    if (error == 0)
        return what + description + QLatin1Char('.');
    return what + QStringLiteral("Error %1: %2.").arg(error).arg(description);
}

} // namespace tavrelo
