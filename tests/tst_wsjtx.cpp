// SPDX-License-Identifier: GPL-3.0-or-later
#include "Companion.h"
#include "ContactLog.h"
#include "Message.h"
#include "TestFiles.h"
#include "Transaction.h"

#include <QDataStream>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <QtTest>
#include <csignal>
#include <signal.h>

using namespace tavrelo;
using namespace tavrelo::wsjtx;
using testing::readFile;
using testing::writeFile;

namespace {

// A datagram as WSJT-X writes it: header, id, then the given strings, with
// any trailing bytes of a later version.
QByteArray datagram(quint32 magic, quint32 schema, quint32 type, const QList<QByteArray>& strings,
                    const QByteArray& extra = {}) {
    QByteArray d;
    QDataStream out(&d, QIODevice::WriteOnly);
    out << magic << schema << type;
    for (const QByteArray& s : strings) {
        out << quint32(s.size());
        out.writeRawData(s.constData(), int(s.size()));
    }
    out.writeRawData(extra.constData(), int(extra.size()));
    return d;
}

QByteArray loggedAdif(const QByteArray& adif) {
    return datagram(Magic, 3, LoggedAdif, {"WSJT-X", adif});
}

// What WSJT-X sends for one FT8 contact.
QByteArray ft8(const QByteArray& call, const QByteArray& time = "120530") {
    return "\n<adif_ver:5>3.1.0\n<programid:6>WSJT-X\n<EOH>\n<call:" +
           QByteArray::number(call.size()) + ">" + call +
           " <gridsquare:4>JO62 <mode:3>FT8 <rst_sent:3>-10 <rst_rcvd:3>-12 <qso_date:8>20241105 "
           "<time_on:6>" +
           time +
           " <qso_date_off:8>20241105 <time_off:6>120645 <band:3>20m <freq:9>14.075816 "
           "<station_callsign:5>ZZ1AA <my_gridsquare:6>JO31ab <eor>";
}

QByteArray ft8Line(const QByteArray& call, const QByteArray& time = "12:05:30") {
    return "2024-Nov-05,  " + time + ",  20m,  " + call + ",  ,  JO62,  -10,  -12";
}

// The QSO Logged message that WSJT-X sends beside Logged ADIF, for the
// same contact as ft8().
QsoLoggedFields ft8Fields(const QByteArray& call) {
    QsoLoggedFields q;
    q.timeOff = QDateTime(QDate(2024, 11, 5), QTime(12, 6, 45), QTimeZone::utc());
    q.dxCall = call;
    q.dxGrid = "JO62";
    q.frequencyHz = 14075816;
    q.mode = "FT8";
    q.reportSent = "-10";
    q.reportReceived = "-12";
    q.timeOn = QDateTime(QDate(2024, 11, 5), QTime(12, 5, 30), QTimeZone::utc());
    q.myCall = "ZZ1AA";
    q.myGrid = "JO31ab";
    return q;
}
QByteArray qsoLogged(const QByteArray& call) {
    return encodeQsoLogged("WSJT-X", ft8Fields(call));
}

QStringList lines(const QByteArray& bytes) {
    QStringList l = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
    l.removeAll(QString());
    return l;
}

// tavrelo-wsjtx running on a free port of 127.0.0.1, writing to log.
class Companion {
public:
    explicit Companion(const QString& log, const QStringList& more = {}) {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        port_ = probe.localPort();
        probe.close();
        process_.start(QStringLiteral(TAVRELO_WSJTX),
                       QStringList{QStringLiteral("--listen"),
                                   QStringLiteral("127.0.0.1:%1").arg(port_), log} +
                           more);
    }
    ~Companion() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    // Until the standard error holds the text.
    bool waitForError(const QByteArray& text) {
        for (int i = 0; i < 500 && !error_.contains(text); ++i) {
            process_.waitForReadyRead(20);
            error_ += process_.readAllStandardError();
        }
        return error_.contains(text);
    }
    void send(const QByteArray& d) {
        QCOMPARE(socket_.writeDatagram(d, QHostAddress::LocalHost, port_), d.size());
    }
    // To a multicast group, on this computer only; false where there is no
    // route for it.
    bool sendToGroup(const QByteArray& d, const QHostAddress& group) {
        socket_.setSocketOption(QAbstractSocket::MulticastTtlOption, 0);
        socket_.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
        return socket_.writeDatagram(d, group, port_) == d.size();
    }
    // SIGTERM (or another signal), and its exit code.
    int stop(int signal = SIGTERM) {
        ::kill(pid_t(process_.processId()), signal);
        process_.waitForFinished(10000);
        error_ += process_.readAllStandardError();
        output_ += process_.readAllStandardOutput();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    const QByteArray& error() const { return error_; }
    const QByteArray& output() const { return output_; }

private:
    QProcess process_;
    QUdpSocket socket_;
    quint16 port_ = 0;
    QByteArray error_;
    QByteArray output_;
};

// Until the file holds n lines, at most ten seconds.
bool waitForLines(const QString& path, int n) {
    for (int i = 0; i < 500; ++i) {
        if (lines(readFile(path)).size() >= n)
            return true;
        QTest::qWait(20);
    }
    return false;
}

} // namespace

class TestWsjtx : public QObject {
    Q_OBJECT

private slots:
    // Datagrams as they arrive, good and broken: the fault found, and the
    // ADIF text read from a Logged ADIF message.
    void decoding_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("adif");
        const int none = int(Fault::None);
        QTest::newRow("Logged ADIF")
            << loggedAdif("<call:4>ZZ9Z<eor>") << none << QByteArray("<call:4>ZZ9Z<eor>");
        QTest::newRow("schema 2, more fields of a later version")
            << datagram(Magic, 2, LoggedAdif, {"JTDX", "x", "later"}, "\x01\x02") << none
            << QByteArray("x");
        QTest::newRow("null id") << datagram(Magic, 3, LoggedAdif, {}, "\xff\xff\xff\xff") +
                                        datagram(0, 0, 0, {"y"}).mid(12)
                                 << none << QByteArray("y");
        QTest::newRow("a heartbeat")
            << datagram(Magic, 3, Heartbeat, {"WSJT-X"}, QByteArray("\0\0\0\x03", 4)) << none
            << QByteArray();
        QTest::newRow("empty") << QByteArray() << int(Fault::TooShort) << QByteArray();
        QTest::newRow("cut in the header")
            << loggedAdif("x").left(10) << int(Fault::TooShort) << QByteArray();
        QTest::newRow("cut in a length")
            << loggedAdif("x").left(22) << int(Fault::TooShort) << QByteArray();
        QTest::newRow("wrong magic") << datagram(0xadbccbdb, 3, LoggedAdif, {"WSJT-X", "x"})
                                     << int(Fault::WrongMagic) << QByteArray();
        QTest::newRow("schema 4") << datagram(Magic, 4, LoggedAdif, {"WSJT-X", "x"})
                                  << int(Fault::UnknownSchema) << QByteArray();
        QByteArray past = loggedAdif("0123456789");
        past[25] = 0x7f; // the ADIF's length: far past the end
        QTest::newRow("length past the end") << past << int(Fault::LengthPastEnd) << QByteArray();
        QByteArray justPast = loggedAdif("0123456789");
        justPast[25] = 14; // four bytes more than there are
        QTest::newRow("length four bytes past the end")
            << justPast << int(Fault::LengthPastEnd) << QByteArray();
        QByteArray exact = loggedAdif("0123456789");
        QTest::newRow("length to the last byte")
            << exact << int(Fault::None) << QByteArray("0123456789");
        QTest::newRow("length 0xfffffffe")
            << datagram(Magic, 3, LoggedAdif, {"WSJT-X"}, "\xff\xff\xff\xfe")
            << int(Fault::LengthPastEnd) << QByteArray();
        QTest::newRow("64 KB of noise")
            << QByteArray(65507, '\xad') << int(Fault::WrongMagic) << QByteArray();
        const QByteArray big = "<call:4>ZZ9Z<comment:65000>" + QByteArray(65000, 'c') + "<eor>";
        QTest::newRow("64 KB Logged ADIF") << loggedAdif(big) << none << big;
    }
    void decoding() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, fault);
        QFETCH(QByteArray, adif);
        const Message m = decodeMessage(bytes);
        QCOMPARE(int(m.fault), fault);
        QCOMPARE(m.adif, adif);
        if (m.fault == Fault::None && m.type == LoggedAdif)
            QCOMPARE(decodeMessage(encodeLoggedAdif(m.id, m.adif, m.schema)).adif, adif);
    }

    // The log as the companion keeps it: a contact that another program
    // wrote meanwhile is a duplicate; a log replaced by another file is read
    // again from its start.
    void duplicatesFollowTheLog() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        QStringList skipped;
        const auto contact = [&](const QByteArray& call) {
            return contactsOfAdif(ft8(call), skipped).value(0);
        };
        ContactLog log(path);
        log.add(contact("ZZ1A"));
        QCOMPARE(log.save().saved.size(), 1);
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write(ft8Line("zz2b") + "\r\n"); // the window, in lower case
        f.close();
        log.add(contact("ZZ2B"));
        log.add(contact("ZZ3C"));
        log.add(contact("ZZ3C"));
        ContactLog::Outcome o = log.save();
        QCOMPARE(o.saved, QList<QByteArray>{ft8Line("ZZ3C") + "\r\n"});
        QCOMPARE(o.duplicates.size(), 2);
        QVERIFY(QFile::remove(path));
        writeFile(path, ft8Line("ZZ3C") + "\r\n" + ft8Line("ZZ4D") + "\r\n");
        log.add(contact("ZZ1A"));
        log.add(contact("ZZ4D"));
        o = log.save();
        QCOMPARE(o.saved, QList<QByteArray>{ft8Line("ZZ1A") + "\r\n"});
        QCOMPARE(o.duplicates, QList<QByteArray>{ft8Line("ZZ4D") + "\r\n"});
        QVERIFY(skipped.isEmpty());
    }

    // The running companion: what reaches the log for what arrives.
    void logging_data() {
        QTest::addColumn<QList<QByteArray>>("datagrams");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("one contact")
            << QList<QByteArray>{loggedAdif(ft8("ZZ9ZZ"))} << QStringList{ft8Line("ZZ9ZZ")};
        QTest::newRow("QSO Logged, then Logged ADIF")
            << QList<QByteArray>{qsoLogged("ZZ9ZZ"), loggedAdif(ft8("ZZ9ZZ"))}
            << QStringList{ft8Line("ZZ9ZZ")};
        QTest::newRow("QSO Logged only")
            << QList<QByteArray>{qsoLogged("ZZ9ZZ"), qsoLogged("ZZ8ZZ")}
            << QStringList{ft8Line("ZZ9ZZ"), ft8Line("ZZ8ZZ")};
        QTest::newRow("the same contact twice, the second a few seconds later")
            << QList<QByteArray>{loggedAdif(ft8("ZZ9ZZ")), loggedAdif(ft8("ZZ9ZZ", "120559")),
                                 loggedAdif(ft8("ZZ8ZZ"))}
            << QStringList{ft8Line("ZZ9ZZ"), ft8Line("ZZ8ZZ")};
        QByteArray past = loggedAdif(ft8("ZZ7ZZ"));
        past[25] = 0x7f;
        QTest::newRow("every broken kind, twice, then a contact")
            << QList<QByteArray>{datagram(1, 3, LoggedAdif, {"x", "y"}),
                                 datagram(2, 3, LoggedAdif, {"x", "y"}),
                                 loggedAdif(ft8("ZZ7ZZ")).left(24),
                                 loggedAdif(ft8("ZZ7ZZ")).left(24),
                                 past,
                                 past,
                                 QByteArray(65507, 'x'),
                                 datagram(Magic, 9, LoggedAdif, {"x", "y"}),
                                 loggedAdif("<call:4>ZZ9Z<eor>"),
                                 loggedAdif("<qso_date:8>20241105<time_on:4>1200<eor>"),
                                 loggedAdif(ft8("ZZ7ZZ"))}
            << QStringList{ft8Line("ZZ7ZZ")};
    }
    void logging() {
        QFETCH(QList<QByteArray>, datagrams);
        QFETCH(QStringList, logged);
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        Companion c(log);
        QVERIFY2(c.waitForError("listening on"), c.error().constData());
        for (const QByteArray& d : datagrams)
            c.send(d);
        QVERIFY(waitForLines(log, int(logged.size())));
        QCOMPARE(c.stop(), 0);
        QCOMPARE(lines(readFile(log)), logged);
        const QStringList out = QString::fromUtf8(c.output()).split(QLatin1Char('\n'));
        QCOMPARE(out.filter(QRegularExpression("^logged: ")).size(), logged.size());
        // Each kind of broken datagram is named once when it first comes,
        // and counted at stop.
        const bool broken = datagrams.size() > 5;
        const QStringList said = QString::fromUtf8(c.error()).split(QLatin1Char('\n'));
        for (const Fault f :
             {Fault::TooShort, Fault::WrongMagic, Fault::UnknownSchema, Fault::LengthPastEnd})
            QVERIFY2(said.filter(describe(f)).size() == (broken ? 2 : 0), qPrintable(describe(f)));
        if (broken) {
            QVERIFY(c.error().contains("3 because it does not start with WSJT-X's magic number"));
            QVERIFY(c.error().contains("2 because it ends before"));
            QVERIFY(c.error().contains("2 because its ADIF gives no contact"));
            QVERIFY(c.error().contains("no QSO_DATE that parses"));
        }
    }

    // A thousand contacts within a second reach the log, whole and in order.
    void burst() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        Companion c(log);
        QVERIFY(c.waitForError("listening on"));
        QStringList expected;
        // Ten bursts of a hundred within half a second: a hundred fit into
        // any system's socket buffer, so nothing is lost before the program.
        for (int i = 0; i < 1000; ++i) {
            const QByteArray call = "ZZ" + QByteArray::number(i).rightJustified(4, '0');
            c.send(loggedAdif(ft8(call)));
            expected << ft8Line(call);
            if (i % 100 == 99)
                QTest::qWait(50);
        }
        QVERIFY(waitForLines(log, 1000));
        QCOMPARE(c.stop(), 0);
        QCOMPARE(lines(readFile(log)), expected);
    }

    // With --multicast it hears the group that WSJT-X sends to.
    void multicastGroup() {
        QTemporaryDir dir;
        const QString log = dir.filePath("Tavrelo.txt");
        const QHostAddress group(QStringLiteral("239.255.0.1"));
        Companion c(log, {QStringLiteral("--multicast"), group.toString()});
        if (!c.waitForError("listening on 239.255.0.1") &&
            c.error().contains("Could not join the multicast group"))
            QSKIP("no interface here can join a multicast group");
        QVERIFY2(c.error().contains("listening on"), c.error().constData());
        if (!c.sendToGroup(loggedAdif(ft8("ZZ9ZZ")), group))
            QSKIP("no route for multicast on this machine");
        QVERIFY(waitForLines(log, 1));
        QCOMPARE(c.stop(), 0);
        QCOMPARE(lines(readFile(log)), QStringList{ft8Line("ZZ9ZZ")});
    }

    // A save that fails is said with its error and retried until it works;
    // stopped before, the companion prints what it could not save.
    void failedSaveIsRetried() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("logs");
        writeFile(folder, "a file where the folder of the log should be");
        const QString log = folder + QStringLiteral("/Tavrelo.txt");
        {
            Companion c(log);
            QVERIFY(c.waitForError("listening on"));
            c.send(loggedAdif(ft8("ZZ1A")));
            QVERIFY2(c.waitForError("Error 20: Not a directory"), c.error().constData());
            c.send(loggedAdif(ft8("ZZ2B")));
            QTest::qWait(100);
            QVERIFY(QFile::remove(folder));
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(waitForLines(log, 2));
            QCOMPARE(c.stop(), 0);
            QCOMPARE(lines(readFile(log)), (QStringList{ft8Line("ZZ1A"), ft8Line("ZZ2B")}));
            QCOMPARE(c.error().count("Not a directory"), 1); // not once per retry
        }
        QVERIFY(QDir(folder).removeRecursively());
        writeFile(folder, "again");
        Companion c(log);
        QVERIFY(c.waitForError("listening on"));
        c.send(loggedAdif(ft8("ZZ3C")));
        QVERIFY(c.waitForError("Not a directory"));
        QCOMPARE(c.stop(), 1);
        QVERIFY(c.output().contains("not saved: " + ft8Line("ZZ3C")));
    }

    // A failed save keeps the contacts in the order they came, and the log
    // replaced by another file is read anew for its contacts.
    void queueOrderAndReplacedLog() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("logs");
        const QString path = folder + "/Tavrelo.txt";
        writeFile(folder, "not a folder");
        ContactLog log(path);
        QStringList skipped;
        for (const QByteArray call : {"ZZ1A", "ZZ2B", "ZZ3C"})
            log.add(contactsOfAdif(ft8(call), skipped).first());
        QVERIFY(!log.save().error.ok());
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(log.save().error.ok());
        QCOMPARE(lines(readFile(path)),
                 (QStringList{ft8Line("ZZ1A"), ft8Line("ZZ2B"), ft8Line("ZZ3C")}));
        // Another file in the log's place, holding a contact not yet seen.
        const QString other = folder + "/other.txt";
        writeFile(other, ft8Line("ZZ4D") + "\r\n");
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::rename(other, path));
        log.add(contactsOfAdif(ft8("ZZ4D"), skipped).first());
        log.add(contactsOfAdif(ft8("ZZ1A"), skipped).first());
        const ContactLog::Outcome o = log.save();
        QCOMPARE(o.duplicates.size(), 1);
        QCOMPARE(lines(readFile(path)), (QStringList{ft8Line("ZZ4D"), ft8Line("ZZ1A")}));
    }

    // QSO Logged read field by field: FT4 as ADIF has it, the frequency in
    // MHz, the date and time on from its own field; a message cut short
    // anywhere is a fault, never a contact.
    void qsoLoggedFields() {
        QsoLoggedFields q = ft8Fields("ZZ9ZZ");
        q.mode = "FT4";
        q.frequencyHz = 14080000;
        q.propagationMode = "ES";
        const QByteArray d = encodeQsoLogged("JTDX", q);
        const Message m = decodeMessage(d);
        QCOMPARE(int(m.fault), int(Fault::None));
        QCOMPARE(m.id, QByteArray("JTDX"));
        for (const QByteArray& field :
             {QByteArray("<CALL:5>ZZ9ZZ"), QByteArray("<MODE:4>MFSK"), QByteArray("<SUBMODE:3>FT4"),
              QByteArray("<FREQ:9>14.080000"), QByteArray("<QSO_DATE:8>20241105"),
              QByteArray("<TIME_ON:6>120530"), QByteArray("<TIME_OFF:6>120645"),
              QByteArray("<PROP_MODE:2>ES"), QByteArray("<MY_GRIDSQUARE:6>JO31ab")})
            QVERIFY2(m.adif.contains(field), m.adif.constData());
        for (qsizetype cut = 20; cut < d.size() - 10; cut += 7)
            QVERIFY(decodeMessage(d.left(cut)).adif.isEmpty());
    }

    // Logged ADIF after QSO Logged adds to the contact's record only the
    // fields the first message lacked.
    void secondMessageAddsWhatTheFirstLacked() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Tavrelo.txt");
        ContactLog log(path);
        QStringList skipped;
        for (const Contact& c : contactsOfAdif(decodeMessage(qsoLogged("ZZ9ZZ")).adif, skipped))
            log.add(c);
        QByteArray adif = ft8("ZZ9ZZ");
        adif.replace("<eor>", "<comment:5>hello <eor>");
        for (const Contact& c : contactsOfAdif(adif, skipped))
            log.add(c);
        const ContactLog::Outcome o = log.save();
        QVERIFY(o.error.ok());
        QCOMPARE(lines(readFile(path)), QStringList{ft8Line("ZZ9ZZ")});
        const QByteArray fields = readFile(tavrelo::logfile::fieldsPath(path));
        QCOMPARE(fields.count("<EOR>"), 2);
        QCOMPARE(fields.count("<COMMENT:5>hello"), 1);
        QCOMPARE(fields.count("<MY_GRIDSQUARE:6>JO31ab"), 1); // not added twice
    }

    // However it is stopped (Ctrl+C, SIGTERM, the terminal closed), the
    // contacts it could not save are printed, and the exit status says so.
    void stoppedWithUnsavedContacts_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void stoppedWithUnsavedContacts() {
        QFETCH(int, signal);
        QTemporaryDir dir;
        writeFile(dir.filePath("logs"), "a file where the folder of the log should be");
        Companion c(dir.filePath("logs/Tavrelo.txt"));
        QVERIFY(c.waitForError("listening on"));
        c.send(loggedAdif(ft8("ZZ4D")));
        QVERIFY(c.waitForError("Not a directory"));
        QCOMPARE(c.stop(signal), 1);
        QVERIFY(c.output().contains("not saved: " + ft8Line("ZZ4D")));
    }

    // A failure that lasts is said once, however many retries it takes.
    void lastingFailureSaidOnce() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("logs");
        writeFile(folder, "a file where the folder of the log should be");
        QStringList warnings, printed;
        Saver saver(
            folder + "/Tavrelo.txt", 10, [&](const QString& l) { printed << l; },
            [&](const QString& w) { warnings << w; });
        QStringList skipped;
        saver.add(contactsOfAdif(ft8("ZZ5E"), skipped));
        QTest::qWait(400); // some thirty retries
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings[0].contains("Not a directory"));
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkdir(folder));
        QTRY_VERIFY(printed.size() == 1);
        QVERIFY(printed[0].startsWith("logged: "));
        // That it works again, and that the log it writes to is a new one.
        QCOMPARE(warnings.size(), 3);
        QVERIFY(warnings.join('\n').contains("a new one was started"));
    }
};

QTEST_GUILESS_MAIN(TestWsjtx)
#include "tst_wsjtx.moc"
