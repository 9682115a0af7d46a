#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// Everything the service sends may be missing or of another type than the contract says; the
// program reads its strings through here.
namespace webjson {

// A string's value; anything else (missing, null, a number, an array) reads as fallback.
inline QString text(const QJsonValue &value, const QString &fallback = QString()) {
    return value.isString() ? value.toString() : fallback;
}

// The same for object[key].
inline QString text(const QJsonObject &object, const char *key,
                    const QString &fallback = QString()) {
    return text(object.value(QLatin1String(key)), fallback);
}

} // namespace webjson
