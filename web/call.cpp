#include "app/window.h"

#include "web/request.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

void Window::call(QString path, QJsonObject body, bool post, ReplyHandler done,
                  RawReplyHandler raw) {
    QNetworkRequest request = webapi::apiRequest(baseUrl, path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply =
        post ? net.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact))
             : net.get(request);
    // Replies are small JSON documents; one that runs past the limit is cut off as a failure
    // rather than buffered without bound. A declared length over it is refused before the body.
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [reply, tooLarge](qint64 received, qint64 total) {
                if (received > webapi::maxReplyBytes || total > webapi::maxReplyBytes) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, tooLarge, serial = signOutSerial, done = std::move(done),
             raw = std::move(raw)] {
                reply->deleteLater();
                if (serial != signOutSerial)
                    return;
                // A timed-out or aborted reply is closed; reading it would only make Qt complain.
                const QByteArray bytes = reply->isOpen() ? reply->readAll() : QByteArray();
                const bool failed = webapi::failed(reply);
                replyStatus = webapi::status(reply);
                if (!failed && raw && raw(bytes))
                    return;
                const QJsonObject object = QJsonDocument::fromJson(bytes).object();
                QString error;
                if (*tooLarge)
                    error = webapi::replyTooLarge;
                else if (failed)
                    error = webapi::errorText(webapi::status(reply), object);
                done(object, error);
            });
}
