#pragma once

#include <QByteArray>

#include <functional>
#include <memory>

// What the voice pipeline needs of an audio system: capture and playback at 8 kHz, mono, signed
// 16-bit little-endian, in 20 ms blocks of 320 bytes.
class AudioDevice {
public:
    static constexpr int blockBytes = 320;

    // Runs on the audio system's own thread, once per filled capture block.
    using CaptureCallback = std::function<void(const char *data, int size)>;

    virtual ~AudioDevice() = default;

    // Opens capture and playback and starts capturing. False leaves everything closed.
    virtual bool open(CaptureCallback onCaptured) = 0;
    // Stops capture and playback and closes both; safe when nothing is open.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Room for one more playback block (the device has not yet queued its whole working depth).
    virtual bool canWrite() = 0;
    // Queues exactly one block of blockBytes for playing.
    virtual void write(const char *block) = 0;
    // Drops whatever is queued for playing.
    virtual void reset() = 0;

    // Fills one block of blockBytes for playing; false when no received audio went into it, and
    // then the block is not played.
    using PlaybackSource = std::function<bool(char *block)>;
    // Given before open(). A device that takes playback data itself keeps the source, calls it
    // with the device locked and answers true; canWrite() and write() are then unused. The
    // default answers false: the caller feeds the device from a timer.
    virtual bool setPlaybackSource(PlaybackSource source) {
        (void)source;
        return false;
    }
    // Received audio is waiting: a device that takes playback data itself plays it now if its
    // buffer is low, rather than at its next request. Called on the thread that received it.
    virtual void playbackArrived() {}
    // Given before open(). A device that can tell calls it once, on its own thread, when the audio
    // system goes away under it; the device stays open (and silent) until closed.
    using LostCallback = std::function<void()>;
    virtual void setLostCallback(LostCallback onLost) { (void)onLost; }
};

// The platform's audio system (audiodevice_unix.cpp, audiodevice_win.cpp) on its default microphone
// and loudspeaker. Tests name other devices of a private audio server so that two clients in one
// process stay apart; the program always uses the defaults, and the Windows back end ignores names.
std::unique_ptr<AudioDevice> createSystemAudioDevice(const QByteArray &captureName = {},
                                                     const QByteArray &playbackName = {});
