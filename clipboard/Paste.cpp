// SPDX-License-Identifier: GPL-3.0-or-later
#include "Paste.h"

#include <QTextBoundaryFinder>

namespace tavrelo::clipboard {

bool isDroppedOnPaste(char32_t c) {
    switch (c) {
    case U'\r':
    case U'\n':
    case U'\u200B': // zero-width space
    case U'\u2060': // word joiner
    case U'\uFEFF': // zero-width no-break space, byte-order mark
        return true;
    default:
        return QChar::category(c) == QChar::Separator_Space;
    }
}

Pasted pastedText(const QString& clipboardText, qsizetype maxLength) {
    Pasted result;
    QString& out = result.text;
    out.reserve(clipboardText.size());
    for (qsizetype i = 0; i < clipboardText.size(); ++i) {
        const QChar c = clipboardText[i];
        if (c.isHighSurrogate() && i + 1 < clipboardText.size() &&
            clipboardText[i + 1].isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, clipboardText[i + 1]);
            if (!isDroppedOnPaste(code))
                out.append(c).append(clipboardText[i + 1]);
            ++i;
        } else if (!isDroppedOnPaste(c.unicode())) {
            out += c;
        }
    }
    if (out.size() > maxLength) {
        QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, out);
        graphemes.setPosition(maxLength);
        const qsizetype cut = graphemes.isAtBoundary()
                                  ? maxLength
                                  : std::max<qsizetype>(0, graphemes.toPreviousBoundary());
        for (qsizetype i = cut; i < out.size(); ++i)
            result.cutCharacters += out[i].isLowSurrogate() ? 0 : 1;
        out.truncate(cut);
    }
    return result;
}

} // namespace tavrelo::clipboard
