#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QQueue>
#include <QString>

// Received voice: the per-sender de-duplication and queue rules, and the mixing of one playback
// tick. Widget-free, so the rules are tested directly.
namespace mixer {

constexpr int samplesPerBlock = 160;
constexpr int blockBytes = 2 * samplesPerBlock;
constexpr qsizetype maxBlockBytes = 2048;
// 140 ms per sender; overflow discards the oldest audio.
constexpr qsizetype maxQueuedBlocks = 7;
// A call has a handful of members; ever-new sender names must not grow memory or the tick.
constexpr qsizetype maxSenders = 32;

// Play-out adaptation: a sender's queue that has held more than steadyBlocks at every tick for a
// whole second (backlogTicks ticks) gives up its oldest block, so the delay that a stall added
// drains away within a few seconds. Two blocks are the cushion against jitter and never dropped.
constexpr qsizetype steadyBlocks = 2;
constexpr int backlogTicks = 50;

using Queues = QHash<QString, QQueue<QByteArray>>;
using LastSeq = QHash<QString, unsigned long long>;
// Per sender: consecutive ticks its queue has held more than steadyBlocks.
using Backlog = QHash<QString, int>;

enum class Received { Queued, Stale, TooLong, TooManySenders };

// "seq" as the wire carries it: a JSON number truncated toward zero and taken as unsigned 64-bit,
// so negative values wrap around; anything that is not a number reads as 0.
unsigned long long seqFromJson(const QJsonValue &value);

// Applies one received block (`pcm` is its Base64 text, decoded leniently). A block whose "seq"
// is not above the sender's last accepted one is stale; an accepted "seq" counts even when the
// block then turns out too long.
Received receive(Queues &queues, LastSeq &lastSeq, const QString &from, unsigned long long seq,
                 const QString &pcm);

// One playback tick: takes the oldest block of every sender's queue and adds them sample by
// sample, clamped once at the end. Always 320 bytes; silence when nothing was queued. With a
// backlog, the play-out adaptation above applies first.
QByteArray mixTick(Queues &queues, Backlog *backlog = nullptr);

} // namespace mixer
