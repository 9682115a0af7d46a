#include "calls/nativecalls.h"

#include "calls/callrecord.h"
#include "calls/desktop.h"
#include "web/json.h"

#include <QJsonArray>

#include <optional>

namespace {

// Which call is held: none, or the held record's id.
std::optional<QString> heldCall(const QJsonObject &record) {
    if (record.isEmpty())
        return std::nullopt;
    return callrecord::id(record);
}

callrecord::Situation situationOf(const NativeCalls &calls) {
    return {.heldId = callrecord::id(calls.callRecord),
            .userId = calls.sessionUserId,
            .deviceId = calls.sid,
            .callId = calls.callId,
            .dialPending = calls.dialPending,
            .dialAbandoned = calls.dialAbandoned,
            .mediaActive = calls.mediaActive,
            .voiceFailedCall = calls.voiceFailedCall};
}

void showCall(NativeCalls &calls, const QJsonObject &record, const callrecord::Decision &decision) {
    using callrecord::Action;
    const bool ringing = decision.action == Action::Ring;
    const bool incoming = ringing || decision.action == Action::Answering;
    calls.titleLabel.setText(decision.title);
    calls.membersLabel.setText(callrecord::memberLines(record).join(QLatin1Char('\n')));
    calls.answerButton.setVisible(incoming);
    calls.declineButton.setVisible(incoming);
    calls.hangupButton.setVisible(!incoming);
    calls.micButton.setVisible(!incoming);
    calls.screenButton.setVisible(!incoming);
    QString status = QStringLiteral("Вызываем…");
    if (incoming)
        status = QStringLiteral("Входящий звонок");
    else if (decision.action == Action::Talking)
        status = QStringLiteral("Разговор");
    calls.callStatusLabel.setText(status);
    if (!ringing) {
        calls.stopRinging();
        if (!calls.callDialog.isVisible())
            calls.callDialog.show();
        return;
    }
    if (!calls.callDialog.isVisible())
        calls.announceCall(callrecord::id(record), decision.title);
    calls.callDialog.show();
    calls.callDialog.raise();
    calls.callDialog.activateWindow();
    if (!calls.ringTimer.isActive()) {
        calls.beep();
        calls.ringTimer.start(2200);
    }
}

void beginMedia(NativeCalls &calls, const QString &id) {
    if (calls.startVoice()) {
        calls.pingTimer.start(2000);
        calls.durationTimer.start(1000);
        return;
    }
    calls.voiceFailedCall = id;
    calls.showBox(QMessageBox::Warning, QStringLiteral("Микрофон"), desktop::deviceFailureText());
    calls.voiceFailedCall.reset();
    // The box keeps the event loop running: leave only if this call is still the one held.
    if (heldCall(calls.callRecord) == id && !calls.mediaActive) {
        calls.command(QStringLiteral("leave"));
        calls.finish();
    }
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
    using callrecord::Action;
    const callrecord::Decision decision = callrecord::decide(record, situationOf(*this));
    switch (decision.action) {
    case Action::Ignore:
        return;
    case Action::Finish:
        finish();
        return;
    case Action::LeaveAbandoned:
        callRecord = record;
        command(QStringLiteral("leave"));
        finish();
        return;
    case Action::Ring:
    case Action::Answering:
    case Action::Calling:
    case Action::Talking:
        break;
    }
    const QString id = callrecord::id(record);
    callRecord = record;
    if (decision.adopt) {
        callId = id;
        dialPending = false;
    }
    showCall(*this, record, decision);
    if (decision.startVoice)
        beginMedia(*this, id);
}

void NativeCalls::reconcile(const QJsonObject &payload) {
    const QJsonArray items = payload.value(QLatin1String("items")).toArray();
    for (const QJsonValue &item : items)
        update(item.toObject());
    if (callRecord.isEmpty() || dialPending)
        return;
    const QString heldId = callrecord::id(callRecord);
    for (const QJsonValue &item : items) {
        if (callrecord::id(item.toObject()) == heldId)
            return;
    }
    finish();
}

void NativeCalls::callError(const QJsonObject &payload) {
    const std::optional<QString> before = heldCall(callRecord);
    showBox(QMessageBox::Information, QStringLiteral("Звонок"), webjson::text(payload, "message"));
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
    voiceRetryTimer.stop();
    stopRinging();
    if (screenTimer.isActive())
        screenCapture.release();
    screenTimer.stop();
    screenShowTimer.stop();
    waitingScreen.clear();
    screenDecoder.cancel();
    screenShown.invalidate();
    screenLabel.clear();
    screenButton.setText(QStringLiteral("Показать экран"));
    callDialog.hide();
}
