#include "calls/audiodevice.h"

#include "calls/waveaudio_win.h"

namespace {

static_assert(WaveAudio::blockBytes == AudioDevice::blockBytes);

// The wave API on the default devices, as the voice pipeline sees an audio system.
class WaveAudioDevice final : public AudioDevice {
public:
    bool open(CaptureCallback onCaptured) override { return wave.open(std::move(onCaptured)); }
    void close() override { wave.close(); }
    bool isOpen() const override { return wave.isOpen(); }
    bool canWrite() override { return wave.canWrite(); }
    void write(const char *block) override { wave.write(block); }
    void reset() override { wave.reset(); }

private:
    WaveAudio wave;
};

} // namespace

std::unique_ptr<AudioDevice> createSystemAudioDevice(const QByteArray &, const QByteArray &) {
    return std::make_unique<WaveAudioDevice>();
}
