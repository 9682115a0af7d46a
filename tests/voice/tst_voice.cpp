// The voice path: the mixer's rules (blocks in, samples out), the playback tick, and capture to
// the wire through the local service, with a scripted audio device.
#include "calls/mixer.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"

#include <QScopeGuard>
#include <QtEndian>

#include <csignal>
#include <thread>

using mixer::Received;

namespace {

QByteArray blockOf(qint16 value, qsizetype bytes = 320) {
    QByteArray block(bytes, '\x7f');
    for (qsizetype i = 0; i + 1 < bytes; i += 2)
        qToLittleEndian<qint16>(value, block.data() + i);
    return block;
}

int sampleAt(const QByteArray &block, int index) {
    return qFromLittleEndian<qint16>(block.constData() + 2 * index);
}

QString base64(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

QJsonObject audio(const QString &id, const QString &from, double seq, const QByteArray &pcm) {
    return {{"id", id}, {"from", from}, {"seq", seq}, {"pcm", base64(pcm)}};
}

} // namespace

class VoiceTest : public QObject {
    Q_OBJECT
    LocalService service;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY(service.start({"--session", "u1:tok1"}));
    }

    // One tick: one block per sender, summed sample by sample, clamped once; "sender:bytes:value
    // ... index=expected": negative saturation, clamped once after the whole sum, a short block
    // leaves the rest to the others, a trailing odd byte is ignored, only the first 160 samples
    // of 2048 bytes are played, a sender's second block waits.
    void mix() {
        for (const QString line :
             {"a:320:-30000 b:320:-10000 5=-32768",
              "a:320:30000 b:320:10000 c:320:-20000 100=20000", "a:100:700 b:320:5 49=705",
              "a:100:700 b:320:5 50=5", "a:3:9 1=0", "a:2048:11 159=11",
              "a:320:1 a:320:2 b:320:10 0=11"}) {
            QStringList blocks = line.split(' ');
            const QStringList at = blocks.takeLast().split('=');
            mixer::Queues queues;
            for (const QString &b : blocks) {
                const QStringList p = b.split(':');
                queues[p[0]].enqueue(blockOf(qint16(p[2].toInt()), p[1].toInt()));
            }
            const QByteArray out = mixer::mixTick(queues);
            QCOMPARE(out.size(), 320);
            QCOMPARE(sampleAt(out, at[0].toInt()), at[1].toInt());
        }
    }

    // Each tick first tops the sender's queue up to a depth, as a sender running ahead of play-out
    // would; pairs of depth and ticks, then the blocks dropped. A block is dropped only after a
    // whole second above two: a dip to two starts the second again; a full queue drops one a
    // second.
    void playoutDropsOnlyASteadyBacklog() {
        for (const QString line : {"2 500 0", "3 100 2", "3 49 2 1 3 49 0", "7 150 3"}) {
            QStringList segments = line.split(' ');
            const int dropped = segments.takeLast().toInt();
            mixer::Queues queues;
            mixer::Backlog backlog;
            QQueue<QByteArray> &queue = queues["u2"];
            int next = 1, played = 0;
            for (qsizetype s = 0; s + 1 < segments.size(); s += 2) {
                for (int tick = 0; tick < segments[s + 1].toInt(); ++tick) {
                    while (queue.size() < segments[s].toInt())
                        queue.enqueue(blockOf(qint16(next++)));
                    played += sampleAt(mixer::mixTick(queues, &backlog), 0) != 0;
                }
            }
            QCOMPARE(next - 1 - played - int(queue.size()), dropped);
        }
    }

    void seqReadsLikeTheWire() {
        constexpr auto max = std::numeric_limits<unsigned long long>::max();
        for (const auto &[text, expected] : {std::pair{"{}", 0ULL},
                                             {R"({"seq":5.9})", 5ULL},
                                             {R"({"seq":9007199254740993})", 9007199254740993ULL},
                                             {R"({"seq":-1})", max},
                                             {R"({"seq":9223372036854775808})", 1ULL << 63},
                                             {R"({"seq":1e30})", max}})
            QCOMPARE(mixer::seqFromJson(::json(text)["seq"]), expected);
    }

    // "sender:seq:bytes" in order | the outcomes | the queue lengths by sender after: duplicate
    // and late, a first block with 0, an oversized block still advances seq, 2048 bytes and empty
    // blocks accepted, a huge seq shuts out everything after, senders are independent, the seven
    // newest kept.
    void receive() {
        for (const QString line :
             {"u2:5:320 u2:5:320 u2:4:320 u2:6:320|queued stale stale queued|u2=2",
              "u2:0:320 u2:0:320 u2:1:320|queued stale queued|u2=2",
              "u2:7:2049 u2:7:320 u2:8:320|too long stale queued|u2=1",
              "u2:1:2048 u2:2:0|queued queued|u2=2",
              "u2:18446744073709551615:320 u2:9:320|queued stale|u2=1",
              "a:9:320 b:1:320|queued queued|a=1 b=1",
              "u2:1:320 u2:2:320 u2:3:320 u2:4:320 u2:5:320 u2:6:320 u2:7:320 u2:8:320|queued "
              "queued queued queued queued queued queued queued|u2=7"}) {
            const QStringList parts = line.split('|');
            mixer::Queues queues;
            mixer::LastSeq lastSeq;
            QStringList seen, lengths;
            for (const QString &b : parts[0].split(' ')) {
                const QStringList p = b.split(':');
                seen << QStringList{"queued", "stale", "too long", "too many senders"}.value(
                    int(mixer::receive(queues, lastSeq, p[0], p[1].toULongLong(),
                                       base64(blockOf(p[1].toShort(), p[2].toInt())))));
            }
            for (auto it = queues.cbegin(); it != queues.cend(); ++it)
                lengths << it.key() + '=' + QString::number(it.value().size());
            lengths.sort();
            QCOMPARE(seen.join(' '), parts[1]);
            QCOMPARE(lengths.join(' '), parts[2]);
            if (parts[2] == "u2=7")
                QCOMPARE(sampleAt(queues["u2"].head(), 0), 2);
        }
    }

    // At most 32 senders; a sender counts once its "seq" is accepted, even if its block was too
    // long.
    void bounds() {
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        const QString block = base64(blockOf(1));
        for (int i = 0; i < 31; ++i)
            QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("s%1").arg(i), 1, block),
                     Received::Queued);
        QCOMPARE(mixer::receive(queues, lastSeq, "big", 1, base64(blockOf(1, 4000))),
                 Received::TooLong);
        for (unsigned long long seq = 1; seq <= 3; ++seq)
            QCOMPARE(mixer::receive(queues, lastSeq, "s32", seq, block), Received::TooManySenders);
        QVERIFY(!lastSeq.contains("s32") && !queues.contains("s32"));
        QCOMPARE(mixer::receive(queues, lastSeq, "s1", 2, block), Received::Queued);
    }

    // Start, restart and stop of the devices, with the callback that is current.
    void deviceLifeCycle() {
        CallClient client;
        WinVoice &voice = client.calls->voice;
        client.audio->failOpen = true;
        QList<int> seen, second;
        QVERIFY(!voice.start([&](QByteArray b) { seen << sampleAt(b, 0); }));
        QVERIFY(!voice.running && !client.audio->open && !voice.canPlay());
        voice.callback(blockOf(9));
        QCOMPARE(seen, QList<int>{9});
        client.audio->failOpen = false;
        QVERIFY(voice.start([&](QByteArray b) { seen << sampleAt(b, 0); }));
        captureBlock(*client.audio, blockOf(1));
        QVERIFY(voice.start([&](QByteArray b) { second << sampleAt(b, 0); }));
        QCOMPARE(client.audio->closes, 1);
        const AudioDevice::CaptureCallback fromDevice = client.audio->capture;
        fromDevice(blockOf(2).constData(), 320);
        voice.stop();
        // Blocks a device returns while it is being closed come after `running` is cleared.
        fromDevice(blockOf(3).constData(), 320);
        voice.stop();
        QCOMPARE(client.audio->closes, 2);
        QCOMPARE(seen, (QList<int>{9, 1}));
        QCOMPARE(second, QList<int>{2});
    }

    // Every tick writes one mixed block, silence when nobody speaks; a full device drops that
    // tick's mix, and the queue still moves on.
    void playbackTick() {
        CallClient client;
        NativeCalls &c = *client.offline("call-1").calls;
        c.mediaActive = c.voice.start(c.captureHandler());
        c.playbackTick();
        QCOMPARE(client.audio->written.value(0), QByteArray(320, '\0'));
        // Audio is queued only for the call held, its id a string; "from" and "seq" may be missing.
        for (const auto &[held, id] :
             {std::pair{"call-1", QJsonValue("c2")}, std::pair{"1", QJsonValue(1)},
              std::pair{"", QJsonValue()}}) {
            c.callId = held;
            c.receiveAudio(QJsonObject{{"id", id}, {"from", "u2"}, {"seq", 1}, {"pcm", "AQA="}});
        }
        c.callId = QStringLiteral("call-1");
        c.receiveAudio(QJsonObject{{"id", "call-1"}, {"pcm", "AQA="}});
        QCOMPARE(c.audioQueues.keys(), QStringList{QString()});
        c.receiveAudio(audio("call-1", "u2", 1, blockOf(30000)));
        c.receiveAudio(audio("call-1", "u3", 1, blockOf(10000)));
        c.playbackTick();
        QCOMPARE(client.audio->written.value(1), blockOf(32767));
        for (int n = 1; n <= 10; ++n)
            c.receiveAudio(audio("call-1", "u2", 1 + n, blockOf(qint16(n))));
        client.audio->maxQueued = client.audio->queued;
        c.playbackTick();
        QCOMPARE(client.audio->written.size(), 2);
        client.audio->queued = 0;
        c.playbackTick();
        QCOMPARE(sampleAt(client.audio->written.last(), 0), 5);
        QCOMPARE(c.audioQueues["u2"].size(), 5);
    }

    // A device that takes playback itself hears of each queued block and is never handed silence
    // to play: what came while it opened is dropped, and an empty queue gives it nothing.
    void deviceTakesPlayback() {
        CallClient client;
        client.audio->takesPlayback = true;
        NativeCalls &c = *client.offline("call-1").calls;
        c.receiveAudio(audio("call-1", "u2", 1, blockOf(7)));
        QVERIFY(c.startVoice() && !c.playbackTimer.isActive());
        char block[AudioDevice::blockBytes];
        QVERIFY(!client.audio->source(block));
        c.receiveAudio(audio("call-1", "u2", 2, blockOf(9)));
        c.receiveAudio(audio("call-1", "u2", 2, blockOf(9)));
        QCOMPARE(client.audio->arrivals, 1);
        QVERIFY(client.audio->source(block));
        QCOMPARE(sampleAt(QByteArray(block, sizeof block), 0), 9);
        QVERIFY(!client.audio->source(block));
    }

    // Captured on a foreign thread, blocks leave in order, numbered without gaps across a mute
    // and across calls; blocks of an ended call are dropped, and so is voice on a stalled link.
    void captureToTheWire() {
        CallClient client;
        QVERIFY(client.signIn("u1", "tok1"));
        NativeCalls &c = *client.calls;
        auto startCall = [&](const QString &id) {
            c.callId = id;
            c.mediaActive = c.voice.start(c.captureHandler());
        };
        auto endCall = [&] {
            c.voice.stop();
            c.mediaActive = false;
            c.callId.clear();
        };
        startCall("call-1");
        const unsigned long long before = c.audioSeq;
        std::thread driver([&client] {
            for (int n = 0; n < 200; ++n)
                captureBlock(*client.audio, blockOf(qint16(n)));
        });
        driver.join();
        QVERIFY(waitUntil([&] { return client.sentEvents("native_audio").size() == 200; }));

        c.toggleMute();
        captureBlock(*client.audio, blockOf(-1));
        c.toggleMute();
        captureBlock(*client.audio, blockOf(-2));
        QVERIFY(waitUntil([&] { return client.sentEvents("native_audio").size() == 201; }));
        captureBlock(*client.audio, blockOf(-3)); // captured just before the call ends
        endCall();
        QCoreApplication::processEvents();
        startCall("call-1");
        captureBlock(*client.audio, blockOf(-4)); // captured in that call, arriving in the next
        endCall();
        startCall("call-2");
        captureBlock(*client.audio, blockOf(-5));
        QVERIFY(waitUntil([&] { return client.sentEvents("native_audio").size() >= 202; }));
        QCoreApplication::processEvents();
        const QList<QJsonObject> sent = client.sentEvents("native_audio");
        QCOMPARE(sent.size(), 202);
        for (int n = 0; n < 202; ++n) {
            QCOMPARE(sent[n]["id"].toString(), QString(n < 201 ? "call-1" : "call-2"));
            QCOMPARE(sent[n]["seq"].toInteger(), qint64(before + n + 1));
            QCOMPARE(QByteArray::fromBase64(sent[n]["pcm"].toString().toLatin1()),
                     blockOf(qint16(n < 200    ? n
                                    : n == 200 ? -2
                                               : -5)));
            QVERIFY(sent[n]["sentAt"].toInteger() > 1600000000000);
        }

        // A service that stops reading: once a second of media waits in the socket, voice blocks
        // are dropped (their numbers still used) while the channel's own replies still go; when
        // the link drains, voice flows again.
        c.frameSent = [&](const QString &f) {
            if (!f.contains("native_screen"))
                client.sent << f;
        };
        ::kill(pid_t(service.pid()), SIGSTOP);
        auto resume = qScopeGuard([this] { ::kill(pid_t(service.pid()), SIGCONT); });
        // Control traffic the size of screens, until the operating system's buffers are full.
        const QJsonObject bulk{{"id", "other"}, {"jpeg", QString(300000, 'A')}};
        for (int n = 0; n < 200 && !c.mediaBacklogged(); ++n) {
            c.emitEvent(QStringLiteral("native_screen"), bulk);
            QTest::qWait(5);
        }
        QVERIFY(c.mediaBacklogged());
        captureBlock(*client.audio, blockOf(-6));
        QTest::qWait(100);
        QCOMPARE(client.sentEvents("native_audio").size(), 202);
        const qint64 queued = c.unsentBytes;
        c.handle(QStringLiteral("2")); // a ping: its pong still goes
        QVERIFY(c.unsentBytes > queued);
        resume.dismiss();
        ::kill(pid_t(service.pid()), SIGCONT);
        QVERIFY(waitUntil([&] { return !c.mediaBacklogged(); }, 30000));
        captureBlock(*client.audio, blockOf(-7));
        QVERIFY(waitUntil([&] { return client.sentEvents("native_audio").size() == 203; }, 5000));
        QCOMPARE(client.sentEvents("native_audio").last()["seq"].toInteger(), qint64(before + 204));
        endCall();
    }
};

QTEST_MAIN(VoiceTest)
#include "tst_voice.moc"
