#include "calls/nativecalls.h"

std::function<void(QByteArray)> NativeCalls::captureHandler() {
    return {};
}
void NativeCalls::sendBlock(QByteArray) {}
void NativeCalls::receiveAudio(const QJsonObject &) {}
void NativeCalls::playbackTick() {}
void NativeCalls::toggleMute() {}
