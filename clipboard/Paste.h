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

// The clipboard's text as it goes into a box: spaces removed, and CR and LF
// removed too, since a box holds one line and a record must stay one line.
// Every other character is kept, in order. Works on text of any length.
QString pastedText(const QString& clipboardText);

} // namespace tavrelo::clipboard
