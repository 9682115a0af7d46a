#pragma once

#include "web/win32.h"

#include <mmsystem.h>

#include <array>
#include <atomic>
#include <functional>

// The Windows multimedia wave API on the default microphone and loudspeaker, at 8 kHz, mono,
// signed 16-bit, in blocks of 320 bytes (20 ms). Only standard types and Win32 at its edge, so it
// builds and is tested without Qt; audiodevice_win.cpp adapts it to AudioDevice.
class WaveAudio {
public:
    static constexpr int blockBytes = 320;
    static constexpr int blockCount = 8;

    // Runs on the capture thread of this class, once per filled block, in capture order.
    using CaptureCallback = std::function<void(const char *data, int size)>;

    WaveAudio() = default;
    ~WaveAudio() { close(); }
    WaveAudio(const WaveAudio &) = delete;
    WaveAudio &operator=(const WaveAudio &) = delete;

    // Opens playback and capture and starts capturing. False leaves everything closed.
    bool open(CaptureCallback onCaptured);
    // Stops capture, waits for the capture thread, closes both devices; safe when closed. Once it
    // returns, the capture callback is not running and is not called again.
    void close();
    bool isOpen() const { return waveIn != nullptr || waveOut != nullptr; }
    // A playback block the device has finished with (or never had) is free.
    bool canWrite();
    // Queues exactly one block of blockBytes for playing; dropped when no block is free.
    void write(const char *block);
    // Drops whatever is queued for playing.
    void reset();

private:
    // A header and the samples it points at, side by side. Blocks never move while open.
    struct Block {
        WAVEHDR header;
        char data[blockBytes];
    };

    static DWORD WINAPI captureLoop(LPVOID instance);
    void deliverFinished();
    Block *freeOutBlock();

    HWAVEIN waveIn = nullptr;
    HWAVEOUT waveOut = nullptr;
    std::array<Block, blockCount> inBlocks{};
    std::array<Block, blockCount> outBlocks{};
    // Set by the driver whenever a capture block is done; our capture thread waits on it.
    HANDLE captureEvent = nullptr;
    HANDLE captureThread = nullptr;
    // Read by the capture thread before delivering and before giving a block back.
    std::atomic<bool> capturing{false};
    std::atomic<bool> quitting{false};
    // The capture block the device hands back next; only the capture thread touches it.
    int nextIn = 0;
    // Replaced only in open(), while the capture thread is not running.
    CaptureCallback captured;
};
