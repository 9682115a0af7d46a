#include "chat/messagerow.h"

#include <QJsonValue>
#include <QUrl>

namespace {

// A value that is missing or not a string reads as an empty string.
QString text(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

QString textOr(const QJsonObject &object, const QString &key, const QString &fallback) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
}

} // namespace

namespace chat {

ChatRow chatRow(const QJsonObject &chat) {
    return {text(chat, QStringLiteral("id")),
            textOr(chat, QStringLiteral("name"), QStringLiteral("Чат"))};
}

MessageRow messageRow(const QJsonObject &message, const QString &userId) {
    const QString type = text(message, QStringLiteral("type"));
    const bool isText = type == QLatin1String("TEXT");
    QString body;
    if (isText)
        body = text(message, QStringLiteral("content"));
    else if (type == QLatin1String("DELETED"))
        body = QStringLiteral("Сообщение удалено");
    else
        body = textOr(message, QStringLiteral("fileName"), QStringLiteral("Вложение"));

    const QString sender =
        text(message, QStringLiteral("senderId")) == userId
            ? QStringLiteral("Вы")
            : textOr(message, QStringLiteral("senderName"), QStringLiteral("Участник"));

    QString address = text(message, QStringLiteral("mediaUrl"));
    if (address.isEmpty() && !isText)
        address = text(message, QStringLiteral("content"));

    return {sender + QStringLiteral("  ·  ") + body, address,
            text(message, QStringLiteral("fileName"))};
}

QString chatPath(const QString &chatId, const QString &tail) {
    // "%2E" is no help: the network stack decodes it and drops the segment with the one before.
    if (chatId == QLatin1String(".") || chatId == QLatin1String(".."))
        return {};
    return QStringLiteral("/auth/flow/web/chats/") +
           QString::fromLatin1(QUrl::toPercentEncoding(chatId)) + QLatin1Char('/') + tail;
}

} // namespace chat
