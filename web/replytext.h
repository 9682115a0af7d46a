#pragma once

#include <QJsonObject>
#include <QString>

namespace webapi {

// Inactivity limit for every request of the program; an expired request fails like a network
// failure.
constexpr int requestTimeoutMs = 30000;

// The text a failed reply shows: the service's own "message" when it has a usable one, otherwise
// the default for the status. Never empty, so no caller can take a failure for success.
QString errorText(int httpStatus, const QJsonObject &body);

} // namespace webapi
