#include "web/replytext.h"

#include <QJsonValue>

QString webapi::errorText(int httpStatus, const QJsonObject &body) {
    const QJsonValue message = body.value(QStringLiteral("message"));
    if (message.isString() && !message.toString().trimmed().isEmpty())
        return message.toString();
    return httpStatus == 401 ? QStringLiteral("Требуется вход")
                             : QStringLiteral("Ошибка сети или сервера");
}
