#pragma once

#include "Platform.h"

namespace tavrelo {

// The real operating system, reached through Qt and POSIX.
class QtPlatform final : public Platform {
public:
    QDateTime localNow() const override;
    QString programDirectory() const override;
    QString clipboardText() const override;
    OsResult openInEditor(const QString& path) override;
};

// Whether a windowing system can be reached: a display, or a Qt platform
// chosen explicitly (such as offscreen).
bool hasGraphicalDisplay();

// The directory that holds the running executable.
QString executableDirectory();

// Lets the allocator keep freed memory for reuse instead of handing it back
// to the system: every keystroke's lookup then reuses the pages of the last
// one rather than faulting in fresh ones. Call once at start.
void keepFreedMemoryForReuse();

} // namespace tavrelo
