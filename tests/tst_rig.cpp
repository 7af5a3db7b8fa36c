// SPDX-License-Identifier: GPL-3.0-or-later
// The radio through hamlib's rigctld: the reply parser, the mode table, the
// client against servers that misbehave, and the window following the real
// rigctld's dummy radio.
#include "Adif.h"
#include "FakePlatform.h"
#include "Rig.h"
#include "RigClient.h"
#include "Tavrelo.h"
#include "TestFiles.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrelo;
using namespace tavrelo::rig;
using tavrelo::testing::readFile;

namespace {

QList<QByteArray> linesOf(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// A TCP server on a free port of 127.0.0.1 that answers each connection
// with what answer() gives for what it received.
class FakeRig : public QObject {
public:
    explicit FakeRig(std::function<QByteArray(const QByteArray&)> answer)
        : answer_(std::move(answer)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, s,
                                 [this, s] { s->write(answer_(s->readAll())); });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    int connections = 0;

private:
    QTcpServer server_;
    std::function<QByteArray(const QByteArray&)> answer_;
};

// Starts hamlib's rigctld with its dummy radio on a free port; empty when
// it is not installed.
struct Rigctld {
    QProcess process;
    quint16 port = 0;
    bool start(const QStringList& more = {}) {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("rigctld"));
        if (program.isEmpty())
            return false;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        process.start(
            program, QStringList{"-m", "1", "-T", "127.0.0.1", "-t", QString::number(port)} + more);
        if (!process.waitForStarted())
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            if (s.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    // A command as another program sends it, such as "F 14074000": its
    // whole answer, up to the RPRT line, on a busy machine too. The radio
    // is set up for the test, so a command it did not take is sent again.
    QByteArray send(const QByteArray& command) const {
        QByteArray answer;
        for (int attempt = 0; attempt < 3 && !answer.contains("RPRT 0"); ++attempt) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            if (!s.waitForConnected(5000))
                continue;
            s.write(command + "\n");
            answer.clear();
            QElapsedTimer t;
            t.start();
            while (!answer.contains('\n') && t.elapsed() < 5000) {
                if (s.waitForReadyRead(200))
                    answer += s.readAll();
            }
        }
        return answer;
    }
    // Whether the radio took the command; answer: what rigctld said.
    bool takes(const QByteArray& command, QByteArray& answer) const {
        answer = send(command);
        return answer.contains("RPRT 0");
    }
    ~Rigctld() {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class TestRig : public QObject {
    Q_OBJECT

private slots:
    void pollReplies_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("state");
        QTest::addColumn<quint64>("hz");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("used");
        const int in = PollReply::Incomplete, ok = PollReply::Complete, bad = PollReply::Failed;
        QTest::newRow("whole") << QByteArray("14074000\nUSB\n2400\n") << ok << quint64(14074000)
                               << QByteArray("USB") << 3;
        QTest::newRow("with a decimal part") << QByteArray("7074000.000000\nPKTUSB\n3000\n") << ok
                                             << quint64(7074000) << QByteArray("PKTUSB") << 3;
        QTest::newRow("CR LF") << QByteArray("3573000\r\nCW\r\n500\r\n") << ok << quint64(3573000)
                               << QByteArray("CW") << 3;
        QTest::newRow("frequency only, so far")
            << QByteArray("14074000\n") << in << quint64(0) << QByteArray() << 0;
        QTest::newRow("mode without its passband")
            << QByteArray("14074000\nUSB\n") << in << quint64(0) << QByteArray() << 0;
        QTest::newRow("both answers errors")
            << QByteArray("RPRT -11\nRPRT -11\n") << bad << quint64(0) << QByteArray() << 2;
        QTest::newRow("frequency an error, mode fine")
            << QByteArray("RPRT -1\nUSB\n2400\n") << bad << quint64(0) << QByteArray() << 3;
        QTest::newRow("mode an error")
            << QByteArray("14074000\nRPRT -9\n") << bad << quint64(0) << QByteArray() << 2;
        QTest::newRow("garbage for a frequency")
            << QByteArray("hello\n") << bad << quint64(0) << QByteArray() << 1;
        QTest::newRow("a frequency of 30 digits")
            << QByteArray("123456789012345678901234567890\nUSB\n0\n") << bad << quint64(0)
            << QByteArray() << 1;
        QTest::newRow("garbage for a mode")
            << QByteArray("14074000\nU$B\n2400\n") << bad << quint64(0) << QByteArray() << 2;
        QTest::newRow("garbage for a passband")
            << QByteArray("14074000\nUSB\nwide\n") << bad << quint64(0) << QByteArray() << 3;
        QTest::newRow("frequency 0")
            << QByteArray("0\nUSB\n2400\n") << bad << quint64(0) << QByteArray() << 3;
    }
    void pollReplies() {
        QFETCH(QByteArray, text);
        QFETCH(int, state);
        QFETCH(quint64, hz);
        QFETCH(QByteArray, mode);
        QFETCH(int, used);
        const PollReply r = parsePollReply(linesOf(text));
        QCOMPARE(int(r.state), state);
        QCOMPARE(r.reading.hz, hz);
        QCOMPARE(r.reading.mode, mode);
        QCOMPARE(int(r.linesUsed), used);
    }

    void vfoCheck_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("vfo"); // -1: no answer
        QTest::newRow("1") << QByteArray("1") << 1;
        QTest::newRow("0") << QByteArray("0\r") << 0;
        QTest::newRow("older form") << QByteArray("CHKVFO 1") << 1;
        QTest::newRow("an error") << QByteArray("RPRT -1") << -1;
        QTest::newRow("garbage") << QByteArray("SSH-2.0-OpenSSH") << -1;
    }
    void vfoCheck() {
        QFETCH(QByteArray, line);
        QFETCH(int, vfo);
        const auto v = parseCheckVfo(line);
        QCOMPARE(v ? int(*v) : -1, vfo);
    }

    void modes_data() {
        QTest::addColumn<QByteArray>("hamlib");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("submode");
        QTest::newRow("USB") << QByteArray("USB") << QByteArray("SSB") << QByteArray("USB");
        QTest::newRow("LSB") << QByteArray("LSB") << QByteArray("SSB") << QByteArray("LSB");
        QTest::newRow("CW") << QByteArray("CW") << QByteArray("CW") << QByteArray();
        QTest::newRow("CW reverse") << QByteArray("CWR") << QByteArray("CW") << QByteArray();
        QTest::newRow("RTTY reverse") << QByteArray("RTTYR") << QByteArray("RTTY") << QByteArray();
        QTest::newRow("AM") << QByteArray("AM") << QByteArray("AM") << QByteArray();
        QTest::newRow("narrow FM") << QByteArray("FMN") << QByteArray("FM") << QByteArray();
        QTest::newRow("wide FM") << QByteArray("WFM") << QByteArray("FM") << QByteArray();
        QTest::newRow("D-STAR") << QByteArray("DSTAR") << QByteArray("DIGITALVOICE")
                                << QByteArray("DSTAR");
        QTest::newRow("data: the computer's mode")
            << QByteArray("PKTUSB") << QByteArray() << QByteArray();
        QTest::newRow("lower case") << QByteArray("usb") << QByteArray("SSB") << QByteArray("USB");
        QTest::newRow("unknown") << QByteArray("XYZ") << QByteArray() << QByteArray();
    }
    void modes() {
        QFETCH(QByteArray, hamlib);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, submode);
        const adif::ModeName m = adifMode(hamlib);
        QCOMPARE(m.mode, mode);
        QCOMPARE(m.submode, submode);
        // Every mode the table gives is one ADIF knows.
        if (!mode.isEmpty())
            QCOMPARE(
                adif::modeOf(QString::fromLatin1(m.submode.isEmpty() ? m.mode : m.submode))->mode,
                mode);
    }

    void bands_data() {
        QTest::addColumn<quint64>("hz");
        QTest::addColumn<QByteArray>("band");
        QTest::newRow("FT8 on 20m") << quint64(14074000) << QByteArray("20m");
        QTest::newRow("lower edge") << quint64(7000000) << QByteArray("40m");
        QTest::newRow("upper edge") << quint64(7300000) << QByteArray("40m");
        QTest::newRow("between bands") << quint64(7300001) << QByteArray();
        QTest::newRow("2m") << quint64(145000000) << QByteArray("2m");
        QTest::newRow("nothing") << quint64(0) << QByteArray();
    }
    void bands() {
        QFETCH(quint64, hz);
        QFETCH(QByteArray, band);
        QCOMPARE(QByteArray(bandOfHz(hz)), band);
    }

    // The record kept for a contact saved while the radio is followed.
    void contactRecords_data() {
        QTest::addColumn<QString>("band");
        QTest::addColumn<quint64>("hz");
        QTest::addColumn<QByteArray>("has");
        QTest::addColumn<QByteArray>("hasNot");
        QTest::newRow("on the radio's band")
            << "20m" << quint64(14074000) << QByteArray("<FREQ:9>14.074000") << QByteArray();
        QTest::newRow("a band typed over the radio's")
            << "40m" << quint64(14074000) << QByteArray("<BAND:3>40m") << QByteArray("<FREQ");
    }
    void contactRecords() {
        QFETCH(QString, band);
        QFETCH(quint64, hz);
        QFETCH(QByteArray, has);
        QFETCH(QByteArray, hasNot);
        const logfile::Fields f{"2026-Dec-07", "21:30:05", band, "zz9zz", "", "", "", ""};
        const QByteArray r = contactRecord(f, Reading{hz, "USB"});
        QVERIFY2(r.contains(has), r.constData());
        QVERIFY(r.contains("<CALL:5>ZZ9ZZ"));
        QVERIFY(r.contains("<MODE:3>SSB <SUBMODE:3>USB"));
        if (!hasNot.isEmpty())
            QVERIFY(!r.contains(hasNot));
        // No key, no record.
        QVERIFY(contactRecord({"", "21:30", band, "ZZ9ZZ", "", "", "", ""}, Reading{hz, "USB"})
                    .isEmpty());
    }

    // Servers that misbehave: the client never blocks the event loop (a
    // timer of the test's own keeps ticking), gives no reading from what
    // does not parse, and connects again once dropped.
    void misbehavingServers_data() {
        QTest::addColumn<QByteArray>("answer"); // to every poll
        QTest::addColumn<bool>("reads");
        QTest::addColumn<bool>("dropped");
        QTest::newRow("a good radio") << QByteArray("14074000\nUSB\n2400\n") << true << false;
        QTest::newRow("never answers") << QByteArray() << false << true;
        QTest::newRow("garbage") << QByteArray("garbage\n\n\n\n") << false << true;
        QTest::newRow("a megabyte") << QByteArray(1 << 20, 'x') << false << true;
        // A radio switched off: rigctld answers with errors, and is kept.
        QTest::newRow("errors") << QByteArray("RPRT -11\nRPRT -11\n") << false << false;
    }
    void misbehavingServers() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, reads);
        QFETCH(bool, dropped);
        FakeRig server([&](const QByteArray& asked) -> QByteArray {
            if (asked.startsWith("\\chk_vfo"))
                return "0\n";
            return answer;
        });
        RigClient client(QStringLiteral("127.0.0.1"), server.port());
        client.setTimings(50, 200, 100);
        QList<Reading> readings;
        connect(&client, &RigClient::reading, this, [&](const Reading& r) { readings << r; });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(10);
        client.start();
        QTest::qWait(1000);
        QVERIFY2(ticks > 50, qPrintable(QString::number(ticks))); // never held up
        QCOMPARE(!readings.isEmpty(), reads);
        for (const Reading& r : std::as_const(readings))
            QCOMPARE(r.hz, quint64(14074000));
        QCOMPARE(server.connections >= 2, dropped); // dropped, and tried again
        QCOMPARE(client.isFollowing(), reads);
    }

    // No server at all: no reading, no word, no wait.
    void noServer() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        RigClient client(QStringLiteral("127.0.0.1"), port);
        client.setTimings(50, 200, 100);
        int changes = 0;
        connect(&client, &RigClient::followingChanged, this, [&] { ++changes; });
        QElapsedTimer t;
        t.start();
        client.start();
        QVERIFY(t.elapsed() < 100);
        QTest::qWait(400);
        QCOMPARE(changes, 0);
        QVERIFY(!client.isFollowing());
    }

    // The window with hamlib's real rigctld and its dummy radio: Band
    // follows the radio, each saved contact exports with its FREQ, BAND and
    // MODE, and a radio that is killed leaves the window working.
    void windowFollowsRealRigctld_data() {
        QTest::addColumn<bool>("vfoMode");
        QTest::newRow("plain") << false;
        QTest::newRow("VFO mode") << true;
    }
    void windowFollowsRealRigctld() {
        QFETCH(bool, vfoMode);
        Rigctld rigctld;
        if (!rigctld.start(vfoMode ? QStringList{"-o"} : QStringList()))
            QSKIP("hamlib's rigctld is not installed (libhamlib-utils; the set-up installs it)");
        QTemporaryDir dir;
        FakePlatform platform;
        platform.directory = dir.path();
        platform.dataHome = dir.filePath("share");
        platform.now = QDateTime::currentDateTime();
        Tavrelo w(platform);
        QVERIFY(w.load().ok());
        RigClient client(QStringLiteral("127.0.0.1"), rigctld.port);
        client.setTimings(100, 1000, 200);
        w.followRig(&client);
        client.start();
        const QByteArray vfo = vfoMode ? " currVFO" : "";
        QByteArray answer;
        QVERIFY2(rigctld.takes("F" + vfo + " 14074000", answer), answer.constData());
        QVERIFY2(rigctld.takes("M" + vfo + " USB 2400", answer), answer.constData());
        QTRY_COMPARE(w.Text1[Tavrelo::Band]->text(), QStringLiteral("20m"));
        QTRY_VERIFY(w.Text1[Tavrelo::Band]->toolTip().contains("14.074000"));
        w.Text1[Tavrelo::Date]->setText("2026-Dec-07");
        w.Text1[Tavrelo::Utc]->setText("21:30:05");
        w.Text1[Tavrelo::Call]->setText("ZZ9ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QVERIFY2(rigctld.takes("F" + vfo + " 7074000", answer), answer.constData());
        QVERIFY2(rigctld.takes("M" + vfo + " CW 500", answer), answer.constData());
        QTRY_COMPARE(w.Text1[Tavrelo::Band]->text(), QStringLiteral("40m"));
        QTRY_VERIFY(w.Text1[Tavrelo::Band]->toolTip().contains("CW"));
        w.Text1[Tavrelo::Date]->setText("2026-Dec-07");
        w.Text1[Tavrelo::Utc]->setText("21:31:10");
        w.Text1[Tavrelo::Call]->setText("ZZ8ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);

        QByteArray adi;
        const adif::ExportSummary s = adif::exportLog(
            w.logPath(), adif::ExportOptions{}, QDateTime::currentDateTimeUtc(), "1.0.0",
            [&](const QByteArray& b) {
                adi += b;
                return 0;
            },
            [](const QString&) {});
        QCOMPARE(s.written, 2);
        QVERIFY2(adi.contains("<BAND:3>20m <FREQ:9>14.074000 <CALL:5>ZZ9ZZ"), adi.constData());
        QVERIFY(adi.contains("<MODE:3>SSB <SUBMODE:3>USB"));
        QVERIFY(adi.contains("<BAND:3>40m <FREQ:8>7.074000 <CALL:5>ZZ8ZZ"));
        QVERIFY(adi.contains("<MODE:2>CW"));

        // A band typed over the radio's holds while the radio stays put.
        w.Text1[Tavrelo::Band]->setText("80m");
        QTest::qWait(400);
        QCOMPARE(w.Text1[Tavrelo::Band]->text(), QStringLiteral("80m"));

        // The radio gone: the window goes on, Band stays, the tooltip says so.
        rigctld.process.kill();
        rigctld.process.waitForFinished();
        QTRY_VERIFY(w.Text1[Tavrelo::Band]->toolTip().contains("not followed"));
        QCOMPARE(w.Text1[Tavrelo::Band]->text(), QStringLiteral("80m"));
        w.Text1[Tavrelo::Call]->setText("ZZ7ZZ");
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QVERIFY(readFile(w.logPath()).contains("ZZ7ZZ"));
    }
};

QTEST_MAIN(TestRig)
#include "tst_rig.moc"
