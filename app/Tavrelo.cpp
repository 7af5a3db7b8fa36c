// SPDX-License-Identifier: GPL-3.0-or-later
#include "Tavrelo.h"

#include "CopyMerge.h"
#include "EntityData.h"
#include "WebLogLink.h"
#include "Merge.h"
#include "QuietAccessibility.h"
#include "Settings.h"
#include "Transaction.h"

#include "CallHistory.h"
#include "EntryBox.h"
#include "HistoryLookup.h"
#include "HistoryView.h"
#include "Paste.h"
#include "RigClient.h"

#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace tavrelo {

namespace {

// Layout in twips, 15 to the pixel.
constexpr int TwipsPerPixel = 15;
constexpr int px(int twips) {
    return twips / TwipsPerPixel;
}

struct Column {
    const char* caption;
    int left;
    int width;
};
constexpr Column columns[Tavrelo::BoxCount] = {
    {"Date", 90, 1530},   {"UTC", 1620, 1080}, {"Band", 2700, 1425}, {"Call", 4125, 990},
    {"Name", 5115, 1485}, {"QTH", 6600, 1590}, {"RSTs", 8190, 795},  {"RSTr", 8985, 780}};
constexpr int LabelTop = 225, BoxTop = 570, RowHeight = 345;

const QColor entryGreen(192, 255, 192);

} // namespace

Tavrelo::Tavrelo(Platform& platform, QWidget* parent) : QWidget(parent), platform_(platform) {
    setWindowTitle(QStringLiteral("Tavrelo"));
    setWindowIcon(QIcon(QStringLiteral(":/tavrelo.xpm")));
    QFont font(QStringLiteral("Arial"), 12);
    font.setWeight(QFont::Bold);
    setFont(font);
    buildControls();
    setFixedSize(ClientWidth, CollapsedHeight);
    Command1->setFocus();
}

void Tavrelo::buildControls() {
    for (int i = 0; i < BoxCount; ++i) {
        const Column& c = columns[i];
        auto* label = new QLabel(QString::fromLatin1(c.caption), this);
        label->setGeometry(px(c.left), px(LabelTop), px(c.width), px(RowHeight));
        label->setAlignment(Qt::AlignCenter);
        label->setFrameStyle(QFrame::Box | QFrame::Plain);
        label->setLineWidth(1);
        Label1[size_t(i)] = label;

        auto* box = new EntryBox(this);
        box->setGeometry(px(c.left), px(BoxTop), px(c.width), px(RowHeight));
        // A text too long for its box shows its start once the operator
        // moves on, not its end.
        connect(box, &QLineEdit::editingFinished, box, [box] { box->setCursorPosition(0); });
        // The tooltip background and the light green stay what they are in
        // a dark colour scheme too: the text on them gets its matching
        // colour, never the scheme's light text.
        QPalette palette = box->palette();
        const QColor base = i < Call ? palette.color(QPalette::ToolTipBase) : entryGreen;
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Text,
                         i < Call ? palette.color(QPalette::ToolTipText) : QColor(Qt::black));
        box->setPalette(palette);
        // A screen reader names each box by its header.
        label->setBuddy(box);
        box->setAccessibleName(QString::fromLatin1(c.caption));
        box->installEventFilter(this);
        connect(box, &QLineEdit::textChanged, this, [this, i] { onText1Change(i); });
        Text1[size_t(i)] = box;
    }

    Command1 = new QPushButton(QStringLiteral("Save"), this);
    Command1->setGeometry(px(9900), px(600), px(1485), px(405));
    connect(Command1, &QPushButton::clicked, this, &Tavrelo::onSave);

    Command2 = new QPushButton(QStringLiteral("Open"), this);
    Command2->setGeometry(px(9900), px(135), px(1485), px(390));
    connect(Command2, &QPushButton::clicked, this, &Tavrelo::onOpen);

    Text2 = new HistoryView(this);
    Text2->setGeometry(px(90), px(1155), px(11280), px(1575));
    Text2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Log lines read left to right on every desktop, right-to-left ones too.
    Text2->setLayoutDirection(Qt::LeftToRight);
    Text2->setAccessibleName(QStringLiteral("History"));
    connect(Text2, &HistoryView::problem, this, &Tavrelo::reportError);
    lookup_ = new HistoryLookup(this);
    connect(lookup_, &HistoryLookup::finished, this, &Tavrelo::onLookupFinished);
    merge_ = new CopyMerge(this);
    connect(merge_, &CopyMerge::finished, this, &Tavrelo::onMergeFinished);

    // Focus order: Save, the eight boxes, the history pane, Open.
    QWidget* previous = Command1;
    for (QLineEdit* box : Text1) {
        setTabOrder(previous, box);
        previous = box;
    }
    setTabOrder(previous, Text2);
    setTabOrder(Text2, Command2);

    // The clock ticks at the start of each second: a single shot, re-armed
    // at every tick for the next second's start.
    Timer1 = new QTimer(this);
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &Tavrelo::onTick);
    armClock(platform_.localNow());
}

void Tavrelo::armClock(const QDateTime& now) {
    Timer1->start(clock::msecsToNextSecond(now));
}

OsError Tavrelo::load() {
    zoneOffset_ = clock::zoneOffsetDays(platform_.localNow());
    months_ = clock::makeMonthTable();
    const logfile::LogLocation where = logfile::locateLog(
        platform_.programDirectory(), platform_.isInstalledProgram(), platform_.dataDirectory());
    if (where.path.isEmpty())
        return OsError::because(QStringLiteral("find the folder of the log"),
                                platform_.programDirectory(), where.error);
    reportNote(where.note);
    const QString path = where.path;
    // An append that a power cut or a crash stopped is put right first.
    QString recovered;
    OsError error = logfile::createLog(path);
    if (error.ok())
        error = logfile::recoverUnfinishedAppend(path, recovered);
    reportNote(recovered);
    // Conflict copies a sync program set aside come back in, without the
    // window waiting for them.
    if (error.ok())
        merge_->start(path);
    if (error.ok())
        lookup_->warmUp(path);
    return error;
}

bool Tavrelo::isHistoryBusy() const {
    return lookup_->isBusy();
}

QString Tavrelo::logPath() const {
    return logfile::findLogPath(platform_.programDirectory(), platform_.dataDirectory(),
                                platform_.isInstalledProgram());
}

void Tavrelo::setCollapsed() {
    setFixedHeight(CollapsedHeight);
}

void Tavrelo::setExpanded() {
    setFixedHeight(ExpandedHeight);
}

QDateTime Tavrelo::utcNow() {
    const QDateTime local = platform_.localNow();
    zoneOffset_ = clock::zoneOffsetDays(local);
    return clock::utcMoment(local);
}

QString Tavrelo::Datum(const QDateTime& Zeit) const {
    return clock::datum(Zeit, months_);
}
QString Tavrelo::Uhrzeit(const QDateTime& Zeit) const {
    return clock::uhrzeit(Zeit);
}
QString Tavrelo::Uhrzeit2(const QDateTime& Zeit) const {
    return clock::uhrzeit2(Zeit);
}

void Tavrelo::reportError(const QString& message) {
    // Not modal for the application: the clock keeps running behind it.
    auto* box =
        new QMessageBox(QMessageBox::Critical, windowTitle(), message, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void Tavrelo::reportNote(const QString& note) {
    if (note.isEmpty())
        return;
    std::fprintf(stderr, "tavrelo: %s\n", qPrintable(note));
    // Once the window shows: a note from the start waits for it.
    QMetaObject::invokeMethod(
        this,
        [this, note] {
            auto* box = new QMessageBox(QMessageBox::Information, windowTitle(), note,
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            // Not modal: the operator reads it and logs on.
            box->setWindowModality(Qt::NonModal);
            box->show();
        },
        Qt::QueuedConnection);
}

void Tavrelo::onTick() {
    const QDateTime t = utcNow();
    armClock(t);
    // Written every second: a screen reader would read the time aloud each
    // second while the focus sits in one of them.
    const QuietAccessibility quiet;
    Text1[Date]->setText(Datum(t));
    Text1[Utc]->setText(Uhrzeit2(t));
}

void Tavrelo::onText1Change(int index) {
    if (index == Call || index == Band)
        updateEntityLine();
    if (index != Call)
        return;
    if (history::isLongEnough(Text1[Call]->text()))
        SeekCallBook();
    if (!history::isLongEnough(Text1[Call]->text())) {
        lookup_->discard();
        setCollapsed();
    }
}

void Tavrelo::SeekCallBook() {
    Text2->keepVisibleRowsOnly();
    lookup_->start(logPath(), lookupText());
}

QString Tavrelo::lookupText() const {
    const QString call = Text1[Call]->text();
    if (!entities_ || !call.contains(QLatin1Char('/')))
        return call;
    const QString base = entities_->baseCall(call);
    return history::isLongEnough(base) ? base : call;
}

void Tavrelo::tellEntities() {
    entities_ = new EntityData(this);
    entityLine_ = new QLabel(this);
    // Between the row and the pane, within the strip: shown while a call is
    // typed, also when no history matches, since that is when a new one
    // matters; the window keeps its sizes.
    entityLine_->setGeometry(px(90), CollapsedHeight - 13, px(11280), 13);
    QFont small = font();
    small.setPointSize(9);
    entityLine_->setFont(small);
    entityLine_->hide();
    connect(entities_, &EntityData::changed, this, &Tavrelo::updateEntityLine);
    connect(entities_, &EntityData::ready, this, [this](const QString& note) {
        std::fprintf(stderr, "tavrelo: %s\n", qPrintable(note));
        entityLine_->setToolTip(note);
        updateEntityLine();
    });
    entities_->start(logPath());
}

void Tavrelo::sendToWebLog() {
    QString error;
    const upload::Settings settings = upload::readSettings(upload::settingsPath(), error);
    if (!error.isEmpty())
        reportError(error);
    if (!settings.hasWebLog())
        return;
    webLog_ = new WebLogLink(settings, this);
    connect(webLog_, &WebLogLink::state, this,
            [this](const QString& text) { Command1->setToolTip(text); });
    connect(webLog_, &WebLogLink::problem, this, &Tavrelo::reportError);
    webLog_->send(logPath());
}

void Tavrelo::updateEntityLine() {
    if (!entities_)
        return;
    const QString mode = rigAge_.isValid() && rigAge_.elapsed() <= 3000
                             ? QString::fromLatin1(rig::adifMode(rigMode_).mode)
                             : QString();
    const QString line = entities_->lineFor(Text1[Call]->text(), Text1[Band]->text(), mode);
    entityLine_->setText(line);
    // A screen reader hears the same words.
    entityLine_->setAccessibleName(line);
    entityLine_->setVisible(!line.isEmpty());
}

void Tavrelo::onLookupFinished(const history::LookupResult& result) {
    if (result.read.status == logfile::ReadStatus::Failed) {
        // Said in the pane, not in a message box: the operator is typing,
        // and a box would take the keys that follow.
        Text2->showLines(QStringList{QStringLiteral("The history cannot be shown.")} +
                         result.read.error.message().split(QLatin1Char('\n')));
        setExpanded();
        return;
    }
    Text2->showMatches(result.matches, logPath());
    if (result.count() > 0)
        setExpanded();
    else
        setCollapsed();
}

bool Tavrelo::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (int i = 0; i < BoxCount; ++i) {
            if (watched == Text1[size_t(i)]) {
                onText1DoubleClick(i);
                // Boxes that take the clipboard do nothing else; Date, UTC and
                // Band keep their usual word selection.
                return clipboard::receivesPaste(i);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Tavrelo::onText1DoubleClick(int index) {
    if (clipboard::needsStamp(Text1[Date]->text())) {
        const QDateTime t = utcNow();
        Text1[Date]->setText(Datum(t));
        Text1[Utc]->setText(Uhrzeit(t));
    }
    QLineEdit* box = Text1[size_t(index)];
    const clipboard::Pasted pasted =
        clipboard::pastedText(platform_.clipboardText(), box->maxLength());
    if (!clipboard::receivesPaste(index))
        return;
    if (box->text() == pasted.text)
        onText1Change(index); // the same text again raises no change, yet it is a paste
    else
        box->setText(pasted.text);
    if (pasted.cutCharacters > 0)
        reportError(QStringLiteral("The clipboard holds more than the %1 box takes (%2 "
                                   "characters). The last %3 characters were not pasted.")
                        .arg(Label1[size_t(index)]->text())
                        .arg(box->maxLength())
                        .arg(pasted.cutCharacters));
}

void Tavrelo::onSave() {
    // The log's lock is the merge's until it ends, a second or two for the
    // largest copies: the Save follows it then, and the window goes on.
    if (merge_->isRunning()) {
        saveWaiting_ = true;
        return;
    }
    // A contact without its date or time would be lost to every reader of
    // the log: a Save within a second of the last one, before the clock
    // refilled the boxes, stamps them first.
    if (Text1[Date]->text().isEmpty() || Text1[Utc]->text().isEmpty()) {
        const QDateTime t = utcNow();
        if (Text1[Date]->text().isEmpty())
            Text1[Date]->setText(Datum(t));
        if (Text1[Utc]->text().isEmpty())
            Text1[Utc]->setText(Uhrzeit2(t));
    }
    logfile::Fields fields;
    for (int i = 0; i < BoxCount; ++i)
        fields[size_t(i)] = Text1[size_t(i)]->text();
    // What the radio said, if it said it within the last three seconds,
    // goes with the contact into the fields file, in the same step.
    QByteArray record;
    if (rig_ && rig_->isFollowing() && rigAge_.isValid() && rigAge_.elapsed() <= 3000)
        record = rig::contactRecord(fields, rig::Reading{rigHz_, rigMode_});
    // One journaled append, whether or not a record goes with the line: a
    // power cut at any moment leaves the contact whole in the log or not at
    // all, and the next Tavrelo program to open the log takes out a torn
    // line.
    const logfile::SaveResult result =
        logfile::appendWithRecord(logPath(), logfile::buildRecord(fields), record);
    reportNote(result.recoveryNote);
    if (result.state == logfile::SaveState::Unconfirmed) {
        // The contact is whole in the log, with another program's lines
        // behind it, so it stays there; saving it again would write it twice.
        reportError(result.error.message() +
                    QStringLiteral("\n\nThe contact is in the log, but the disk did not confirm "
                                   "it: it may not be on the disk. The boxes are emptied, so that "
                                   "it is not written twice; check the disk."));
    } else if (result.state != logfile::SaveState::Saved) {
        // The log and its fields file are as they were before this Save.
        reportError(result.error.message() +
                    QStringLiteral("\n\nThe contact was not saved. It is still in the boxes."));
        return;
    }
    if (entities_)
        entities_->addSaved(fields[Call], fields[Band],
                            record.isEmpty() ? QString()
                                             : QString::fromLatin1(rig::adifMode(rigMode_).mode),
                            fields[Date]);
    if (webLog_)
        webLog_->send(logPath());
    // What a sync set aside meanwhile comes in after the contact.
    merge_->start(logPath());
    // Once the contact is in the log: empty the row, keeping the band.
    for (int i = 0; i < BoxCount; ++i) {
        if (i != Band)
            Text1[size_t(i)]->clear();
    }
    setCollapsed();
}

void Tavrelo::onMergeFinished(const QString& note, const QString& error) {
    reportNote(note);
    if (webLog_ && !note.isEmpty())
        webLog_->send(logPath()); // what came in from the other computer
    if (!error.isEmpty())
        reportError(error + QStringLiteral("\n\nWhat the sync set aside stays beside the log."));
    if (saveWaiting_) {
        saveWaiting_ = false;
        onSave();
    }
}

void Tavrelo::followRig(rig::RigClient* rig) {
    rig_ = rig;
    connect(rig, &rig::RigClient::reading, this, &Tavrelo::onRigReading);
    connect(rig, &rig::RigClient::followingChanged, this, &Tavrelo::onRigFollowing);
}

void Tavrelo::onRigReading(const rig::Reading& reading) {
    rigHz_ = reading.hz;
    const bool modeChanged = rigMode_ != reading.mode;
    rigMode_ = reading.mode;
    rigAge_.start();
    if (modeChanged)
        updateEntityLine();
    const char* band = rig::bandOfHz(reading.hz);
    Text1[Band]->setToolTip(QStringLiteral("Band follows the radio at %1: %2 MHz, %3")
                                .arg(rig_->address(),
                                     QString::fromLatin1(rig::megahertz(reading.hz)),
                                     QString::fromLatin1(reading.mode)));
    // Never while the operator edits the box; a band typed over the radio's
    // holds until the radio moves to another band.
    if (!band || Text1[Band]->hasFocus() || rigBand_ == band)
        return;
    rigBand_ = band;
    Text1[Band]->setText(QString::fromLatin1(band));
}

void Tavrelo::onRigFollowing(bool following, const QString& why) {
    if (following)
        return; // the tooltip says so with the first reading
    Text1[Band]->setToolTip(
        QStringLiteral("The radio at %1 is not followed now (%2); Band is as typed. Tavrelo "
                       "follows it again as soon as it answers.")
            .arg(rig_->address(), why));
}

void Tavrelo::onOpen() {
    const QString path = logPath();
    const QPointer<Tavrelo> self(this);
    const OsError error = platform_.openInEditor(path, [self](const OsError& failure) {
        if (self)
            self->reportError(failure.message());
    });
    if (!error.ok())
        reportError(error.message() +
                    QStringLiteral("\n\nThe log %1 was not shown; it is unchanged.")
                        .arg(QDir::toNativeSeparators(path)));
}

} // namespace tavrelo
