#include "realtime/frames.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtNumeric>

#include <cmath>
#include <limits>

namespace frames {

namespace {

QJsonDocument jsonAfter(QStringView frame, qsizetype prefix) {
    return QJsonDocument::fromJson(frame.mid(prefix).toUtf8());
}

} // namespace

Received classify(QStringView frame) {
    Received in;
    if (frame.startsWith(u'0')) {
        in.kind = Kind::Open;
    } else if (frame == u"2") {
        in.kind = Kind::Ping;
    } else if (frame.startsWith(u"40")) {
        in.kind = Kind::ConnectReply;
        in.sid = jsonAfter(frame, 2).object().value(QLatin1String("sid")).toString();
    } else if (frame == u"41") {
        in.kind = Kind::NamespaceDisconnect;
    } else if (frame.startsWith(u"42")) {
        const QJsonArray array = jsonAfter(frame, 2).array();
        if (array.size() >= 2) {
            in.kind = Kind::Event;
            in.name = array.at(0).toString();
            in.payload = array.at(1).toObject();
        }
    }
    return in;
}

int livenessMs(QStringView openFrame) {
    const QJsonObject open = jsonAfter(openFrame, 1).object();
    const QJsonValue interval = open.value(QLatin1String("pingInterval"));
    const QJsonValue timeout = open.value(QLatin1String("pingTimeout"));
    if (!interval.isDouble() || !timeout.isDouble())
        return defaultLivenessMs;
    const double total = interval.toDouble() + timeout.toDouble();
    if (!(total > 0))
        return defaultLivenessMs;
    if (total < minLivenessMs)
        return minLivenessMs;
    if (total > maxLivenessMs)
        return maxLivenessMs;
    return static_cast<int>(total);
}

QString connectFrame(const QString &token) {
    const QJsonObject auth{{QLatin1String("token"), token}};
    return QLatin1String("40") +
           QString::fromUtf8(QJsonDocument(auth).toJson(QJsonDocument::Compact));
}

QString eventFrame(const QString &name, const QJsonObject &payload) {
    const QJsonArray event{name, payload};
    return QLatin1String("42") +
           QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
}

qint64 toInt64(const QJsonValue &value) {
    if (!value.isDouble())
        return 0;
    const double number = std::trunc(value.toDouble());
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (number >= limit)
        return std::numeric_limits<qint64>::max();
    if (number < -limit)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(number);
}

qint64 latencyMs(qint64 nowMs, const QJsonValue &sentAt) {
    const qint64 sent = toInt64(sentAt);
    qint64 result = 0;
    if (qSubOverflow(nowMs, sent, &result))
        return sent < 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return result;
}

} // namespace frames
