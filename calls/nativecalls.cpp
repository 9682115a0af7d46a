#include "calls/nativecalls.h"

#include "calls/callrecord.h"

#include <QApplication>
#include <QDateTime>
#include <QMenu>
#include <QScrollArea>
#include <QStyle>
#include <QWidget>

#include <utility>

namespace {

void setUpTray(NativeCalls &calls) {
    QWidget *mainWindow = calls.mainWindow;
    calls.tray.setIcon(mainWindow->style()->standardIcon(QStyle::SP_ComputerIcon));
    calls.tray.setToolTip(QStringLiteral("Tovik Messenger"));
    auto *menu = new QMenu(mainWindow);
    QAction *open = menu->addAction(QStringLiteral("Открыть Tovik"));
    QAction *end = menu->addAction(QStringLiteral("Завершить звонок"));
    QAction *exit = menu->addAction(QStringLiteral("Выйти из приложения"));
    calls.tray.setContextMenu(menu);
    QObject::connect(open, &QAction::triggered, &calls, [&calls] {
        calls.mainWindow->show();
        calls.mainWindow->raise();
    });
    QObject::connect(end, &QAction::triggered, &calls, [&calls] { calls.endFromTray(); });
    QObject::connect(exit, &QAction::triggered, &calls, [&calls] { calls.quit(); });
    QObject::connect(&calls.tray, &QSystemTrayIcon::activated, &calls,
                     [&calls] { calls.trayActivated(); });
    calls.tray.setVisible(true);
}

void layOutDialog(NativeCalls &calls) {
    calls.callDialog.setWindowTitle(QStringLiteral("Звонок Tovik"));
    calls.callDialog.resize(480, 540);
    calls.titleLabel.setStyleSheet(QStringLiteral("font-size:22pt;font-weight:600;"));
    calls.titleLabel.setWordWrap(true);
    calls.membersLabel.setWordWrap(true);
    // Names and states come from the peers and the server: as rich text an <img> would make Qt
    // read any local file (or a FIFO, for ever) on the GUI thread.
    for (QLabel *label : {&calls.titleLabel, &calls.callStatusLabel, &calls.membersLabel})
        label->setTextFormat(Qt::PlainText);
    calls.screenLabel.setAlignment(Qt::AlignCenter);
    calls.screenLabel.hide();
    calls.answerButton.setText(QStringLiteral("Ответить"));
    calls.declineButton.setText(QStringLiteral("Отклонить"));
    calls.micButton.setText(QStringLiteral("Микрофон включён"));
    calls.screenButton.setText(QStringLiteral("Показать экран"));
    calls.hangupButton.setText(QStringLiteral("Завершить"));

    calls.dialogLayout.setContentsMargins(28, 28, 28, 28);
    calls.dialogLayout.setSpacing(18);
    auto *content = new QWidget(&calls.callDialog);
    auto *contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(18);
    for (QLabel *label :
         {&calls.titleLabel, &calls.callStatusLabel, &calls.membersLabel, &calls.screenLabel})
        contentLayout->addWidget(label);
    contentLayout->addStretch();
    auto *scroll = new QScrollArea(&calls.callDialog);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    calls.dialogLayout.addWidget(scroll, 1);
    for (QPushButton *button : {&calls.answerButton, &calls.declineButton, &calls.micButton,
                                &calls.screenButton, &calls.hangupButton})
        calls.dialogLayout.addWidget(button);
}

// The notification's buttons do what the call window's do, for the call still ringing only.
void connectNotice(NativeCalls &calls) {
    calls.callNotice.answered = [&calls](const QString &id) {
        if (calls.ringing(id))
            calls.answer();
    };
    calls.callNotice.declined = [&calls](const QString &id) {
        if (calls.ringing(id))
            calls.decline();
    };
    calls.callNotice.opened = [&calls](const QString &id) {
        if (calls.ringing(id)) {
            calls.callDialog.show();
            calls.callDialog.raise();
            calls.callDialog.activateWindow();
        }
    };
    calls.callNotice.unavailable = [&calls](const QString &id) {
        if (calls.ringing(id))
            calls.showBalloon(QStringLiteral("Звонит ") +
                                  callrecord::title(calls.callRecord, calls.sessionUserId),
                              QStringLiteral("Откройте Tovik, чтобы ответить"));
    };
}

} // namespace

NativeCalls::NativeCalls(QNetworkAccessManager *network, QWidget *window)
    : QObject(window)
    , net(network)
    , mainWindow(window)
    , tray(window)
    , callDialog(window)
    , dialogLayout(&callDialog) {
    setUpTray(*this);
    layOutDialog(*this);
    connect(&answerButton, &QPushButton::clicked, this, [this] { answer(); });
    connect(&declineButton, &QPushButton::clicked, this, [this] { decline(); });
    connect(&micButton, &QPushButton::clicked, this, [this] { toggleMute(); });
    connect(&screenButton, &QPushButton::clicked, this, [this] { toggleScreenShare(); });
    connect(&hangupButton, &QPushButton::clicked, this, [this] { hangUp(); });
    connect(&screenTimer, &QTimer::timeout, this, [this] { sendScreenFrame(); });
    screenShowTimer.setSingleShot(true);
    connect(&screenShowTimer, &QTimer::timeout, this,
            [this] { showScreen(std::exchange(waitingScreen, {})); });
    // The mixer feeds the loudspeaker every 20 ms; a coarse timer's 5% slack shows up as gaps.
    playbackTimer.setTimerType(Qt::PreciseTimer);
    connect(&playbackTimer, &QTimer::timeout, this, [this] { playbackTick(); });
    connect(&pingTimer, &QTimer::timeout, this, [this] { sendPing(); });
    connect(&durationTimer, &QTimer::timeout, this, [this] { updateDuration(); });
    connect(&ringTimer, &QTimer::timeout, this, [this] { beep(); });
    connectNotice(*this);
    setupVoice();
    setupSocket();
}

NativeCalls::~NativeCalls() {
    // The capture thread reads members declared after `voice`; close the devices before any of
    // them goes.
    voice.stop();
}

void NativeCalls::answer() {
    callNotice.close();
    callId = callrecord::id(callRecord);
    command(QStringLiteral("accept"));
}

void NativeCalls::decline() {
    command(QStringLiteral("decline"));
    finish();
}

void NativeCalls::hangUp() {
    if (dialPending)
        dialAbandoned = true;
    command(QStringLiteral("leave"));
    finish();
}

void NativeCalls::endFromTray() {
    command(QStringLiteral("leave"));
    finish();
}

void NativeCalls::quit() {
    command(QStringLiteral("leave"));
    socket.flush();
    // exit() rather than quit(): quit() first offers every window a close, and without a tray the
    // main window answers a close by quitting again.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void NativeCalls::trayActivated() {
    mainWindow->show();
    if (!callRecord.isEmpty())
        callDialog.show();
}

void NativeCalls::updateDuration() {
    callStatusLabel.setText(callrecord::durationText(callRecord.value(QLatin1String("acceptedAt")),
                                                     QDateTime::currentDateTimeUtc()));
}

void NativeCalls::sendPing() {
    emitEvent(QStringLiteral("native_call"),
              {{QStringLiteral("action"), QStringLiteral("ping")},
               {QStringLiteral("id"), callId},
               {QStringLiteral("sentAt"), QDateTime::currentMSecsSinceEpoch()}});
}

bool NativeCalls::trayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void NativeCalls::showBox(QMessageBox::Icon icon, const QString &title, const QString &text) {
    // A box runs its own event loop, in which further frames arrive. Each one opening a box of its
    // own would nest without limit; while one is open, only the latest text is kept, and it is
    // shown once the open box closes.
    if (boxOpen) {
        pendingBox = PendingBox{icon, title, text};
        return;
    }
    boxOpen = true;
    std::optional<PendingBox> next = PendingBox{icon, title, text};
    while (next) {
        QMessageBox box(next->icon, next->title, next->text, QMessageBox::Ok, mainWindow);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        next = std::exchange(pendingBox, std::nullopt);
    }
    boxOpen = false;
}

bool NativeCalls::askYesNo(const QString &title, const QString &text) {
    // Shares the one-box rule: a box already open means the user cannot have clicked anyway.
    if (boxOpen)
        return false;
    boxOpen = true;
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                    &callDialog);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::NoButton);
    const bool yes = box.exec() == QMessageBox::Yes;
    boxOpen = false;
    if (std::optional<PendingBox> next = std::exchange(pendingBox, std::nullopt))
        showBox(next->icon, next->title, next->text);
    return yes;
}

void NativeCalls::beep() {
    if (beeped) {
        beeped();
        return;
    }
    ringer.ring();
}

void NativeCalls::announceCall(const QString &id, const QString &title) {
    if (!callNotice.show(id, QStringLiteral("Звонит ") + title, QStringLiteral("Входящий звонок")))
        showBalloon(QStringLiteral("Звонит ") + title,
                    QStringLiteral("Откройте Tovik, чтобы ответить"));
}

void NativeCalls::stopRinging() {
    ringTimer.stop();
    ringer.stop();
    callNotice.close();
}

bool NativeCalls::ringing(const QString &id) const {
    const std::optional<QJsonObject> own = callrecord::ownEntry(callRecord, sessionUserId);
    return !id.isEmpty() && own && callId != id && callrecord::id(callRecord) == id &&
           callrecord::hasState(own->value(QLatin1String("state")), QStringLiteral("INVITED"));
}

void NativeCalls::showBalloon(const QString &title, const QString &text) {
    constexpr int shownMs = 45000;
    tray.showMessage(title, text, QSystemTrayIcon::Information, shownMs);
    if (balloonShown)
        balloonShown(title, text, QSystemTrayIcon::Information, shownMs);
}
