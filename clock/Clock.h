// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QString>

#include <array>

namespace tavrelo::clock {

// Month abbreviations by month number; entry 0 stays empty. English whatever
// the user's locale, so that every log reads the same.
using MonthTable = std::array<QString, 13>;
MonthTable makeMonthTable();

// The zone offset in days in force at that local moment, daylight saving
// included, signed so that UTC = local + offset (one hour east gives -1/24).
double zoneOffsetDays(const QDateTime& local);

// The UTC moment of a local date-time carrying its time zone.
QDateTime utcMoment(const QDateTime& local);

// Milliseconds from that moment to the start of the next whole second, when
// the clock ticks: 1 to 1000.
int msecsToNextSecond(const QDateTime& t);

// "0" put in front of the number, cut to its last two characters: 7 gives 07.
QString twoDigits(int n);

// 2006-Nov-18: year without leading zeros, month abbreviation, two-digit day.
QString datum(const QDateTime& zeit, const MonthTable& months);
// 09:05
QString uhrzeit(const QDateTime& zeit);
// 09:05:07
QString uhrzeit2(const QDateTime& zeit);

} // namespace tavrelo::clock
