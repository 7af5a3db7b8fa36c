// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Clock.h"
#include "LogFile.h"
#include "Platform.h"

#include <QElapsedTimer>
#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tavrelo {

class CopyMerge;
class EntityData;
class WebLogLink;
class HistoryLookup;
class HistoryView;
namespace history {
struct LookupResult;
}
namespace rig {
class RigClient;
struct Reading;
} // namespace rig

// The program's one window: a row of eight boxes under their headers, the
// Save and Open buttons, the history pane below and the clock timer. It wires
// the boxes to the logic in clock/, logfile/, history/ and clipboard/.
class Tavrelo : public QWidget {
    Q_OBJECT

public:
    // Box indices of the entry row.
    enum Box { Date = 0, Utc, Band, Call, Name, Qth, RstSent, RstReceived, BoxCount };

    // Client heights in pixels: the strip alone, and the strip with the pane.
    static constexpr int CollapsedHeight = 74;
    static constexpr int ExpandedHeight = 193;
    static constexpr int ClientWidth = 767;

    explicit Tavrelo(Platform& platform, QWidget* parent = nullptr);

    // Start-up: the clock set-up, then the log creation. Returns the error
    // when the log cannot be created, which the program cannot run without.
    OsError load();

    QString logPath() const;

    // Starts the history lookup for the call sign in the Call box; the pane
    // and the window's height follow when its result comes.
    void SeekCallBook();

    // Text forms of a moment: 2006-Nov-18, 09:05 and 09:05:07.
    QString Datum(const QDateTime& Zeit) const;
    QString Uhrzeit(const QDateTime& Zeit) const;
    QString Uhrzeit2(const QDateTime& Zeit) const;

    // The controls, by the names the program's design gives them.
    std::array<QLabel*, BoxCount> Label1{};
    std::array<QLineEdit*, BoxCount> Text1{};
    HistoryView* Text2 = nullptr;
    QPushButton* Command1 = nullptr; // Save
    QPushButton* Command2 = nullptr; // Open
    QTimer* Timer1 = nullptr;

    // Follows the radio: its band goes into the Band box, and what it said
    // at the moment of a Save goes with the contact into the fields file.
    void followRig(rig::RigClient* rig);

    // Tells who a typed call is (entity, zones, worked before) in a line
    // below the row, from the country file and the log; without it the
    // window is as it always was.
    void tellEntities();

    // Sends each contact saved, merged or logged by another program to the
    // web log set up in Tavrelo.conf, if there is one; its state shows in
    // the Save button's tooltip.
    void sendToWebLog();

    // Whether a history lookup has yet to show its result.
    bool isHistoryBusy() const;

    // Zone offset in days in force at the latest clock reading (UTC = local + offset).
    double zoneOffset() const { return zoneOffset_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setCollapsed();
    void setExpanded();
    QDateTime utcNow();
    void armClock(const QDateTime& now);
    void reportError(const QString& message);
    // Something done to the log that the operator must know of (a torn
    // append taken out, a merge, a log made again): in a message they can
    // dismiss, and on standard error.
    void reportNote(const QString& note);

    // Event handlers.
    void onTick();
    void onText1Change(int index);
    void onText1DoubleClick(int index);
    void onSave();
    void onOpen();
    void onLookupFinished(const history::LookupResult& result);
    void onMergeFinished(const QString& note, const QString& error);
    void onRigReading(const rig::Reading& reading);
    void onRigFollowing(bool following, const QString& why);

    Platform& platform_;
    HistoryLookup* lookup_ = nullptr;
    // Conflict copies come in on a thread of their own; a Save clicked
    // meanwhile waits for the merge's end.
    CopyMerge* merge_ = nullptr;
    bool saveWaiting_ = false;
    EntityData* entities_ = nullptr; // null unless told to
    WebLogLink* webLog_ = nullptr;   // null without a web log
    QLabel* entityLine_ = nullptr;
    void updateEntityLine();
    // The text the history is looked up for: the base call of a call with
    // a location or suffix.
    QString lookupText() const;
    double zoneOffset_ = 0.0;
    clock::MonthTable months_;
    // The radio: its latest reading and when it came, and the band it last
    // put in the Band box (a band typed over it holds until the radio moves).
    rig::RigClient* rig_ = nullptr;
    QByteArray rigMode_;
    quint64 rigHz_ = 0;
    QElapsedTimer rigAge_; // since the latest reading
    QByteArray rigBand_;
};

} // namespace tavrelo
