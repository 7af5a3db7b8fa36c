#pragma once

#include "Platform.h"

#include <QStringList>

namespace tavrelo {

// A platform for tests: returns what the test sets and records what it was
// asked to do.
class FakePlatform final : public Platform {
public:
    QDateTime now;           // returned by localNow()
    QString directory;       // returned by programDirectory()
    QString clipboard;       // returned by clipboardText()
    int editorError = 0;     // errno that openInEditor() fails with, 0 for success
    QStringList openedPaths; // every path handed to openInEditor()
    mutable int clockReads = 0;
    mutable int clipboardReads = 0;

    QDateTime localNow() const override {
        ++clockReads;
        return now;
    }
    QString programDirectory() const override { return directory; }
    QString clipboardText() const override {
        ++clipboardReads;
        return clipboard;
    }
    OsResult openInEditor(const QString& path) override {
        openedPaths << path;
        return OsResult::fromErrno(editorError);
    }
};

} // namespace tavrelo
