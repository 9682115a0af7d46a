#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>

// Reading a call record as the server sends it, without touching any widget. Records come from
// the network, so every field may be missing or of the wrong type; strings are read as
// webjson::text reads them.
namespace callrecord {

// The record's "id"; empty when there is none.
QString id(const QJsonObject &record);

// States are whole JSON values: a number, or a string in another case, matches no state.
bool hasState(const QJsonValue &value, const QString &state);

// Whether an audio or screen event belongs to the call taken part in. Without a call nothing is
// current, even media that carries no id at all.
bool isForCall(const QJsonObject &payload, const QString &callId);

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

// What this device knows when a record arrives.
struct Situation {
    QString heldId;   // the held record's id; empty when none is held
    QString userId;   // the signed-in user
    QString deviceId; // this device's channel id
    QString callId;   // the call taken part in here
    bool dialPending = false;
    bool dialAbandoned = false;
    bool mediaActive = false;
    std::optional<QString> voiceFailedCall; // a failed voice start being reported
};

enum class Action {
    Ignore,         // another call is held, the user is no member, or takes part elsewhere
    Finish,         // the call is over for the user
    LeaveAbandoned, // the user's own dial, given up before its record came: leave it
    Ring,           // incoming, not answered
    Answering,      // incoming, answered here; the server has not confirmed yet
    Calling,        // held, not yet "ACTIVE"
    Talking,        // held and "ACTIVE"
};

struct Decision {
    Action action = Action::Ignore;
    QString title;           // for the actions that show the call
    bool adopt = false;      // the call is taken part in here from now on: no dial is pending
    bool startVoice = false; // the devices should open now
};

Decision decide(const QJsonObject &record, const Situation &situation);

} // namespace callrecord
