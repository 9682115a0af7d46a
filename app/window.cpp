#include "app/window.h"

#include "calls/nativecalls.h"
#include "web/service.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

const char windowStyle[] =
    "QWidget{background:#101318;color:#f2f3ed;font: 11pt 'Segoe UI';} "
    "QListWidget,QLineEdit{background:#1c2127;border:0;border-radius:12px;padding:8px;} "
    "QListWidget::item{padding:10px;border-radius:8px;} "
    "QListWidget::item:selected{background:#39422f;color:#e1f07c;} "
    "QPushButton{background:#29312c;border:0;border-radius:12px;padding:10px;color:#e1f07c;} "
    "QPushButton:hover{background:#3d4b36;} QLabel{background:transparent;}";

} // namespace

Window::Window()
    : baseUrl(service::baseUrl()) {
    service::prepareTrust();
    calls = new NativeCalls(&net, this);

    setWindowTitle(QStringLiteral("Tovik Messenger"));
    resize(1100, 760);
    setMinimumSize(720, 500);
    setStyleSheet(QString::fromUtf8(windowStyle));

    pages = new QStackedWidget(this);
    setCentralWidget(pages);
    pages->addWidget(buildLoginPage());
    pages->addWidget(buildChatPage());
    pages->setCurrentIndex(0);
    connectControls();

    service::installTrust();
    setupMeRetry();
    restoreSession();
    loadMe();
}

Window::~Window() = default;

QWidget *Window::buildLoginPage() {
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);

    auto *heading = new QLabel(QStringLiteral("Вход в Tovik"));
    heading->setStyleSheet(QStringLiteral("font-size:26pt;font-weight:700;"));
    qrLabel = new QLabel;
    qrLabel->setAlignment(Qt::AlignCenter);
    codeLabel = new QLabel;
    codeLabel->setStyleSheet(QStringLiteral("font-size:20pt;color:#e1f07c;"));
    codeLabel->setAlignment(Qt::AlignCenter);
    loginStatus = new QLabel;
    loginStatus->setAlignment(Qt::AlignCenter);
    // The code and the status come from the service: never markup.
    codeLabel->setTextFormat(Qt::PlainText);
    loginStatus->setTextFormat(Qt::PlainText);
    auto *newQr = new QPushButton(QStringLiteral("Создать новый QR-код"));
    newQr->setObjectName(QStringLiteral("newQrButton"));

    layout->addStretch(0);
    layout->addWidget(heading, 0, Qt::AlignCenter);
    layout->addWidget(qrLabel, 0, Qt::AlignCenter);
    layout->addWidget(codeLabel, 0);
    layout->addWidget(loginStatus, 0);
    layout->addWidget(newQr, 0, Qt::AlignCenter);
    layout->addStretch(0);
    return page;
}

QWidget *Window::buildChatPage() {
    auto *page = new QWidget;
    auto *columns = new QHBoxLayout(page);

    auto *left = new QVBoxLayout;
    auto *header = new QHBoxLayout;
    auto *brand = new QLabel(QStringLiteral("TOVIK"));
    brand->setStyleSheet(QStringLiteral("font-size:18pt;font-weight:700;color:#e1f07c;"));
    auto *signOutButton = new QPushButton(QStringLiteral("Выйти"));
    signOutButton->setObjectName(QStringLiteral("signOutButton"));
    header->addWidget(brand);
    header->addStretch();
    header->addWidget(signOutButton);
    searchEdit = new QLineEdit;
    searchEdit->setPlaceholderText(QStringLiteral("Поиск чатов"));
    chatList = new QListWidget;
    left->addLayout(header);
    left->addWidget(searchEdit);
    left->addWidget(chatList);

    auto *right = new QVBoxLayout;
    auto *titleRow = new QHBoxLayout;
    chatTitle = new QLabel(QStringLiteral("Выберите чат"));
    chatTitle->setStyleSheet(QStringLiteral("font-size:16pt;font-weight:600;"));
    auto *callButton = new QPushButton(QStringLiteral("Позвонить"));
    callButton->setObjectName(QStringLiteral("callButton"));
    titleRow->addWidget(chatTitle, 1);
    titleRow->addWidget(callButton, 0);

    messageList = new QListWidget;
    messageList->setWordWrap(true);
    statusLabel = new QLabel;
    statusLabel->setWordWrap(true);
    // Chat names, file names and the service's error texts end up here: never markup.
    chatTitle->setTextFormat(Qt::PlainText);
    statusLabel->setTextFormat(Qt::PlainText);
    auto *compose = new QHBoxLayout;
    auto *fileButton = new QPushButton(QStringLiteral("Файл"));
    fileButton->setObjectName(QStringLiteral("fileButton"));
    messageEdit = new QLineEdit;
    messageEdit->setPlaceholderText(QStringLiteral("Сообщение"));
    auto *sendButton = new QPushButton(QStringLiteral("Отправить"));
    sendButton->setObjectName(QStringLiteral("sendButton"));
    compose->addWidget(fileButton);
    compose->addWidget(messageEdit, 1);
    compose->addWidget(sendButton);
    right->addLayout(titleRow);
    right->addWidget(messageList, 1);
    right->addWidget(statusLabel, 0);
    right->addLayout(compose);

    columns->addLayout(left, 1);
    columns->addLayout(right, 3);
    return page;
}

void Window::connectControls() {
    // Buttons built inside the pages are found by name so the connection order stays in one place.
    auto button = [this](const char *name) {
        return findChild<QPushButton *>(QString::fromLatin1(name));
    };
    connect(button("newQrButton"), &QPushButton::clicked, this, [this] { startLogin(); });
    connect(&pollTimer, &QTimer::timeout, this, [this] { pollLogin(); });
    connect(&refreshTimer, &QTimer::timeout, this, [this] {
        loadChats();
        loadMessages();
    });
    connect(chatList, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem *current) { selectChat(current); });
    connect(searchEdit, &QLineEdit::textChanged, this,
            [this](const QString &text) { filterChats(text); });
    connect(button("sendButton"), &QPushButton::clicked, this, [this] { send(); });
    connect(messageEdit, &QLineEdit::returnPressed, this, [this] { send(); });
    connect(button("fileButton"), &QPushButton::clicked, this, [this] { upload(); });
    connect(messageList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem *item) { download(item); });
    connect(button("signOutButton"), &QPushButton::clicked, this, [this] { signOut(); });
    connect(button("callButton"), &QPushButton::clicked, this, [this] {
        if (!currentChatId.isEmpty())
            calls->dial(currentChatId, chatTitle->text());
    });
}

void Window::closeEvent(QCloseEvent *event) {
    event->ignore();
    // Without a tray icon there would be no way back to a hidden window, nor a way to quit.
    if (!calls->trayAvailable()) {
        calls->quit();
        return;
    }
    hide();
}
