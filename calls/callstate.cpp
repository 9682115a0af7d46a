#include "calls/nativecalls.h"

#include "calls/callrecord.h"
#include "calls/desktop.h"

#include <QJsonArray>

#include <optional>

namespace {

QString idOf(const QJsonObject &record) {
    return callrecord::text(record.value(QLatin1String("id")));
}

bool stateIs(const QJsonObject &object, const char *state) {
    return callrecord::hasState(object.value(QLatin1String("state")), QString::fromLatin1(state));
}

// Which call is held: none, or the held record's id.
std::optional<QString> heldCall(const QJsonObject &record) {
    if (record.isEmpty())
        return std::nullopt;
    return idOf(record);
}

} // namespace

void NativeCalls::dial(QString chatId, QString title) {
    if (!connected) {
        showBox(QMessageBox::Information, QStringLiteral("Звонок"),
                QStringLiteral("Соединяемся с сервером. Повторите через несколько секунд."));
        return;
    }
    // A second invite while the first is still unanswered would make the server refuse it, and
    // that refusal would tear down the first call here while it keeps ringing on the other side.
    if (!callRecord.isEmpty() || dialPending) {
        callDialog.show();
        return;
    }
    dialAbandoned = false;
    dialPending = true;
    muted = false;
    micButton.setText(QStringLiteral("Микрофон включён"));
    answerButton.hide();
    declineButton.hide();
    micButton.hide();
    screenButton.hide();
    hangupButton.show();
    titleLabel.setText(title);
    callStatusLabel.setText(QStringLiteral("Вызываем…"));
    emitEvent(QStringLiteral("native_call"), {{QStringLiteral("action"), QStringLiteral("invite")},
                                              {QStringLiteral("chatId"), chatId}});
    callDialog.show();
    // Only this dial's wait may give it up: a later dial that is still pending has its own.
    const quint64 serial = ++dialSerial;
    QTimer::singleShot(dialWaitMs, Qt::CoarseTimer, this, [this, serial] {
        if (serial != dialSerial || !dialPending)
            return;
        dialAbandoned = true;
        finish();
        showBox(QMessageBox::Information, QStringLiteral("Звонок"),
                QStringLiteral("Сервер не ответил. Повторите звонок."));
    });
}

void NativeCalls::update(QJsonObject record) {
    const QString id = idOf(record);
    if (!callRecord.isEmpty()) {
        const QString heldId = idOf(callRecord);
        if (!heldId.isEmpty() && heldId != id)
            return;
    }
    const std::optional<QJsonObject> found = callrecord::ownEntry(record, sessionUserId);
    if (!found)
        return;
    const QJsonObject &own = *found;
    if (stateIs(record, "ENDED") || stateIs(own, "LEFT") || stateIs(own, "DECLINED")) {
        finish();
        return;
    }
    const bool incoming = stateIs(own, "INVITED");
    const bool onThisDevice = callrecord::text(own.value(QLatin1String("deviceId"))) == sid;
    const bool placedByUser =
        callrecord::text(record.value(QLatin1String("callerId"))) == sessionUserId;
    if (!incoming && !onThisDevice && callId != id && !dialPending)
        return; // the user takes part on another device
    if (dialAbandoned && placedByUser) {
        callRecord = record;
        command(QStringLiteral("leave"));
        finish();
        return;
    }
    callRecord = record;
    if (!incoming && onThisDevice) {
        callId = id;
        dialPending = false;
    }

    const QString title = callrecord::title(
        record,
        incoming ? sessionUserId : callrecord::text(record.value(QLatin1String("callerId"))));
    titleLabel.setText(title);
    membersLabel.setText(callrecord::memberLines(record).join(QLatin1Char('\n')));
    answerButton.setVisible(incoming);
    declineButton.setVisible(incoming);
    hangupButton.setVisible(!incoming);
    micButton.setVisible(!incoming);
    screenButton.setVisible(!incoming);

    if (incoming) {
        callStatusLabel.setText(QStringLiteral("Входящий звонок"));
        if (callId == id) {
            // Answered here; the server has not confirmed yet.
            stopRinging();
            if (!callDialog.isVisible())
                callDialog.show();
        } else {
            if (!callDialog.isVisible())
                announceCall(id, title);
            callDialog.show();
            callDialog.raise();
            callDialog.activateWindow();
            if (!ringTimer.isActive()) {
                beep();
                ringTimer.start(2200);
            }
        }
    } else {
        callStatusLabel.setText(stateIs(record, "ACTIVE") ? QStringLiteral("Разговор")
                                                          : QStringLiteral("Вызываем…"));
        stopRinging();
        if (!callDialog.isVisible())
            callDialog.show();
    }

    if (!stateIs(record, "ACTIVE") || !stateIs(own, "JOINED") || callId != id || mediaActive ||
        voiceFailedCall == id)
        return;
    mediaActive = voice.start(captureHandler());
    if (mediaActive) {
        playbackTimer.start(20);
        pingTimer.start(2000);
        durationTimer.start(1000);
        return;
    }
    voiceFailedCall = id;
    showBox(QMessageBox::Warning, QStringLiteral("Микрофон"), desktop::deviceFailureText());
    voiceFailedCall.reset();
    // The box keeps the event loop running: leave only if this call is still the one held.
    if (heldCall(callRecord) == id && !mediaActive) {
        command(QStringLiteral("leave"));
        finish();
    }
}

void NativeCalls::reconcile(const QJsonObject &payload) {
    const QJsonArray items = payload.value(QLatin1String("items")).toArray();
    for (const QJsonValue &item : items)
        update(item.toObject());
    if (callRecord.isEmpty() || dialPending)
        return;
    const QString heldId = idOf(callRecord);
    for (const QJsonValue &item : items) {
        if (idOf(item.toObject()) == heldId)
            return;
    }
    finish();
}

void NativeCalls::callError(const QJsonObject &payload) {
    const std::optional<QString> before = heldCall(callRecord);
    showBox(QMessageBox::Information, QStringLiteral("Звонок"),
            callrecord::text(payload.value(QLatin1String("message"))));
    // Frames keep arriving while the box is open; a call that came in meanwhile is not the one
    // the error was about.
    if (mediaActive || heldCall(callRecord) != before)
        return;
    finish();
}

void NativeCalls::finish() {
    voice.stop();
    mediaActive = false;
    dialPending = false;
    callId.clear();
    callRecord = QJsonObject();
    audioQueues.clear();
    lastAudioSeq.clear();
    durationTimer.stop();
    pingTimer.stop();
    playbackTimer.stop();
    stopRinging();
    screenTimer.stop();
    screenLabel.clear();
    screenButton.setText(QStringLiteral("Показать экран"));
    callDialog.hide();
}
