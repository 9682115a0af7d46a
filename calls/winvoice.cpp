#include "calls/winvoice.h"

WinVoice::WinVoice()
    : WinVoice(createSystemAudioDevice()) {}
WinVoice::WinVoice(std::unique_ptr<AudioDevice> device)
    : dev(std::move(device)) {}
WinVoice::~WinVoice() {
    stop();
}
bool WinVoice::start(Callback cb) {
    callback = std::move(cb);
    return false;
}
void WinVoice::stop() {}
bool WinVoice::canPlay() {
    return false;
}
void WinVoice::play(const QByteArray &) {}
void WinVoice::setDevice(std::unique_ptr<AudioDevice> device) {
    dev = std::move(device);
}
