// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace tavrelo::logfile {

// What makes two contacts the same: date, UTC to the minute, band, call,
// regardless of case and of spaces around band and call. The fields are
// UTF-8; the key is written to key.
void contactKey(QByteArrayView date, QByteArrayView time, QByteArrayView band, QByteArrayView call,
                QByteArray& key);
// The same appended to keys, for keys kept one after another.
void appendContactKey(QByteArrayView date, QByteArrayView time, QByteArrayView band,
                      QByteArrayView call, QByteArray& keys);
// The key of a log line (UTF-8, else Windows-1252); false for a line with
// fewer than four fields.
bool logLineKey(const char* begin, const char* end, QByteArray& key);
// The same appended to keys; nothing is appended for a line without a key.
bool appendLogLineKey(const char* begin, const char* end, QByteArray& keys);

} // namespace tavrelo::logfile
