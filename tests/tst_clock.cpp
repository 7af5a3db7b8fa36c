// SPDX-License-Identifier: GPL-3.0-or-later
#include "Clock.h"

#include <QTimeZone>
#include <QtTest>

using namespace tavrelo::clock;

namespace {

QDateTime local(const char* zone, int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone(QByteArray(zone)));
}

// A zone of fixed offset, given as the minutes to add to local time for UTC.
QDateTime localWithBias(int biasMinutes, int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone(-biasMinutes * 60));
}

} // namespace

class TestClock : public QObject {
    Q_OBJECT

private slots:
    void utc_data() {
        QTest::addColumn<QDateTime>("local");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<double>("offsetDays");

        QTest::newRow("bias 0") << localWithBias(0, 2006, 11, 18, 14, 5, 33) << "2006-Nov-18"
                                << "14:05:33" << 0.0;
        QTest::newRow("bias -60 back over midnight")
            << localWithBias(-60, 2006, 11, 18, 0, 30, 15) << "2006-Nov-17"
            << "23:30:15" << -1.0 / 24;
        QTest::newRow("bias 300 into New Year")
            << localWithBias(300, 2006, 12, 31, 20, 0, 0) << "2007-Jan-01"
            << "01:00:00" << 5.0 / 24;
        QTest::newRow("bias -330 half hour")
            << localWithBias(-330, 2007, 3, 5, 10, 0, 0) << "2007-Mar-05"
            << "04:30:00" << -5.5 / 24;
        // Summer time is applied: 12:00 CEST is 10:00 UTC.
        QTest::newRow("Berlin summer")
            << local("Europe/Berlin", 2026, 7, 1, 12, 0, 0) << "2026-Jul-01"
            << "10:00:00" << -2.0 / 24;
        QTest::newRow("Berlin winter")
            << local("Europe/Berlin", 2026, 1, 15, 12, 0, 0) << "2026-Jan-15"
            << "11:00:00" << -1.0 / 24;
        QTest::newRow("New York summer")
            << local("America/New_York", 2026, 7, 4, 21, 30, 0) << "2026-Jul-05"
            << "01:30:00" << 4.0 / 24;
        QTest::newRow("New York winter")
            << local("America/New_York", 2026, 12, 31, 19, 0, 1) << "2027-Jan-01"
            << "00:00:01" << 5.0 / 24;
        QTest::newRow("Kolkata") << local("Asia/Kolkata", 2026, 9, 3, 5, 15, 9) << "2026-Sep-02"
                                 << "23:45:09" << -5.5 / 24;
    }
    void utc() {
        QFETCH(QDateTime, local);
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(double, offsetDays);
        QVERIFY(local.isValid());
        const QDateTime t = utcMoment(local);
        const MonthTable months = makeMonthTable();
        QCOMPARE(datum(t, months), date);
        QCOMPARE(uhrzeit2(t), time);
        QCOMPARE(uhrzeit(t), time.left(5));
        QVERIFY(qAbs(zoneOffsetDays(local) - offsetDays) < 1e-12);
    }

    // Clocks go back in Berlin at 2026-10-25 01:00:00 UTC: the local time
    // repeats an hour, but the UTC readings a second apart stay a second apart.
    void summerTimeEnds() {
        const QTimeZone berlin("Europe/Berlin");
        const QDateTime before =
            QDateTime(QDate(2026, 10, 25), QTime(0, 59, 59), QTimeZone::utc()).toTimeZone(berlin);
        const QDateTime after = before.addSecs(1);
        QCOMPARE(before.time(), QTime(2, 59, 59));
        QCOMPARE(after.time(), QTime(2, 0, 0));
        QCOMPARE(uhrzeit2(utcMoment(before)), QStringLiteral("00:59:59"));
        QCOMPARE(uhrzeit2(utcMoment(after)), QStringLiteral("01:00:00"));
        QCOMPARE(utcMoment(before).secsTo(utcMoment(after)), 1);
        QVERIFY(zoneOffsetDays(before) != zoneOffsetDays(after));
    }

    void dateForms_data() {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("text");
        const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        for (int m = 1; m <= 12; ++m) {
            const int day = m <= 9 ? m : 10 + m; // days 1 to 9, then two-digit days
            QTest::addRow("%s", months[m - 1]) << QDate(2007, m, day)
                                               << QStringLiteral("2007-%1-%2")
                                                      .arg(months[m - 1])
                                                      .arg(day, 2, 10, QLatin1Char('0'));
        }
        QTest::newRow("year without leading zeros") << QDate(999, 3, 5) << "999-Mar-05";
    }
    void dateForms() {
        QFETCH(QDate, date);
        QFETCH(QString, text);
        QCOMPARE(datum(QDateTime(date, QTime(0, 0), QTimeZone::utc()), makeMonthTable()), text);
    }

    void timeForms_data() {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("hhmm");
        QTest::addColumn<QString>("hhmmss");
        QTest::newRow("9:05:07") << QTime(9, 5, 7) << "09:05"
                                 << "09:05:07";
        QTest::newRow("midnight") << QTime(0, 0, 0) << "00:00"
                                  << "00:00:00";
        QTest::newRow("23:59:59") << QTime(23, 59, 59) << "23:59"
                                  << "23:59:59";
    }
    void timeForms() {
        QFETCH(QTime, time);
        QFETCH(QString, hhmm);
        QFETCH(QString, hhmmss);
        const QDateTime t(QDate(2026, 1, 1), time, QTimeZone::utc());
        QCOMPARE(uhrzeit(t), hhmm);
        QCOMPARE(uhrzeit2(t), hhmmss);
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
