// SPDX-License-Identifier: GPL-3.0-or-later
// Sends one Logged ADIF datagram to 127.0.0.1, as WSJT-X does when it logs
// a contact: wsjtx_send PORT ADIF-TEXT
#include "Message.h"

#include <QCoreApplication>
#include <QUdpSocket>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: wsjtx_send PORT ADIF-TEXT\n", stderr);
        return 2;
    }
    const QByteArray datagram = tavrelo::wsjtx::encodeLoggedAdif("WSJT-X", argv[2]);
    QUdpSocket socket;
    const quint16 port = quint16(QByteArray(argv[1]).toUInt());
    return socket.writeDatagram(datagram, QHostAddress::LocalHost, port) == datagram.size() ? 0 : 1;
}
