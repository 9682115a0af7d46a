#include "app/window.h"

#include "web/replytext.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

void Window::call(QString path, QJsonObject body, bool post, ReplyHandler done,
                  RawReplyHandler raw) {
    QNetworkRequest request(QUrl(baseUrl + path, QUrl::TolerantMode));
    request.setRawHeader("Origin", baseUrl.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // A request that never completes would otherwise never call back (sign-out, the load guard).
    request.setTransferTimeout(webapi::requestTimeoutMs);
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
                const int status =
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                // A timed-out or aborted reply is closed; reading it would only make Qt complain.
                const QByteArray bytes = reply->isOpen() ? reply->readAll() : QByteArray();
                const bool failed = reply->error() != QNetworkReply::NoError || status >= 400;
                if (!failed && raw && raw(bytes))
                    return;
                const QJsonObject object = QJsonDocument::fromJson(bytes).object();
                QString error;
                if (*tooLarge)
                    error = webapi::replyTooLarge;
                else if (failed)
                    error = webapi::errorText(status, object);
                done(object, error);
            });
}
