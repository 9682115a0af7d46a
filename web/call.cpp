#include "app/window.h"

#include "web/replytext.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

void Window::call(QString path, QJsonObject body, bool post, ReplyHandler done) {
    QNetworkRequest request(QUrl(baseUrl + path, QUrl::TolerantMode));
    request.setRawHeader("Origin", baseUrl.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // A request that never completes would otherwise never call back (sign-out, the load guard).
    request.setTransferTimeout(webapi::requestTimeoutMs);
    QNetworkReply *reply =
        post ? net.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact))
             : net.get(request);
    // Replies are small JSON documents; one that runs past the limit is cut off as a failure
    // rather than buffered without bound.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > webapi::maxReplyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, done = std::move(done)] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // A timed-out or aborted reply is closed; reading it would only make Qt complain.
        const QByteArray bytes = reply->isOpen() ? reply->readAll() : QByteArray();
        const QJsonObject object = QJsonDocument::fromJson(bytes).object();
        const bool failed = reply->error() != QNetworkReply::NoError || status >= 400;
        reply->deleteLater();
        replyStatus = status;
        done(object, failed ? webapi::errorText(status, object) : QString());
    });
}
