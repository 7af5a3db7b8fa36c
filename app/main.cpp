// SPDX-License-Identifier: GPL-3.0-or-later
#include "Memory.h"
#include "QtPlatform.h"
#include "RigClient.h"
#include "Tavrelo.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

void noDisplayHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr,
                 "tavrelo: no usable graphical display: %s\nStart Tavrelo from a desktop "
                 "session.\n",
                 qPrintable(message.section(QLatin1Char('\n'), 0, 0)));
    std::_Exit(1);
}

// HOST:PORT, the port 1 to 65535; [::1]:4532 for an IPv6 address.
bool parseRig(const QString& text, QString& host, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535)
        return false;
    host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    port = quint16(p);
    return !host.isEmpty();
}

} // namespace

int main(int argc, char* argv[]) {
    tavrelo::platform::giveBackLargeBlocks();
    // The command line first: --help and --version answer on the terminal,
    // without a display.
    // Qt's own options (-reverse, -style NAME, ...) are left to QApplication.
    static const QStringList qtWithValue = {"platform",
                                            "platformpluginpath",
                                            "platformtheme",
                                            "plugin",
                                            "style",
                                            "stylesheet",
                                            "display",
                                            "geometry",
                                            "qwindowgeometry",
                                            "qwindowtitle",
                                            "qwindowicon",
                                            "session",
                                            "name",
                                            "title"};
    static const QStringList qtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        const QString bare = a.startsWith(QLatin1String("--")) ? a.mid(2) : a.mid(1);
        if (i > 0 && a.startsWith(QLatin1Char('-')) && qtFlags.contains(bare))
            continue;
        if (i > 0 && a.startsWith(QLatin1Char('-')) && qtWithValue.contains(bare)) {
            ++i;
            continue;
        }
        arguments << a;
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tavrelo logs amateur-radio contacts: one row of boxes, the history of "
                       "every call as it is typed, a plain-text log.\n\nWhen hamlib's rigctld "
                       "answers at 127.0.0.1:4532, the Band box follows the radio, and each "
                       "saved contact keeps the radio's frequency and mode."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption rigOption(
        QStringLiteral("rig"),
        QStringLiteral("Follow the radio through the rigctld at HOST:PORT instead of "
                       "127.0.0.1:4532."),
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption noRigOption(QStringLiteral("no-rig"),
                                         QStringLiteral("Do not follow a radio."));
    const QCommandLineOption noDxccOption(
        QStringLiteral("no-dxcc"),
        QStringLiteral("Do not tell who a typed call is (entity, zones, worked before)."));
    parser.addOptions({rigOption, noRigOption, noDxccOption});
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "tavrelo: %s (see --help)\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                        QStringLiteral("tavrelo"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("tavrelo %s\n", TAVRELO_VERSION);
        return 0;
    }
    QString rigHost = QStringLiteral("127.0.0.1");
    quint16 rigPort = 4532;
    if (parser.isSet(rigOption) && !parseRig(parser.value(rigOption), rigHost, rigPort)) {
        std::fprintf(stderr, "tavrelo: \"%s\" is not a HOST:PORT such as 127.0.0.1:4532\n",
                     qPrintable(parser.value(rigOption)));
        return 2;
    }
    if (parser.positionalArguments().size() > 0) {
        std::fprintf(stderr, "tavrelo: \"%s\" is not an option (see --help)\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }

    if (!tavrelo::hasGraphicalDisplay()) {
        std::fputs("tavrelo: no graphical display found (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set).\nStart Tavrelo from a desktop session.\n",
                   stderr);
        return 1;
    }
    // Qt ends the program with abort() when its display cannot be reached,
    // even with a platform named in QT_QPA_PLATFORM: say so plainly instead.
    qInstallMessageHandler(noDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    tavrelo::QtPlatform platform;
    tavrelo::Tavrelo window(platform);
    if (const tavrelo::OsError error = window.load(); !error.ok()) {
        const QString message =
            error.message() + QStringLiteral("\n\nTavrelo cannot run without its log.");
        std::fprintf(stderr, "tavrelo: %s\n", qPrintable(message));
        QMessageBox::critical(nullptr, QStringLiteral("Tavrelo"), message);
        return 1;
    }
    if (!parser.isSet(noDxccOption))
        window.tellEntities();
    window.sendToWebLog();
    // The radio, quietly: no rigctld, no word and no delay.
    tavrelo::rig::RigClient rig(rigHost, rigPort);
    if (!parser.isSet(noRigOption)) {
        window.followRig(&rig);
        rig.start();
    }
    window.show();
    return app.exec();
}
