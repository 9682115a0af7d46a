#include "calls/callrecord.h"

#include "web/json.h"

#include <QJsonArray>

namespace callrecord {

using webjson::text;

QString id(const QJsonObject &record) {
    return text(record, "id");
}

bool hasState(const QJsonValue &value, const QString &state) {
    return value == QJsonValue(state);
}

bool isForCall(const QJsonObject &payload, const QString &callId) {
    return !callId.isEmpty() && id(payload) == callId;
}

QList<QJsonObject> members(const QJsonObject &record) {
    QList<QJsonObject> result;
    const QJsonArray list = record.value(QLatin1String("members")).toArray();
    for (const QJsonValue &member : list) {
        if (member.isObject())
            result.append(member.toObject());
    }
    return result;
}

QString memberLine(const QJsonObject &member) {
    const QJsonValue state = member.value(QLatin1String("state"));
    QString status = QStringLiteral("вышел");
    if (hasState(state, QStringLiteral("JOINED")))
        status = QStringLiteral("в разговоре");
    else if (hasState(state, QStringLiteral("INVITED")))
        status = QStringLiteral("приглашён");
    return text(member, "name") + QStringLiteral(" · ") + status;
}

QStringList memberLines(const QJsonObject &record) {
    QStringList lines;
    for (const QJsonObject &member : members(record))
        lines.append(memberLine(member));
    return lines;
}

std::optional<QJsonObject> ownEntry(const QJsonObject &record, const QString &userId) {
    if (userId.isEmpty())
        return std::nullopt;
    std::optional<QJsonObject> own;
    for (const QJsonObject &member : members(record)) {
        if (text(member, "userId") == userId)
            own = member;
    }
    return own;
}

QString title(const QJsonObject &record, const QString &referenceId) {
    for (const QJsonObject &member : members(record)) {
        if (text(member, "userId") != referenceId)
            return text(member, "name");
    }
    return QStringLiteral("Звонок Tovik");
}

qint64 elapsedSeconds(const QJsonValue &acceptedAt, const QDateTime &now) {
    const QDateTime start = QDateTime::fromString(text(acceptedAt), Qt::ISODateWithMs);
    if (!start.isValid() || !now.isValid())
        return 0;
    const qint64 ms = start.msecsTo(now);
    return ms > 0 ? ms / 1000 : 0;
}

QString durationText(const QJsonValue &acceptedAt, const QDateTime &now) {
    const qint64 seconds = elapsedSeconds(acceptedAt, now);
    return QStringLiteral("Разговор · %1:%2")
        .arg(seconds / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

namespace {

bool stateIs(const QJsonObject &object, const char *state) {
    return hasState(object.value(QLatin1String("state")), QString::fromLatin1(state));
}

Decision just(Action action) {
    Decision decision;
    decision.action = action;
    return decision;
}

} // namespace

Decision decide(const QJsonObject &record, const Situation &now) {
    const QString callId = id(record);
    // Only one call at a time: records of any other are not ours to act on.
    if (!now.heldId.isEmpty() && now.heldId != callId)
        return {};
    const std::optional<QJsonObject> own = ownEntry(record, now.userId);
    if (!own)
        return {};
    if (stateIs(record, "ENDED") || stateIs(*own, "LEFT") || stateIs(*own, "DECLINED"))
        return just(Action::Finish);
    const bool incoming = stateIs(*own, "INVITED");
    const bool onThisDevice = text(*own, "deviceId") == now.deviceId;
    const QString callerId = text(record, "callerId");
    if (!incoming && !onThisDevice && now.callId != callId && !now.dialPending)
        return {}; // the user takes part on another device
    if (now.dialAbandoned && callerId == now.userId)
        return just(Action::LeaveAbandoned);

    Decision decision;
    decision.title = title(record, incoming ? now.userId : callerId);
    if (incoming) {
        decision.action = now.callId == callId ? Action::Answering : Action::Ring;
        return decision;
    }
    const bool active = stateIs(record, "ACTIVE");
    decision.action = active ? Action::Talking : Action::Calling;
    decision.adopt = onThisDevice;
    const bool takenHere = decision.adopt || now.callId == callId;
    decision.startVoice = active && stateIs(*own, "JOINED") && takenHere && !now.mediaActive &&
                          now.voiceFailedCall != callId;
    return decision;
}

} // namespace callrecord
