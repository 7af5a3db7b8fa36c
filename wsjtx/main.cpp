// SPDX-License-Identifier: GPL-3.0-or-later
// tavrelo-wsjtx: logs the contacts that WSJT-X (and JTDX, JS8Call) announce
// over UDP, in the log the window uses.
#include "CommandLine.h"
#include "Companion.h"
#include "StopSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <cstdio>

namespace {

const char description[] =
    "Logs every contact that WSJT-X announces, as it logs it, in the Tavrelo log,\n"
    "and prints one line per contact.\n"
    "\n"
    "In WSJT-X: File, Settings, Reporting, UDP Server: 127.0.0.1, port 2237 (the\n"
    "default), and \"Accept UDP requests\" need not be on. A contact the log holds\n"
    "already (the same date, UTC to the minute, band and call, unless the two say\n"
    "different modes, satellites or propagation) is not logged again. With a web\n"
    "log set up in Tavrelo.conf, what is saved goes there too. A save that fails is retried until it works; at stop, contacts that\n"
    "could not be saved are printed.\n"
    "\n"
    "Exit status: 0 stopped with every contact saved; 1 stopped with contacts not\n"
    "saved; 2 it could not start.";

void printLine(std::FILE* stream, const QString& line) {
    std::fprintf(stream, "%s\n", qPrintable(line));
    std::fflush(stream);
}

void warn(const QString& message) {
    printLine(stderr, QStringLiteral("tavrelo-wsjtx: ") + message);
}

// ADDRESS:PORT, [ADDRESS]:PORT for IPv6, or only a PORT.
bool parseListen(const QString& text, QHostAddress& address, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535) // 0: a free port, which the start-up line names
        return false;
    port = quint16(p);
    return host.isEmpty() || address.setAddress(host);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrelo-wsjtx"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRELO_VERSION));
    tavrelo::companion::CommandLine commandLine(QStringLiteral("tavrelo-wsjtx"), description,
                                                QStringLiteral("write"));
    QCommandLineParser& parser = commandLine.parser();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Listen on this address and port instead of 127.0.0.1:2237. Only the "
                       "computer itself can reach 127.0.0.1; another address lets other "
                       "computers write to the log."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption groupOption(
        QStringLiteral("multicast"),
        QStringLiteral("Listen to this multicast group instead (WSJT-X can send to one, so "
                       "that several programs hear it), on the port of --listen or 2237."),
        QStringLiteral("GROUP"));
    parser.addOptions({listenOption, groupOption});
    if (const auto done = commandLine.parse(app.arguments()))
        return *done;
    const QString logPath = commandLine.logPath();

    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = 2237;
    if (parser.isSet(listenOption) && !parseListen(parser.value(listenOption), address, port))
        return commandLine.fail(
            QStringLiteral("\"%1\" is not an ADDRESS:PORT such as 127.0.0.1:2237")
                .arg(parser.value(listenOption)));
    QHostAddress group;
    if (parser.isSet(groupOption) && !group.setAddress(parser.value(groupOption)))
        return commandLine.fail(
            QStringLiteral("\"%1\" is not an address").arg(parser.value(groupOption)));

    // The saver lives on a thread of its own; the receiver on this one.
    QThread saverThread;
    auto* saver = new tavrelo::wsjtx::Saver(
        logPath, 2000, [](const QString& line) { printLine(stdout, line); }, warn);
    saver->moveToThread(&saverThread);
    QObject::connect(&saverThread, &QThread::finished, saver, &QObject::deleteLater);
    saverThread.start();

    tavrelo::wsjtx::Receiver receiver(
        [saver](const QList<tavrelo::wsjtx::Contact>& contacts) {
            QMetaObject::invokeMethod(saver, [saver, contacts] { saver->add(contacts); });
        },
        warn);
    const QString listenError =
        group.isNull() ? receiver.listen(address, port) : receiver.listenToGroup(group, port);
    if (!listenError.isEmpty()) {
        saverThread.quit();
        saverThread.wait();
        return commandLine.fail(listenError);
    }
    if (!(group.isNull() ? address : group).isLoopback() && group.isNull())
        warn(QStringLiteral("note: %1 is not this computer's own address: other computers that "
                            "can reach it on port %2 can write contacts into your log")
                 .arg(address.toString())
                 .arg(port));
    warn(QStringLiteral("listening on %1 port %2 for WSJT-X; contacts go to %3")
             .arg(group.isNull() ? address.toString() : group.toString())
             .arg(receiver.port())
             .arg(QDir::toNativeSeparators(logPath)));

    int status = 0;
    tavrelo::platform::catchStopSignals(&app, [&](int) {
        receiver.drain(); // what arrived before the signal is still logged
        qsizetype unsaved = 0;
        QMetaObject::invokeMethod(
            saver, [&] { unsaved = saver->finish(); }, Qt::BlockingQueuedConnection);
        if (unsaved > 0)
            status = 1;
        if (const QString s = receiver.ignoredSummary(); !s.isEmpty())
            warn(s);
        app.quit();
    });
    app.exec();
    saverThread.quit();
    saverThread.wait();
    return status;
}
