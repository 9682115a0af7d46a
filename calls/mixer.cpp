#include "calls/mixer.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace mixer {

unsigned long long seqFromJson(const QJsonValue &value) {
    constexpr double two63 = 9223372036854775808.0;
    const double number = value.toDouble();
    if (number > -two63 && number < two63) {
        // Exact for integers beyond 2^53 that a double would round.
        return static_cast<unsigned long long>(value.toInteger(static_cast<qint64>(number)));
    }
    if (number >= 2 * two63)
        return std::numeric_limits<unsigned long long>::max();
    if (number >= two63)
        return static_cast<unsigned long long>(number);
    return 1ULL << 63;
}

Received receive(Queues &queues, LastSeq &lastSeq, const QString &from, unsigned long long seq,
                 const QString &pcm) {
    const auto last = lastSeq.constFind(from);
    if (last == lastSeq.cend()) {
        if (lastSeq.size() >= maxSenders)
            return Received::TooManySenders;
    } else if (*last >= seq) {
        return Received::Stale;
    }
    lastSeq.insert(from, seq);
    const QByteArray block = QByteArray::fromBase64(pcm.toLatin1());
    if (block.size() > maxBlockBytes)
        return Received::TooLong;
    QQueue<QByteArray> &queue = queues[from];
    while (queue.size() >= maxQueuedBlocks)
        queue.dequeue();
    queue.enqueue(block);
    return Received::Queued;
}

QByteArray mixTick(Queues &queues, Backlog *backlog) {
    // 32 bits hold the sum of far more senders than a call may have, so one clamp at the end does.
    std::array<std::int32_t, samplesPerBlock> sum{};
    for (auto it = queues.begin(); it != queues.end(); ++it) {
        QQueue<QByteArray> &queue = it.value();
        if (backlog) {
            int &held = (*backlog)[it.key()];
            held = queue.size() > steadyBlocks ? held + 1 : 0;
            if (held >= backlogTicks) {
                queue.dequeue();
                held = 0;
            }
        }
        if (queue.isEmpty())
            continue;
        const QByteArray block = queue.dequeue();
        const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
        const qsizetype samples = std::min<qsizetype>(samplesPerBlock, block.size() / 2);
        for (qsizetype i = 0; i < samples; ++i)
            sum[i] += qFromLittleEndian<qint16>(bytes + 2 * i);
    }
    QByteArray out(blockBytes, Qt::Uninitialized);
    auto *dest = reinterpret_cast<uchar *>(out.data());
    for (int i = 0; i < samplesPerBlock; ++i) {
        const auto sample = static_cast<qint16>(std::clamp<std::int32_t>(sum[i], -32768, 32767));
        qToLittleEndian<qint16>(sample, dest + 2 * i);
    }
    return out;
}

} // namespace mixer
