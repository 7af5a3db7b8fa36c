// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Platform.h"

#include <QStringList>

namespace tavrelo {

// A platform for tests: returns what the test sets and records what it was
// asked to do.
class FakePlatform final : public Platform {
public:
    QDateTime now;               // returned by localNow()
    QString directory;           // returned by programDirectory()
    QString dataHome;            // returned by dataDirectory()
    bool installed = false;      // returned by isInstalledProgram()
    QString clipboard;           // returned by clipboardText()
    OsError editorError;         // what openInEditor() returns
    QStringList openedPaths;     // every path handed to openInEditor()
    EditorFailure editorFailure; // the latest onFailure, for a test to call
    mutable int clockReads = 0;
    mutable int clipboardReads = 0;

    QDateTime localNow() const override {
        ++clockReads;
        return now;
    }
    QString programDirectory() const override { return directory; }
    QString dataDirectory() const override { return dataHome; }
    bool isInstalledProgram() const override { return installed; }
    QString clipboardText() const override {
        ++clipboardReads;
        return clipboard;
    }
    OsError openInEditor(const QString& path, EditorFailure onFailure) override {
        openedPaths << path;
        editorFailure = std::move(onFailure);
        return editorError;
    }
};

} // namespace tavrelo
