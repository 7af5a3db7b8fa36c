// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Whole-file reads and writes for the tests.

#include <QFile>
#include <QtTest>

namespace tavrelo::testing {

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The file's bytes; empty when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace tavrelo::testing
