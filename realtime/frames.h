#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringView>

// The slice of Engine.IO 4 / socket.io framing the client speaks, without any socket: what a
// received text frame is, and the text of the frames the client writes.
namespace frames {

enum class Kind {
    Ignored,             // anything the client does not act on
    Open,                // "0…": Engine.IO open packet
    Ping,                // exactly "2"
    ConnectReply,        // "40…": namespace connect reply, with the session id
    NamespaceDisconnect, // exactly "41": the server dropped us from the default namespace
    Event,               // "42[name, payload, …]"
};

struct Received {
    Kind kind = Kind::Ignored;
    QString sid;         // ConnectReply: "sid" of the reply, empty when absent or not a string
    QString name;        // Event: element 0 as a string, empty when it is not one
    QJsonObject payload; // Event: element 1 as an object, empty when it is not one
};

// Tests in the order the client applies them; the first that matches wins.
Received classify(QStringView frame);

// How long the server may stay silent before we presume the connection dead, read from an open
// packet: its pingInterval plus pingTimeout, kept within bounds so a nonsensical packet can neither
// make us drop a healthy connection every few milliseconds nor overflow a timer.
inline constexpr int defaultLivenessMs = 45000;
inline constexpr int minLivenessMs = 1000;
inline constexpr int maxLivenessMs = 600000;
int livenessMs(QStringView openFrame);

// "40" + {"token": token}
QString connectFrame(const QString &token);
// "42" + [name, payload], compact
QString eventFrame(const QString &name, const QJsonObject &payload);
inline QString pongFrame() {
    return QStringLiteral("3");
}

// A JSON number as a signed 64-bit integer, truncated toward zero. Values beyond the range
// saturate; anything that is not a number reads as 0.
qint64 toInt64(const QJsonValue &value);

// Round trip of a "native_call_pong": now minus the echoed "sentAt", saturating instead of
// overflowing on absurd values.
qint64 latencyMs(qint64 nowMs, const QJsonValue &sentAt);

} // namespace frames
