#include "calls/waveaudio_win.h"

#include <cstring>

namespace {

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

void resetHeader(WAVEHDR &header, char *data) {
    std::memset(&header, 0, sizeof header);
    header.lpData = data;
    header.dwBufferLength = WaveAudio::blockBytes;
}

} // namespace

// The driver only signals an event; filled blocks are delivered and given back from a thread of
// ours, because a wave callback must not call wave functions (re-queuing from inside it can
// deadlock against waveInReset while a call hangs up).
bool WaveAudio::open(CaptureCallback onCaptured) {
    close();
    captured = std::move(onCaptured);
    for (Block &block : inBlocks)
        resetHeader(block.header, block.data);
    for (Block &block : outBlocks)
        resetHeader(block.header, block.data);

    WAVEFORMATEX format = voiceFormat();
    if (waveOutOpen(&waveOut, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        waveOut = nullptr;
        return false;
    }
    captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!captureEvent ||
        waveInOpen(&waveIn, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(captureEvent), 0,
                   CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        waveIn = nullptr;
        close();
        return false;
    }
    for (Block &block : outBlocks)
        waveOutPrepareHeader(waveOut, &block.header, sizeof(WAVEHDR));
    for (Block &block : inBlocks) {
        waveInPrepareHeader(waveIn, &block.header, sizeof(WAVEHDR));
        waveInAddBuffer(waveIn, &block.header, sizeof(WAVEHDR));
    }
    nextIn = 0;
    quitting.store(false);
    capturing.store(true);
    captureThread = CreateThread(nullptr, 0, &captureLoop, this, 0, nullptr);
    if (!captureThread) {
        close();
        return false;
    }
    waveInStart(waveIn);
    return true;
}

void WaveAudio::close() {
    // Cleared first, so the blocks that stopping hands back are neither delivered nor re-queued.
    capturing.store(false);
    if (waveIn)
        waveInStop(waveIn);
    // The thread goes before the reset: a block it re-queued after the reset would stay in the
    // device and keep the capture device from closing.
    if (captureThread) {
        quitting.store(true);
        SetEvent(captureEvent);
        WaitForSingleObject(captureThread, INFINITE);
        CloseHandle(captureThread);
        captureThread = nullptr;
    }
    if (waveIn) {
        waveInReset(waveIn);
        for (Block &block : inBlocks)
            waveInUnprepareHeader(waveIn, &block.header, sizeof(WAVEHDR));
        waveInClose(waveIn);
        waveIn = nullptr;
    }
    if (captureEvent) {
        CloseHandle(captureEvent);
        captureEvent = nullptr;
    }
    if (waveOut) {
        waveOutReset(waveOut);
        for (Block &block : outBlocks)
            waveOutUnprepareHeader(waveOut, &block.header, sizeof(WAVEHDR));
        waveOutClose(waveOut);
        waveOut = nullptr;
    }
}

// Runs on the capture thread until close() tells it to quit.
DWORD WINAPI WaveAudio::captureLoop(LPVOID instance) {
    auto *self = static_cast<WaveAudio *>(instance);
    while (WaitForSingleObject(self->captureEvent, INFINITE) == WAIT_OBJECT_0 &&
           !self->quitting.load())
        self->deliverFinished();
    return 0;
}

// The device fills blocks in the order they were queued and each one goes back in at the tail, so
// walking the ring from nextIn keeps capture order. One wake-up may stand for several blocks.
void WaveAudio::deliverFinished() {
    for (int n = 0; n < blockCount && capturing.load(); ++n) {
        WAVEHDR &header = inBlocks[std::size_t(nextIn)].header;
        if (!(header.dwFlags & WHDR_DONE))
            return;
        const DWORD recordedBytes = header.dwBytesRecorded;
        if (recordedBytes > 0 && recordedBytes <= DWORD(blockBytes))
            captured(header.lpData, int(recordedBytes));
        if (!capturing.load())
            return;
        waveInAddBuffer(waveIn, &header, sizeof(WAVEHDR));
        nextIn = (nextIn + 1) % blockCount;
    }
}

WaveAudio::Block *WaveAudio::freeOutBlock() {
    if (!waveOut)
        return nullptr;
    // WHDR_INQUEUE stays set until the device has played the block.
    for (Block &block : outBlocks) {
        if (!(block.header.dwFlags & WHDR_INQUEUE))
            return &block;
    }
    return nullptr;
}

bool WaveAudio::canWrite() {
    return freeOutBlock() != nullptr;
}

void WaveAudio::write(const char *samples) {
    Block *block = freeOutBlock();
    if (!block)
        return;
    std::memcpy(block->data, samples, blockBytes);
    block->header.dwBufferLength = blockBytes;
    waveOutWrite(waveOut, &block->header, sizeof(WAVEHDR));
}

void WaveAudio::reset() {
    if (waveOut)
        waveOutReset(waveOut);
}
