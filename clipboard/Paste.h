// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavrelo::clipboard {

// The boxes that receive the clipboard on a double-click: call sign, name,
// QTH and the two reports. Date, UTC and band do not.
constexpr bool receivesPaste(int boxIndex) {
    return boxIndex > 2 && boxIndex < 8;
}

// Date and UTC are stamped on a double-click only while the date box is empty.
inline bool needsStamp(const QString& dateBoxText) {
    return dateBoxText.isEmpty();
}

// Whether a paste drops this character: every Unicode space separator (the
// space, the no-break space, thin and ideographic spaces, ...), the
// zero-width space, word joiner and byte-order mark that web pages carry,
// and CR and LF, since a box holds one line and a record must stay one line.
// Tabs and every other character stay.
bool isDroppedOnPaste(char32_t c);

struct Pasted {
    QString text;
    qsizetype cutCharacters = 0; // characters left out because the box is full
};

// The clipboard's text as it goes into a box that holds at most maxLength
// UTF-16 units: dropped characters removed, the rest kept in order, cut if
// need be at the last whole character (never inside a surrogate pair or
// before a combining mark) that fits.
Pasted pastedText(const QString& clipboardText, qsizetype maxLength);

} // namespace tavrelo::clipboard
