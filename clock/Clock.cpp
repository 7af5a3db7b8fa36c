// SPDX-License-Identifier: GPL-3.0-or-later
#include "Clock.h"

namespace tavrelo::clock {

MonthTable makeMonthTable() {
    return {QString(),
            QStringLiteral("Jan"),
            QStringLiteral("Feb"),
            QStringLiteral("Mar"),
            QStringLiteral("Apr"),
            QStringLiteral("May"),
            QStringLiteral("Jun"),
            QStringLiteral("Jul"),
            QStringLiteral("Aug"),
            QStringLiteral("Sep"),
            QStringLiteral("Oct"),
            QStringLiteral("Nov"),
            QStringLiteral("Dec")};
}

double zoneOffsetDays(const QDateTime& local) {
    return -local.offsetFromUtc() / 60.0 / 24.0 / 60.0;
}

QDateTime utcMoment(const QDateTime& local) {
    return local.toUTC();
}

int msecsToNextSecond(const QDateTime& t) {
    return 1000 - t.time().msec();
}

QString twoDigits(int n) {
    return (QLatin1Char('0') + QString::number(n)).right(2);
}

QString datum(const QDateTime& zeit, const MonthTable& months) {
    const QDate d = zeit.date();
    return QString::number(d.year()) + QLatin1Char('-') + months.at(size_t(d.month())) +
           QLatin1Char('-') + twoDigits(d.day());
}

QString uhrzeit(const QDateTime& zeit) {
    const QTime t = zeit.time();
    return twoDigits(t.hour()) + QLatin1Char(':') + twoDigits(t.minute());
}

QString uhrzeit2(const QDateTime& zeit) {
    return uhrzeit(zeit) + QLatin1Char(':') + twoDigits(zeit.time().second());
}

} // namespace tavrelo::clock
