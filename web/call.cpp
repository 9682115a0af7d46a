#include "app/window.h"

#include "web/request.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

void Window::call(QString path, QJsonObject body, bool post, ReplyHandler done) {
    QNetworkRequest request = webapi::apiRequest(baseUrl, path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply =
        post ? net.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact))
             : net.get(request);
    // Replies are small JSON documents; one that runs past the limit is cut off as a failure
    // rather than buffered without bound.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > webapi::maxReplyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        // A timed-out or aborted reply is closed; reading it would only make Qt complain.
        const QByteArray bytes = reply->isOpen() ? reply->readAll() : QByteArray();
        const QJsonObject object = QJsonDocument::fromJson(bytes).object();
        const bool failed = webapi::failed(reply);
        const int status = webapi::status(reply);
        reply->deleteLater();
        done(object, failed ? webapi::errorText(status, object) : QString());
    });
}
