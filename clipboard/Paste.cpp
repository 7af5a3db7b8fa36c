#include "Paste.h"

namespace tavrelo::clipboard {

QString pastedText(const QString& clipboardText) {
    QString out;
    out.reserve(clipboardText.size());
    for (const QChar c : clipboardText) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            out += c;
    }
    return out;
}

} // namespace tavrelo::clipboard
