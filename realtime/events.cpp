#include "calls/nativecalls.h"

#include "realtime/frames.h"

#include <QDateTime>

void NativeCalls::command(QString action) {
    QJsonObject payload{{QStringLiteral("action"), action}};
    // The id goes back exactly as the server sent it; with no call held there is none to send.
    const QJsonValue id = callRecord.value(QLatin1String("id"));
    if (!id.isUndefined())
        payload.insert(QStringLiteral("id"), id);
    emitEvent(QStringLiteral("native_call"), payload);
}

void NativeCalls::pong(const QJsonObject &payload) {
    const qint64 latency = frames::latencyMs(QDateTime::currentMSecsSinceEpoch(),
                                             payload.value(QLatin1String("sentAt")));
    callStatusLabel.setToolTip(QStringLiteral("Задержка: %1 мс").arg(latency));
}
