#pragma once

#include "chat/shownreply.h"

#include <QJsonObject>
#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>

#include <functional>

class NativeCalls;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QNetworkReply;
class QStackedWidget;

// The main window: the sign-in page, the chat page and everything on the web side. Its members are
// public because the web and chat code, spread over several files, and the tests all work on them.
class Window : public QMainWindow {
public:
    using ReplyHandler = std::function<void(QJsonObject, QString)>;

    Window();
    ~Window() override;

    // Web API (web/call.cpp)
    // `raw`, when given, sees a successful reply's body before it is parsed; returning true means
    // it has dealt with the reply, and `done` is not called.
    using RawReplyHandler = std::function<bool(const QByteArray &)>;
    void call(QString path, QJsonObject body, bool post, ReplyHandler done,
              RawReplyHandler raw = {});

    // Sign-in (web/login.cpp)
    void startLogin();
    void pollLogin();
    void loadMe();
    // Keeps the saved session while the service cannot be reached: says so, and asks again with
    // back-off, or at once when the network comes back.
    void setupMeRetry();
    void retryMeLater();
    void signOut();
    // Empties the chat page so the next user to sign in sees nothing of the previous one.
    void clearChatPage();

    // Session file (web/session.cpp)
    void saveSession();
    void restoreSession();
    void removeSession();
    static QString sessionFilePath();

    // Chat list (chat/chats.cpp)
    void loadChats();
    void rebuildChats(const QJsonObject &reply, const QString &error);
    void selectChat(QListWidgetItem *item);
    void filterChats(const QString &text);

    // Messages (chat/messages.cpp)
    void loadMessages();
    void send();

    // Files (chat/files.cpp)
    void upload();
    void uploadPath(const QString &path);
    void download(QListWidgetItem *item);
    void downloadTo(const QUrl &url, const QString &savePath);

    NativeCalls *calls = nullptr;
    QNetworkAccessManager net;
    QTimer refreshTimer;
    QTimer pollTimer;
    QListWidget *chatList = nullptr;
    QListWidget *messageList = nullptr;
    QLineEdit *messageEdit = nullptr;
    QLineEdit *searchEdit = nullptr;
    QLabel *chatTitle = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *qrLabel = nullptr;
    QLabel *codeLabel = nullptr;
    QLabel *loginStatus = nullptr;
    QStackedWidget *pages = nullptr;
    QString userId;
    QString currentChatId;
    bool messagesLoading = false;
    bool chatsRebuilding = false;
    const QString baseUrl;
    // Counts the QR codes shown; a status reply for an earlier one is stale.
    quint64 loginFlow = 0;
    // Counts sign-outs; a reply to a request sent before the latest one belongs to the previous
    // user and is dropped.
    quint64 signOutSerial = 0;
    chat::ShownReply shownChats;
    chat::ShownReply shownMessages;
    // A chat whose history came back over the reply limit: it is not asked for again (every 5 s,
    // megabytes each time) until the user selects it anew.
    QString tooLargeChatId;
    // Counts the who-am-I requests (only the latest one's answer counts) and the sign-in flows
    // started.
    quint64 meRequest = 0;
    quint64 loginStarts = 0;
    QTimer meRetryTimer;
    int meRetryMs = 0;
    // The HTTP status of the reply whose handler runs now; 0 when no reply arrived.
    int replyStatus = 0;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *buildLoginPage();
    QWidget *buildChatPage();
    void connectControls();
};
