#include "calls/callrecord.h"
#include "calls/mixer.h"
#include "calls/nativecalls.h"

#include <QDateTime>
#include <QJsonValue>
#include <QMetaObject>

#include <algorithm>
#include <cstring>

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
    if (!callrecord::isForCall(payload, callId))
        return;
    {
        const std::lock_guard<std::mutex> hold(audioLock);
        if (mixer::receive(
                audioQueues, lastAudioSeq, payload.value(QStringLiteral("from")).toString(),
                mixer::seqFromJson(payload.value(QStringLiteral("seq"))),
                payload.value(QStringLiteral("pcm")).toString()) != mixer::Received::Queued)
            return;
    }
    voice.arrived();
}

void NativeCalls::setupVoice() {
    // A device that takes playback itself mixes when a block arrives or when it runs low, in step
    // with its clock: no timer wakes the GUI thread, and no timer phase adds to the delay. With
    // nothing received there is nothing to play: the device rather runs dry than queue silence
    // ahead of the next block, which would delay that block and everything after it for good.
    voice.mix = [this](char *block) {
        const std::lock_guard<std::mutex> hold(audioLock);
        if (std::all_of(audioQueues.cbegin(), audioQueues.cend(),
                        [](const QQueue<QByteArray> &queue) { return queue.isEmpty(); }))
            return false;
        const QByteArray mixed = mixer::mixTick(audioQueues, &audioBacklog);
        std::memcpy(block, mixed.constData(), AudioDevice::blockBytes);
        return true;
    };
    voice.lost = [this] {
        QMetaObject::invokeMethod(
            this, [this] { voiceLost(); }, Qt::QueuedConnection);
    };
    voiceRetryTimer.setInterval(500);
    connect(&voiceRetryTimer, &QTimer::timeout, this, [this] { retryVoice(); });
}

void NativeCalls::playbackTick() {
    // Mixed even when the device has no room, so the queues drain at the same pace either way.
    QByteArray mixed;
    {
        const std::lock_guard<std::mutex> hold(audioLock);
        mixed = mixer::mixTick(audioQueues, &audioBacklog);
    }
    if (voice.canPlay())
        voice.play(mixed);
}

bool NativeCalls::startVoice() {
    mediaActive = voice.start(captureHandler());
    // What arrived while the loudspeaker was being opened would only delay what follows.
    if (mediaActive && voice.pullsPlayback())
        dropReceivedAudio();
    if (mediaActive && !voice.pullsPlayback())
        playbackTimer.start(20);
    return mediaActive;
}

void NativeCalls::voiceLost() {
    if (!mediaActive || voiceRetryTimer.isActive())
        return;
    // The call goes on in silence while the server is away; ping and duration keep running.
    voice.stop();
    playbackTimer.stop();
    voiceLostFor.start();
    voiceRetryTimer.start();
}

void NativeCalls::retryVoice() {
    if (!mediaActive) {
        voiceRetryTimer.stop();
        return;
    }
    if (voiceLostFor.elapsed() >= voiceLostLimitMs) {
        // One last try, as the call's first start: if it fails too, the call ends with the
        // microphone warning exactly as a failed start does.
        voiceRetryTimer.stop();
        voice.stop();
        mediaActive = false;
        update(callRecord);
        return;
    }
    // What queued up while nobody played it is stale.
    dropReceivedAudio();
    if (startVoice())
        voiceRetryTimer.stop();
    else
        mediaActive = true;
}

void NativeCalls::dropReceivedAudio() {
    const std::lock_guard<std::mutex> hold(audioLock);
    audioQueues.clear();
    audioBacklog.clear();
}

void NativeCalls::toggleMute() {
    const bool nowMuted = !muted.load();
    muted.exchange(nowMuted);
    micButton.setText(nowMuted ? QStringLiteral("Микрофон выключен")
                               : QStringLiteral("Микрофон включён"));
}
