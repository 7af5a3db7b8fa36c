// SPDX-License-Identifier: GPL-3.0-or-later
#include "Paths.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace tavrelo {

QString executableDirectory() {
    return QCoreApplication::applicationDirPath();
}

QString userDataDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

} // namespace tavrelo
