#include "calls/callrecord.h"

#include <QJsonArray>

namespace callrecord {

QString text(const QJsonValue &value) {
    return value.isString() ? value.toString() : QString();
}

bool hasState(const QJsonValue &value, const QString &state) {
    return value == QJsonValue(state);
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
    return text(member.value(QLatin1String("name"))) + QStringLiteral(" · ") + status;
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
        if (text(member.value(QLatin1String("userId"))) == userId)
            own = member;
    }
    return own;
}

QString title(const QJsonObject &record, const QString &referenceId) {
    for (const QJsonObject &member : members(record)) {
        if (text(member.value(QLatin1String("userId"))) != referenceId)
            return text(member.value(QLatin1String("name")));
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

} // namespace callrecord
