#pragma once

#include "calls/audiodevice.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <memory>

// Owns the microphone and the loudspeaker for one call at a time.
class WinVoice {
public:
    // Called on the audio system's thread with each captured block, only while running.
    using Callback = std::function<void(QByteArray)>;

    WinVoice();
    explicit WinVoice(std::unique_ptr<AudioDevice> device);
    ~WinVoice();
    WinVoice(const WinVoice &) = delete;
    WinVoice &operator=(const WinVoice &) = delete;

    // (Re)opens the device and starts capture; false leaves it closed with `cb` stored.
    bool start(Callback cb);
    // Closes the device; safe when closed and when called repeatedly. The callback stays stored.
    void stop();
    // True when a mixed block could be handed to the device now.
    bool canPlay();
    // Plays one block (at most 320 bytes are used; a shorter block is padded with silence).
    void play(const QByteArray &block);
    // True while the device asks for playback blocks itself (through `mix`), so no timer feeds it.
    bool pullsPlayback() const { return pulling; }
    // Received audio was queued for `mix`; a device that takes it itself may play it at once.
    void arrived();

    // Tests swap in a scripted device; only while stopped.
    void setDevice(std::unique_ptr<AudioDevice> device);
    AudioDevice *device() const { return dev.get(); }

    std::unique_ptr<AudioDevice> dev;
    std::atomic<bool> running{false};
    Callback callback;
    // Set once by the owner before the first start. `mix` fills one block for a device that asks
    // for playback itself; `lost` hears that the audio system went away under the open device.
    // Both run on the audio system's thread.
    AudioDevice::PlaybackSource mix;
    AudioDevice::LostCallback lost;

private:
    bool pulling = false;
};
