// The wave-API core against wine's audio driver and the private PulseAudio server of the tests,
// whose default sink is a null sink and default source that sink's monitor: what is played out is
// captured back. With "--no-device" the driver finds no server and opening must fail.

#include "calls/waveaudio_win.h"

#include "tests/support/wintest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Everything a capture callback saw; it writes, the test thread reads once the count says so.
struct Captured {
    static constexpr int maxBlocks = 250;
    std::array<const char *, maxBlocks> where{};
    std::array<int, maxBlocks> sizes{};
    std::array<std::int16_t, maxBlocks * WaveAudio::blockBytes / 2> samples{};
    std::atomic<int> count{0};

    WaveAudio::CaptureCallback callback() {
        return [this](const char *data, int size) {
            const int at = count.load();
            if (at >= maxBlocks)
                return;
            where[std::size_t(at)] = data;
            sizes[std::size_t(at)] = size;
            std::memcpy(&samples[std::size_t(at) * WaveAudio::blockBytes / 2], data,
                        std::size_t(std::min(size, WaveAudio::blockBytes)));
            count.store(at + 1);
        };
    }
};

bool waitForBlocks(const Captured &captured, int blocks, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (captured.count.load() < blocks && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return captured.count.load() >= blocks;
}

// A wave call that hangs (a deadlock at stop, a driver that never answers) ends the run as a
// failure instead of stalling the script.
void startWatchdog() {
    std::thread([] {
        std::this_thread::sleep_for(90s);
        std::printf("FAIL the test did not finish within 90 s\n0 passed, 1 failed\n");
        std::fflush(stdout);
        ExitProcess(2);
    }).detach();
}

void toneBlock(std::array<char, WaveAudio::blockBytes> &block, long &phase) {
    for (int i = 0; i < WaveAudio::blockBytes / 2; ++i, ++phase) {
        const auto sample = std::int16_t(
            std::lround(8000 * std::sin((double(phase) + 0.5) * std::numbers::pi / 4)));
        std::memcpy(&block[std::size_t(i) * 2], &sample, 2);
    }
}

// Captured blocks that are the tone: loud, and crossing zero 40 times in 20 ms (1 kHz).
int toneBlocks(const Captured &captured) {
    int tone = 0;
    const int samples = WaveAudio::blockBytes / 2;
    for (int at = 0; at < captured.count.load(); ++at) {
        const std::int16_t *block = &captured.samples[std::size_t(at * samples)];
        double energy = 0;
        int crossings = 0;
        for (int i = 0; i < samples; ++i) {
            energy += double(block[i]) * block[i];
            crossings += i > 0 && (block[i] >= 0) != (block[i - 1] >= 0);
        }
        tone += std::sqrt(energy / samples) > 2000 && crossings >= 37 && crossings <= 41;
    }
    return tone;
}

} // namespace

int main(int argc, char **argv) {
    startWatchdog();

    if (argc > 1 && std::string(argv[1]) == "--no-device") {
        wintest::run("without any audio device opening fails and leaves it closed", [] {
            Captured captured;
            WaveAudio wave;
            WINTEST_CHECK(!wave.open(captured.callback()));
            WINTEST_CHECK(!wave.isOpen() && !wave.canWrite());
            wave.close();
            WINTEST_CHECK(captured.count.load() == 0);
        });
        return wintest::finish();
    }

    wintest::run("capture hands out full blocks, re-queued in ring order", [] {
        Captured captured;
        WaveAudio wave;
        WINTEST_CHECK(wave.open(captured.callback()));
        WINTEST_CHECK(waitForBlocks(captured, 3 * WaveAudio::blockCount, 6s));
        wave.close();
        const int seen = captured.count.load();
        for (int i = 0; i < seen; ++i) {
            WINTEST_CHECK(captured.sizes[std::size_t(i)] == WaveAudio::blockBytes);
            // Every buffer comes back, after the other seven: none lost, none overtaken.
            const auto ring = std::size_t(i % WaveAudio::blockCount);
            WINTEST_CHECK(captured.where[std::size_t(i)] == captured.where[ring]);
            if (i > 0 && i < WaveAudio::blockCount)
                WINTEST_CHECK(captured.where[std::size_t(i)] != captured.where[0]);
        }
    });

    wintest::run("a tone played out is captured back", [] {
        Captured captured;
        WaveAudio wave;
        WINTEST_CHECK(wave.open(captured.callback()));
        std::array<char, WaveAudio::blockBytes> block{};
        long phase = 0;
        int queued = 0;
        for (; wave.canWrite() && queued < 20; ++queued) {
            toneBlock(block, phase);
            wave.write(block.data());
        }
        WINTEST_CHECK(queued == WaveAudio::blockCount);
        // Wine's driver takes a second or more before the first block comes back, and a busy
        // machine may drop some; half a second of the tone in all is enough.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (toneBlocks(captured) < 25 && std::chrono::steady_clock::now() < until) {
            while (wave.canWrite()) {
                toneBlock(block, phase);
                wave.write(block.data());
            }
            std::this_thread::sleep_for(10ms);
        }
        wave.reset();
        WINTEST_CHECK(wave.canWrite());
        wave.close();
        WINTEST_CHECK(toneBlocks(captured) >= 25);
    });

    wintest::run("closing while capture runs is clean and final, again and again", [] {
        // Under wine a reopened capture device takes up to two seconds for its first block.
        for (int round = 0; round < 5; ++round) {
            Captured captured;
            WaveAudio wave;
            WINTEST_CHECK(wave.open(captured.callback()));
            WINTEST_CHECK(waitForBlocks(captured, 1 + round % 3, 5s));
            wave.close();
            WINTEST_CHECK(!wave.isOpen());
            const int atClose = captured.count.load();
            std::this_thread::sleep_for(60ms);
            WINTEST_CHECK(captured.count.load() == atClose);
            wave.close();
        }
    });

    return wintest::finish();
}
