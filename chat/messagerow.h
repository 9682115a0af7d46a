#pragma once

#include <QJsonObject>
#include <QString>

// Widget-free reading of chat-list and messages replies, so the rendering rules can be tested
// without a window.
namespace chat {

struct ChatRow {
    QString id;
    QString name;
};

struct MessageRow {
    QString text;     // sender, separator, body
    QString address;  // attachment address, may be empty
    QString fileName; // attachment file name, may be empty
};

// One element of "chats": a missing or non-string "name" reads "Чат", a missing id is empty.
ChatRow chatRow(const QJsonObject &chat);

// One element of "messages", as seen by the user userId.
MessageRow messageRow(const QJsonObject &message, const QString &userId);

// "/auth/flow/web/chats/" + chat id percent-encoded (every byte but the unreserved ones, so a
// slash in an id stays inside its segment) + "/" + tail. Empty for the ids "." and "..", which no
// request can carry as a segment of their own: the request path is normalised on the way out.
QString chatPath(const QString &chatId, const QString &tail);

// Shown when the selected chat's id cannot be put into a request.
inline const QString badChatAddress = QStringLiteral("Недопустимый адрес чата");

} // namespace chat
