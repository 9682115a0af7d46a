#include "calls/winvoice.h"

#include <algorithm>
#include <array>
#include <cstring>

WinVoice::WinVoice()
    : WinVoice(createSystemAudioDevice()) {}

WinVoice::WinVoice(std::unique_ptr<AudioDevice> device)
    : dev(std::move(device)) {}

WinVoice::~WinVoice() {
    stop();
}

bool WinVoice::start(Callback cb) {
    running.exchange(false);
    // A restart passes through closed, so the device never delivers to a callback being replaced.
    if (dev && dev->isOpen()) {
        dev->reset();
        dev->close();
    }
    callback = std::move(cb);
    // Runs on the audio system's thread, once per captured block.
    auto deliver = [this](const char *data, int size) {
        if (running.load() && size > 0)
            callback(QByteArray(data, size));
    };
    pulling = false;
    if (dev) {
        AudioDevice::PlaybackSource source;
        if (mix) {
            // Until start() has finished (and after stop()), a device asking for sound gets
            // nothing to play.
            source = [this](char *block) { return running.load() && mix(block); };
        }
        pulling = dev->setPlaybackSource(std::move(source));
        dev->setLostCallback(lost);
    }
    if (!dev || !dev->open(deliver)) {
        stop();
        return false;
    }
    running.exchange(true);
    return true;
}

void WinVoice::stop() {
    // Cleared first: whatever the device hands back while closing is neither delivered nor kept.
    running.exchange(false);
    if (dev && dev->isOpen()) {
        dev->reset();
        dev->close();
    }
}

bool WinVoice::canPlay() {
    return running.load() && !pulling && dev && dev->isOpen() && dev->canWrite();
}

void WinVoice::arrived() {
    if (pulling && running.load() && dev)
        dev->playbackArrived();
}

void WinVoice::play(const QByteArray &block) {
    if (!dev || !dev->isOpen())
        return;
    std::array<char, AudioDevice::blockBytes> area{};
    std::memcpy(area.data(), block.constData(),
                std::min<std::size_t>(area.size(), std::size_t(block.size())));
    dev->write(area.data());
}

void WinVoice::setDevice(std::unique_ptr<AudioDevice> device) {
    stop();
    dev = std::move(device);
}
