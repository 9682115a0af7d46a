#include "chat/messagerow.h"

#include "web/json.h"

#include <QUrl>

namespace chat {

using webjson::text;

ChatRow chatRow(const QJsonObject &chat) {
    return {text(chat, "id"), text(chat, "name", QStringLiteral("Чат"))};
}

MessageRow messageRow(const QJsonObject &message, const QString &userId) {
    const QString type = text(message, "type");
    const bool isText = type == QLatin1String("TEXT");
    QString body;
    if (isText)
        body = text(message, "content");
    else if (type == QLatin1String("DELETED"))
        body = QStringLiteral("Сообщение удалено");
    else
        body = text(message, "fileName", QStringLiteral("Вложение"));

    const QString sender = text(message, "senderId") == userId
                               ? QStringLiteral("Вы")
                               : text(message, "senderName", QStringLiteral("Участник"));

    QString address = text(message, "mediaUrl");
    if (address.isEmpty() && !isText)
        address = text(message, "content");

    return {sender + QStringLiteral("  ·  ") + body, address, text(message, "fileName")};
}

QString chatPath(const QString &chatId, const QString &tail) {
    // "%2E" is no help: the network stack decodes it and drops the segment with the one before.
    if (chatId == QLatin1String(".") || chatId == QLatin1String(".."))
        return {};
    return QStringLiteral("/auth/flow/web/chats/") +
           QString::fromLatin1(QUrl::toPercentEncoding(chatId)) + QLatin1Char('/') + tail;
}

} // namespace chat
