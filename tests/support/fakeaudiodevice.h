#pragma once

#include "calls/audiodevice.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <memory>

// A scriptable audio device for tests: it can refuse to open, report a fixed playback depth, and
// deliver capture blocks on demand (from any thread). The state lives in a shared object so a test
// keeps access after handing the device to WinVoice.
struct FakeAudioState {
    bool failOpen = false;
    int maxQueued = 8; // playback blocks the device holds before canWrite() says no
    int queued = 0;
    int opens = 0;
    int closes = 0;
    int resets = 0;
    QList<QByteArray> written;
    AudioDevice::CaptureCallback capture;
    AudioDevice::LostCallback lost; // as the audio system going away would report it
    std::atomic<bool> open{false};
};

class FakeAudioDevice : public AudioDevice {
public:
    explicit FakeAudioDevice(std::shared_ptr<FakeAudioState> s)
        : state(std::move(s)) {}

    bool open(CaptureCallback onCaptured) override {
        ++state->opens;
        if (state->failOpen)
            return false;
        state->capture = std::move(onCaptured);
        state->open = true;
        return true;
    }
    void close() override {
        if (state->open)
            ++state->closes;
        state->open = false;
        state->queued = 0;
    }
    bool isOpen() const override { return state->open; }
    bool canWrite() override { return state->open && state->queued < state->maxQueued; }
    void write(const char *block) override {
        ++state->queued;
        state->written.append(QByteArray(block, blockBytes));
    }
    void reset() override {
        ++state->resets;
        state->queued = 0;
    }
    void setLostCallback(LostCallback onLost) override { state->lost = std::move(onLost); }

    // As the audio system would: one filled block, on whatever thread calls this.
    void capture(const QByteArray &block) {
        if (state->open && state->capture)
            state->capture(block.constData(), int(block.size()));
    }

    std::shared_ptr<FakeAudioState> state;
};
