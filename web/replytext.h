#pragma once

#include <QJsonObject>
#include <QString>

namespace webapi {

// Inactivity limit for every request of the program; an expired request fails like a network
// failure.
constexpr int requestTimeoutMs = 30000;

// Largest JSON reply the program reads; a list of thousands of chats or messages stays far below.
// Parsed and turned into rows, such a reply takes several times its size for a moment.
constexpr qint64 maxReplyBytes = 16 * 1024 * 1024;

// The error text of a reply cut off at that limit.
inline const QString replyTooLarge = QStringLiteral("Ответ сервера больше 16 МБ");

// The text a failed reply shows: the service's own "message" when it has a usable one, otherwise
// the default for the status. Never empty, so no caller can take a failure for success.
QString errorText(int httpStatus, const QJsonObject &body);

} // namespace webapi
