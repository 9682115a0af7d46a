#include "calls/mixer.h"
#include "calls/nativecalls.h"

#include <QDateTime>
#include <QJsonValue>
#include <QMetaObject>

std::function<void(QByteArray)> NativeCalls::captureHandler() {
    // Made when the voice starts; a block that reaches the GUI thread after its call has been
    // replaced by another is dropped there.
    return [this, call = callId](QByteArray block) {
        // Runs on the audio system's capture thread: reads only `muted`, then hands over the block.
        if (muted.load())
            return;
        QMetaObject::invokeMethod(
            this,
            [this, call, block = std::move(block)]() mutable {
                if (callId == call)
                    sendBlock(std::move(block));
            },
            Qt::QueuedConnection);
    };
}

void NativeCalls::sendBlock(QByteArray block) {
    // The call may have ended while the block was on its way.
    if (!mediaActive)
        return;
    ++audioSeq;
    const QJsonObject payload{
        {QStringLiteral("id"), callId},
        {QStringLiteral("pcm"), QString::fromLatin1(block.toBase64())},
        {QStringLiteral("seq"), static_cast<qint64>(audioSeq)},
        {QStringLiteral("sentAt"), QDateTime::currentMSecsSinceEpoch()},
    };
    // A dropped block still used its "seq": the receiver sees a gap, never a repeat.
    emitMedia(QStringLiteral("native_audio"), payload);
}

void NativeCalls::receiveAudio(const QJsonObject &payload) {
    // Without a call there is no "id" to match, and a block without one belongs to no call.
    if (callId.isEmpty() || payload.value(QStringLiteral("id")).toString() != callId)
        return;
    mixer::receive(audioQueues, lastAudioSeq, payload.value(QStringLiteral("from")).toString(),
                   mixer::seqFromJson(payload.value(QStringLiteral("seq"))),
                   payload.value(QStringLiteral("pcm")).toString());
}

void NativeCalls::playbackTick() {
    // Mixed even when the device has no room, so the queues drain at the same pace either way.
    const QByteArray mixed = mixer::mixTick(audioQueues);
    if (voice.canPlay())
        voice.play(mixed);
}

void NativeCalls::toggleMute() {
    const bool nowMuted = !muted.load();
    muted.exchange(nowMuted);
    micButton.setText(nowMuted ? QStringLiteral("Микрофон выключен")
                               : QStringLiteral("Микрофон включён"));
}
