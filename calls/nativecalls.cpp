#include "calls/nativecalls.h"

#include "calls/callrecord.h"

#include <QApplication>
#include <QDateTime>
#include <QMenu>
#include <QScrollArea>
#include <QStyle>
#include <QWidget>

NativeCalls::NativeCalls(QNetworkAccessManager *network, QWidget *window)
    : QObject(window)
    , net(network)
    , mainWindow(window)
    , tray(window)
    , callDialog(window)
    , dialogLayout(&callDialog) {
    tray.setIcon(mainWindow->style()->standardIcon(QStyle::SP_ComputerIcon));
    tray.setToolTip(QStringLiteral("Tovik Messenger"));
    auto *menu = new QMenu(mainWindow);
    QAction *open = menu->addAction(QStringLiteral("Открыть Tovik"));
    QAction *end = menu->addAction(QStringLiteral("Завершить звонок"));
    QAction *exit = menu->addAction(QStringLiteral("Выйти из приложения"));
    tray.setContextMenu(menu);
    connect(open, &QAction::triggered, this, [this] {
        mainWindow->show();
        mainWindow->raise();
    });
    connect(end, &QAction::triggered, this, [this] { endFromTray(); });
    connect(exit, &QAction::triggered, this, [this] { quit(); });
    connect(&tray, &QSystemTrayIcon::activated, this, [this] { trayActivated(); });
    tray.setVisible(true);

    callDialog.setWindowTitle(QStringLiteral("Звонок Tovik"));
    callDialog.resize(480, 540);
    titleLabel.setStyleSheet(QStringLiteral("font-size:22pt;font-weight:600;"));
    titleLabel.setWordWrap(true);
    membersLabel.setWordWrap(true);
    screenLabel.setAlignment(Qt::AlignCenter);
    screenLabel.hide();
    answerButton.setText(QStringLiteral("Ответить"));
    declineButton.setText(QStringLiteral("Отклонить"));
    micButton.setText(QStringLiteral("Микрофон включён"));
    screenButton.setText(QStringLiteral("Показать экран"));
    hangupButton.setText(QStringLiteral("Завершить"));

    dialogLayout.setContentsMargins(28, 28, 28, 28);
    dialogLayout.setSpacing(18);
    auto *content = new QWidget(&callDialog);
    auto *contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(18);
    contentLayout->addWidget(&titleLabel);
    contentLayout->addWidget(&callStatusLabel);
    contentLayout->addWidget(&membersLabel);
    contentLayout->addWidget(&screenLabel);
    contentLayout->addStretch();
    auto *scroll = new QScrollArea(&callDialog);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    dialogLayout.addWidget(scroll, 1);
    for (QPushButton *button :
         {&answerButton, &declineButton, &micButton, &screenButton, &hangupButton})
        dialogLayout.addWidget(button);

    connect(&answerButton, &QPushButton::clicked, this, [this] { answer(); });
    connect(&declineButton, &QPushButton::clicked, this, [this] { decline(); });
    connect(&micButton, &QPushButton::clicked, this, [this] { toggleMute(); });
    connect(&screenButton, &QPushButton::clicked, this, [this] { toggleScreenShare(); });
    connect(&hangupButton, &QPushButton::clicked, this, [this] { hangUp(); });
    connect(&screenTimer, &QTimer::timeout, this, [this] { sendScreenFrame(); });
    // The mixer feeds the loudspeaker every 20 ms; a coarse timer's 5% slack shows up as gaps.
    playbackTimer.setTimerType(Qt::PreciseTimer);
    connect(&playbackTimer, &QTimer::timeout, this, [this] { playbackTick(); });
    connect(&pingTimer, &QTimer::timeout, this, [this] { sendPing(); });
    connect(&durationTimer, &QTimer::timeout, this, [this] { updateDuration(); });
    connect(&ringTimer, &QTimer::timeout, this, [this] { beep(); });
    // The notification's buttons do what the call window's do, for the call still ringing only.
    callNotice.answered = [this](const QString &id) {
        if (ringing(id))
            answer();
    };
    callNotice.declined = [this](const QString &id) {
        if (ringing(id))
            decline();
    };
    callNotice.opened = [this](const QString &id) {
        if (ringing(id)) {
            callDialog.show();
            callDialog.raise();
            callDialog.activateWindow();
        }
    };
    callNotice.unavailable = [this](const QString &id) {
        if (ringing(id))
            showBalloon(QStringLiteral("Звонит ") + callrecord::title(callRecord, sessionUserId),
                        QStringLiteral("Откройте Tovik, чтобы ответить"));
    };
    setupSocket();
}

NativeCalls::~NativeCalls() {
    // The capture thread reads members declared after `voice`; close the devices before any of
    // them goes.
    voice.stop();
}

void NativeCalls::answer() {
    callNotice.close();
    callId = callrecord::text(callRecord.value(QLatin1String("id")));
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
    QMessageBox box(icon, title, text, QMessageBox::Ok, mainWindow);
    box.exec();
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
    return !id.isEmpty() && own && callId != id &&
           callrecord::text(callRecord.value(QLatin1String("id"))) == id &&
           callrecord::hasState(own->value(QLatin1String("state")), QStringLiteral("INVITED"));
}

void NativeCalls::showBalloon(const QString &title, const QString &text) {
    constexpr int shownMs = 45000;
    tray.showMessage(title, text, QSystemTrayIcon::Information, shownMs);
    if (balloonShown)
        balloonShown(title, text, QSystemTrayIcon::Information, shownMs);
}
