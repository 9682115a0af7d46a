#include "web/request.h"

#include "web/json.h"

#include <QNetworkReply>
#include <QUrl>

namespace webapi {

QNetworkRequest request(const QUrl &url) {
    QNetworkRequest request(url);
    // A request that never completes would otherwise never call back (sign-out, the load guard).
    request.setTransferTimeout(requestTimeoutMs);
    return request;
}

QNetworkRequest apiRequest(const QString &baseUrl, const QString &path) {
    QNetworkRequest api = request(QUrl(baseUrl + path, QUrl::TolerantMode));
    api.setRawHeader("Origin", baseUrl.toUtf8());
    return api;
}

int status(const QNetworkReply *reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool failed(const QNetworkReply *reply) {
    return reply->error() != QNetworkReply::NoError || status(reply) >= 400;
}

QString errorText(int httpStatus, const QJsonObject &body) {
    const QString message = webjson::text(body.value(QLatin1String("message")));
    if (!message.trimmed().isEmpty())
        return message;
    return httpStatus == 401 ? QStringLiteral("Требуется вход")
                             : QStringLiteral("Ошибка сети или сервера");
}

} // namespace webapi
