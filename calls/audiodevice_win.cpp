#include "calls/audiodevice.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mmsystem.h>

#include <array>
#include <atomic>
#include <cstring>

namespace {

constexpr int blockCount = 8;

// One device buffer: the header and the samples it points at, side by side. Blocks live inside the
// device object and never move while a device is open.
struct WaveBlock {
    WAVEHDR header;
    char data[AudioDevice::blockBytes];
};

WAVEFORMATEX voiceFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 8000;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 16000;
    format.cbSize = 0;
    return format;
}

void resetHeader(WaveBlock &block) {
    std::memset(&block.header, 0, sizeof block.header);
    block.header.lpData = block.data;
    block.header.dwBufferLength = AudioDevice::blockBytes;
}

// The Windows multimedia wave API on the default devices: eight capture buffers that the driver
// fills and hands back through `recorded`, eight playback buffers written one per mixing tick.
class WaveAudioDevice final : public AudioDevice {
public:
    WaveAudioDevice() = default;
    ~WaveAudioDevice() override { close(); }
    WaveAudioDevice(const WaveAudioDevice &) = delete;
    WaveAudioDevice &operator=(const WaveAudioDevice &) = delete;

    bool open(CaptureCallback onCaptured) override;
    void close() override;
    bool isOpen() const override { return waveIn != nullptr || waveOut != nullptr; }
    bool canWrite() override;
    void write(const char *block) override;
    void reset() override;

    static void CALLBACK recorded(HWAVEIN device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR param2);

private:
    WaveBlock *freeOutBlock();

    HWAVEIN waveIn = nullptr;
    HWAVEOUT waveOut = nullptr;
    std::array<WaveBlock, blockCount> inBlocks{};
    std::array<WaveBlock, blockCount> outBlocks{};
    // Read by the driver's thread before delivering and before giving a block back.
    std::atomic<bool> capturing{false};
    // Replaced only in open(), while the capture device is closed.
    CaptureCallback captured;
};

bool WaveAudioDevice::open(CaptureCallback onCaptured) {
    close();
    captured = std::move(onCaptured);
    for (WaveBlock &block : inBlocks)
        resetHeader(block);
    for (WaveBlock &block : outBlocks)
        resetHeader(block);

    WAVEFORMATEX format = voiceFormat();
    if (waveOutOpen(&waveOut, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        waveOut = nullptr;
        return false;
    }
    if (waveInOpen(&waveIn, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&recorded),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        waveIn = nullptr;
        close();
        return false;
    }
    for (WaveBlock &block : outBlocks)
        waveOutPrepareHeader(waveOut, &block.header, sizeof(WAVEHDR));
    for (WaveBlock &block : inBlocks) {
        waveInPrepareHeader(waveIn, &block.header, sizeof(WAVEHDR));
        waveInAddBuffer(waveIn, &block.header, sizeof(WAVEHDR));
    }
    capturing.exchange(true);
    waveInStart(waveIn);
    return true;
}

void WaveAudioDevice::close() {
    // Cleared before the reset, so the blocks it returns are neither delivered nor re-queued.
    capturing.exchange(false);
    if (waveIn) {
        waveInStop(waveIn);
        waveInReset(waveIn);
        for (WaveBlock &block : inBlocks)
            waveInUnprepareHeader(waveIn, &block.header, sizeof(WAVEHDR));
        waveInClose(waveIn);
        waveIn = nullptr;
    }
    if (waveOut) {
        waveOutReset(waveOut);
        for (WaveBlock &block : outBlocks)
            waveOutUnprepareHeader(waveOut, &block.header, sizeof(WAVEHDR));
        waveOutClose(waveOut);
        waveOut = nullptr;
    }
}

// A block is free once the device has played it: WHDR_INQUEUE stays set until then.
WaveBlock *WaveAudioDevice::freeOutBlock() {
    if (!waveOut)
        return nullptr;
    for (WaveBlock &block : outBlocks) {
        if (!(block.header.dwFlags & WHDR_INQUEUE))
            return &block;
    }
    return nullptr;
}

bool WaveAudioDevice::canWrite() {
    return freeOutBlock() != nullptr;
}

void WaveAudioDevice::write(const char *samples) {
    WaveBlock *block = freeOutBlock();
    if (!block)
        return;
    std::memcpy(block->data, samples, blockBytes);
    block->header.dwBufferLength = blockBytes;
    waveOutWrite(waveOut, &block->header, sizeof(WAVEHDR));
}

void WaveAudioDevice::reset() {
    if (waveOut)
        waveOutReset(waveOut);
}

// Runs on the wave driver's callback thread.
void CALLBACK WaveAudioDevice::recorded(HWAVEIN device, UINT message, DWORD_PTR instance,
                                        DWORD_PTR param1, DWORD_PTR) {
    if (message != WIM_DATA)
        return;
    auto *self = reinterpret_cast<WaveAudioDevice *>(instance);
    auto *header = reinterpret_cast<WAVEHDR *>(param1);
    if (!self->capturing.load())
        return;
    const DWORD recordedBytes = header->dwBytesRecorded;
    if (recordedBytes > 0 && recordedBytes <= DWORD(blockBytes))
        self->captured(header->lpData, int(recordedBytes));
    if (self->capturing.load())
        waveInAddBuffer(device, header, sizeof(WAVEHDR));
}

} // namespace

std::unique_ptr<AudioDevice> createSystemAudioDevice(const QByteArray &, const QByteArray &) {
    return std::make_unique<WaveAudioDevice>();
}
