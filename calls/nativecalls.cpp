#include "calls/nativecalls.h"

#include <QApplication>
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
    connect(&playbackTimer, &QTimer::timeout, this, [this] { playbackTick(); });
    connect(&pingTimer, &QTimer::timeout, this, [this] { sendPing(); });
    connect(&durationTimer, &QTimer::timeout, this, [this] { updateDuration(); });
    connect(&ringTimer, &QTimer::timeout, this, [] { QApplication::beep(); });
    setupSocket();
}

NativeCalls::~NativeCalls() {
    // The capture thread reads members declared after `voice`; close the devices before any of
    // them goes.
    voice.stop();
}

void NativeCalls::answer() {}
void NativeCalls::decline() {}
void NativeCalls::hangUp() {}
void NativeCalls::endFromTray() {}
void NativeCalls::quit() {}
void NativeCalls::trayActivated() {}
void NativeCalls::updateDuration() {}
void NativeCalls::sendPing() {}
bool NativeCalls::trayAvailable() const {
    return false;
}
void NativeCalls::showBox(QMessageBox::Icon, const QString &, const QString &) {}
