// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Adif.h"
#include "LogFile.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tavrelo::rig {

// What the radio said at one poll: its frequency and its mode, as hamlib's
// rigctld names it (USB, PKTUSB, CW, ...).
struct Reading {
    quint64 hz = 0;
    QByteArray mode;
};

// The answer to one poll ("f" then "m"), as rigctld sends it: the frequency
// in Hz on a line, then the mode and the passband on two lines; an error is
// one line "RPRT -n" in place of either answer.
struct PollReply {
    enum State {
        Incomplete, // more lines are needed
        Complete,   // a reading, in reading
        Failed,     // an answer that is an error or does not parse: no reading
    };
    State state = Incomplete;
    Reading reading;
    qsizetype linesUsed = 0; // the lines this answer took
    QString why;             // for Failed
};
PollReply parsePollReply(const QList<QByteArray>& lines);

// Whether rigctld runs in its VFO mode, from its answer to \chk_vfo ("1",
// "CHKVFO 1"); nothing for an answer that says neither.
std::optional<bool> parseCheckVfo(const QByteArray& line);

// hamlib's name of a mode in ADIF's terms: USB is SSB with the submode
// USB, CWR is CW, PKTUSB a data mode whose ADIF mode the radio cannot
// tell (no mode). Any case.
adif::ModeName adifMode(const QByteArray& hamlibMode);

// The band of a frequency, as the Band box shows it; null outside every band.
const char* bandOfHz(quint64 hz);
// The frequency in MHz as ADIF writes it: 14.074000.
QByteArray megahertz(quint64 hz);

// The fields record that keeps what the radio said for a contact saved from
// the boxes: the contact's date, time, band and call as the line has them,
// FREQ (only when it lies in the saved band), MODE and SUBMODE, and the
// radio's own name of the mode. Empty when the boxes give no contact key.
QByteArray contactRecord(const logfile::Fields& fields, const Reading& reading);

} // namespace tavrelo::rig
