#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>

// Reading a call record as the server sends it, without touching any widget. Records come from
// the network, so every field may be missing or of the wrong type.
namespace callrecord {

// An id or name as the call side compares it: a string's value; anything else reads as empty.
QString text(const QJsonValue &value);

// States are whole JSON values: a number, or a string in another case, matches no state.
bool hasState(const QJsonValue &value, const QString &state);

// The members in the server's order. Entries that are not objects carry nothing and are skipped.
QList<QJsonObject> members(const QJsonObject &record);

// "name · в разговоре|приглашён|вышел".
QString memberLine(const QJsonObject &member);
QStringList memberLines(const QJsonObject &record);

// The signed-in user's own entry: the last member whose "userId" is userId. Nobody is signed in
// while userId is empty, so then there is none.
std::optional<QJsonObject> ownEntry(const QJsonObject &record, const QString &userId);

// The first member, in order, who is not referenceId; "Звонок Tovik" when there is none.
QString title(const QJsonObject &record, const QString &referenceId);

// Whole seconds since "acceptedAt" (ISO 8601 with milliseconds); 0 when it is absent, unreadable
// or later than now.
qint64 elapsedSeconds(const QJsonValue &acceptedAt, const QDateTime &now);

// "Разговор · mm:ss"; minutes are not wrapped into hours.
QString durationText(const QJsonValue &acceptedAt, const QDateTime &now);

} // namespace callrecord
