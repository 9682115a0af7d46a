// The audio receive rules: blocks from a few senders with arbitrary "seq" and "pcm", interleaved
// with playback ticks. Input: records of [sender byte][seq byte][length byte][pcm text].
#include "calls/mixer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    mixer::Queues queues;
    mixer::LastSeq last;
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t head = data[at];
        const QString from = QString::number(head % 40);
        const unsigned long long seq = data[at + 1] * 0x0101010101010101ULL;
        const size_t length = qMin<size_t>(data[at + 2] * 16, size - at - 3);
        const QString pcm =
            QString::fromLatin1(reinterpret_cast<const char *>(data + at + 3), qsizetype(length));
        at += 3 + length;
        if (head & 0x80) {
            if (mixer::mixTick(queues).size() != mixer::blockBytes)
                __builtin_trap();
            continue;
        }
        mixer::receive(queues, last, from, seq, pcm);
        if (queues.size() > mixer::maxSenders)
            __builtin_trap();
        for (const auto &queue : queues) {
            if (queue.size() > mixer::maxQueuedBlocks)
                __builtin_trap();
        }
    }
    return 0;
}
