#pragma once

#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>

class QNetworkReply;
class QUrl;

// Every request of the program is prepared here and every reply judged here, so the web API, the
// uploads and the downloads cannot drift apart on what a failure is.
namespace webapi {

// Inactivity limit for every request of the program; an expired request fails like a network
// failure.
constexpr int requestTimeoutMs = 30000;

// Largest JSON reply the program reads; a list of thousands of chats or messages stays far below.
// Parsed and turned into rows, such a reply takes several times its size for a moment.
constexpr qint64 maxReplyBytes = 16 * 1024 * 1024;

// The error text of a reply cut off at that limit.
inline const QString replyTooLarge = QStringLiteral("Ответ сервера больше 16 МБ");

// A request to url with the transfer timeout.
QNetworkRequest request(const QUrl &url);

// A request to the web API: baseUrl + path, with the Origin the service checks.
QNetworkRequest apiRequest(const QString &baseUrl, const QString &path);

// The HTTP status of a finished reply; 0 when none arrived.
int status(const QNetworkReply *reply);

// A network failure (a timeout and an abort included) or an HTTP error status.
bool failed(const QNetworkReply *reply);

// The text a failed reply shows: the service's own "message" when it has a usable one, otherwise
// the default for the status. Never empty, so no caller can take a failure for success.
QString errorText(int httpStatus, const QJsonObject &body);

// A failure that says nothing about the session: no reply at all (no network, refused, timed
// out) or a server error. Asking again later may succeed.
inline bool serviceUnreachable(int httpStatus) {
    return httpStatus == 0 || httpStatus >= 500;
}

} // namespace webapi
