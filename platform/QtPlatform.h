// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Platform.h"

#include <optional>

#include <QHash>

#include <memory>

class QSocketNotifier;

namespace tavrelo {

// The real operating system, reached through Qt and POSIX.
class QtPlatform final : public Platform {
public:
    QtPlatform();
    ~QtPlatform() override;
    QtPlatform(const QtPlatform&) = delete;
    QtPlatform& operator=(const QtPlatform&) = delete;

    QDateTime localNow() const override;
    QString programDirectory() const override;
    QString dataDirectory() const override;
    // Looked up once: the history asks for the log's path at every key.
    bool isInstalledProgram() const override;
    QString clipboardText() const override;
    OsError openInEditor(const QString& path, EditorFailure onFailure) override;

private:
    mutable std::optional<bool> installed_;
    void collectEndedEditors();

    struct Started {
        QString path;
        EditorFailure onFailure;
    };
    QHash<long long, Started> editors_; // by process id, until they end
    std::unique_ptr<QSocketNotifier> endedNotifier_;
};

// Whether a windowing system can be reached: a display, or a Qt platform
// chosen explicitly (such as offscreen).
bool hasGraphicalDisplay();

} // namespace tavrelo
