#pragma once

#include <QJsonObject>
#include <QString>

namespace webapi {

// Inactivity limit for every request of the program; an expired request fails like a network
// failure.
constexpr int requestTimeoutMs = 30000;

// Largest JSON reply the program reads; a list of thousands of chats or messages stays far below.
constexpr qint64 maxReplyBytes = 16 * 1024 * 1024;

// The text a failed reply shows: the service's own "message" when it has a usable one, otherwise
// the default for the status. Never empty, so no caller can take a failure for success.
QString errorText(int httpStatus, const QJsonObject &body);

// A failure that says nothing about the session: no reply at all (no network, refused, timed
// out) or a server error. Asking again later may succeed.
inline bool serviceUnreachable(int httpStatus) {
    return httpStatus == 0 || httpStatus >= 500;
}

} // namespace webapi
