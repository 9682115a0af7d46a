#include "calls/mixer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QtEndian>

#include <limits>

namespace {

using mixer::Received;

QByteArray samples(const QList<qint16> &values) {
    QByteArray bytes(values.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < values.size(); ++i)
        qToLittleEndian<qint16>(values[i], bytes.data() + 2 * i);
    return bytes;
}

// A block of `bytes` bytes whose every sample is `value` (a trailing odd byte is 0x7f).
QByteArray constantBlock(qsizetype bytes, qint16 value) {
    QByteArray block = samples(QList<qint16>(bytes / 2, value));
    if (bytes % 2)
        block.append('\x7f');
    return block;
}

qint16 sampleAt(const QByteArray &block, int index) {
    return qFromLittleEndian<qint16>(block.constData() + 2 * index);
}

QString base64(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

QString received(Received r) {
    switch (r) {
    case Received::Queued:
        return QStringLiteral("queued");
    case Received::Stale:
        return QStringLiteral("stale");
    case Received::TooLong:
        return QStringLiteral("too long");
    case Received::TooManySenders:
        return QStringLiteral("too many senders");
    }
    return {};
}

// What a tick produces from the given blocks, one per sender.
QByteArray mixOnce(const QList<QByteArray> &blocks) {
    mixer::Queues queues;
    for (qsizetype i = 0; i < blocks.size(); ++i)
        queues[QStringLiteral("s%1").arg(i)].enqueue(blocks[i]);
    return mixer::mixTick(queues);
}

} // namespace

class MixerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void mixesSampleBySample_data() {
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("expected");

        QTest::newRow("nothing queued is silence") << QList<QByteArray>{} << 0 << 0;
        QTest::newRow("nothing queued, last sample") << QList<QByteArray>{} << 159 << 0;
        QTest::newRow("one sender passes through")
            << QList<QByteArray>{constantBlock(320, -1234)} << 77 << -1234;
        QTest::newRow("positive saturation")
            << QList<QByteArray>{constantBlock(320, 30000), constantBlock(320, 10000)} << 5
            << 32767;
        QTest::newRow("negative saturation")
            << QList<QByteArray>{constantBlock(320, -30000), constantBlock(320, -10000)} << 5
            << -32768;
        QTest::newRow("clamped once, after the whole sum")
            << QList<QByteArray>{constantBlock(320, 30000), constantBlock(320, 10000),
                                 constantBlock(320, -20000)}
            << 100 << 20000;
        QTest::newRow("321 bytes give 160 samples")
            << QList<QByteArray>{constantBlock(321, 500)} << 159 << 500;
        QTest::newRow("100 bytes: last own sample")
            << QList<QByteArray>{constantBlock(100, 700), constantBlock(320, 5)} << 49 << 705;
        QTest::newRow("100 bytes: rest left to the others")
            << QList<QByteArray>{constantBlock(100, 700), constantBlock(320, 5)} << 50 << 5;
        QTest::newRow("a trailing odd byte is ignored")
            << QList<QByteArray>{constantBlock(3, 9)} << 1 << 0;
        QTest::newRow("2048 bytes: only the first 160 samples")
            << QList<QByteArray>{constantBlock(320, 11) + constantBlock(2048 - 320, 22000)} << 159
            << 11;
        QTest::newRow("an empty block adds nothing")
            << QList<QByteArray>{QByteArray(), constantBlock(320, 3)} << 0 << 3;
    }
    void mixesSampleBySample() {
        QFETCH(QList<QByteArray>, blocks);
        QFETCH(int, index);
        QFETCH(int, expected);
        const QByteArray out = mixOnce(blocks);
        QCOMPARE(out.size(), 320);
        QCOMPARE(int(sampleAt(out, index)), expected);
    }

    void tickTakesOneBlockPerSender() {
        mixer::Queues queues;
        queues[QStringLiteral("a")] << constantBlock(320, 1) << constantBlock(320, 2);
        queues[QStringLiteral("b")] << constantBlock(320, 10);
        queues[QStringLiteral("c")];
        QCOMPARE(sampleAt(mixer::mixTick(queues), 0), 11);
        QCOMPARE(sampleAt(mixer::mixTick(queues), 0), 2);
        QCOMPARE(sampleAt(mixer::mixTick(queues), 0), 0);
        QCOMPARE(queues.value(QStringLiteral("a")).size(), 0);
    }

    // Each tick first tops the sender's queue up to the given depth, as a sender running ahead of
    // play-out would. `segments` holds pairs of depth and ticks.
    void playoutDropsOnlyASteadyBacklog_data() {
        QTest::addColumn<QList<int>>("segments");
        QTest::addColumn<int>("dropped");
        QTest::newRow("two blocks never drop") << QList<int>{2, 500} << 0;
        QTest::newRow("three blocks, just under a second") << QList<int>{3, 49} << 0;
        QTest::newRow("three blocks for a second") << QList<int>{3, 50} << 1;
        QTest::newRow("three blocks for two seconds") << QList<int>{3, 100} << 2;
        QTest::newRow("a dip to two starts the second again")
            << QList<int>{3, 49, 2, 1, 3, 49} << 0;
        QTest::newRow("a full queue drops one a second") << QList<int>{7, 150} << 3;
    }
    void playoutDropsOnlyASteadyBacklog() {
        QFETCH(QList<int>, segments);
        QFETCH(int, dropped);
        mixer::Queues queues;
        mixer::Backlog backlog;
        QQueue<QByteArray> &queue = queues[QStringLiteral("u2")];
        qint16 next = 1;
        int played = 0;
        for (qsizetype s = 0; s + 1 < segments.size(); s += 2) {
            for (int tick = 0; tick < segments[s + 1]; ++tick) {
                while (queue.size() < segments[s])
                    queue.enqueue(constantBlock(320, next++));
                played += sampleAt(mixer::mixTick(queues, &backlog), 0) != 0;
            }
        }
        QCOMPARE(next - 1 - played - int(queue.size()), dropped);
    }

    void seqReadsLikeTheWire_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<unsigned long long>("expected");
        constexpr auto max = std::numeric_limits<unsigned long long>::max();
        QTest::newRow("missing") << QByteArray("{}") << 0ULL;
        QTest::newRow("zero") << QByteArray(R"({"seq":0})") << 0ULL;
        QTest::newRow("plain") << QByteArray(R"({"seq":42})") << 42ULL;
        QTest::newRow("fraction truncated") << QByteArray(R"({"seq":5.9})") << 5ULL;
        QTest::newRow("exact beyond 2^53")
            << QByteArray(R"({"seq":9007199254740993})") << 9007199254740993ULL;
        QTest::newRow("minus one wraps") << QByteArray(R"({"seq":-1})") << max;
        QTest::newRow("negative fraction truncated toward zero")
            << QByteArray(R"({"seq":-5.7})") << max - 4;
        QTest::newRow("2^63") << QByteArray(R"({"seq":9223372036854775808})") << (1ULL << 63);
        QTest::newRow("beyond 2^64") << QByteArray(R"({"seq":1e30})") << max;
        QTest::newRow("far below -2^63") << QByteArray(R"({"seq":-1e30})") << (1ULL << 63);
        QTest::newRow("string") << QByteArray(R"({"seq":"7"})") << 0ULL;
        QTest::newRow("null") << QByteArray(R"({"seq":null})") << 0ULL;
        QTest::newRow("true") << QByteArray(R"({"seq":true})") << 0ULL;
    }
    void seqReadsLikeTheWire() {
        QFETCH(QByteArray, json);
        QFETCH(unsigned long long, expected);
        const QJsonObject object = QJsonDocument::fromJson(json).object();
        QCOMPARE(mixer::seqFromJson(object.value(QStringLiteral("seq"))), expected);
    }

    void duplicateAndLateBlocks_data() {
        QTest::addColumn<QList<unsigned long long>>("seqs");
        QTest::addColumn<QList<qsizetype>>("sizes");
        QTest::addColumn<QStringList>("outcomes");
        QTest::addColumn<int>("queued");

        const QString queued = received(Received::Queued);
        const QString stale = received(Received::Stale);
        const QString tooLong = received(Received::TooLong);
        QTest::newRow("5 5 4 6") << QList<unsigned long long>{5, 5, 4, 6}
                                 << QList<qsizetype>{320, 320, 320, 320}
                                 << QStringList{queued, stale, stale, queued} << 2;
        QTest::newRow("first block may carry 0")
            << QList<unsigned long long>{0, 0, 1} << QList<qsizetype>{320, 320, 320}
            << QStringList{queued, stale, queued} << 2;
        QTest::newRow("oversized block still advances seq")
            << QList<unsigned long long>{7, 7, 8} << QList<qsizetype>{2049, 320, 320}
            << QStringList{tooLong, stale, queued} << 1;
        QTest::newRow("2048 bytes accepted")
            << QList<unsigned long long>{1} << QList<qsizetype>{2048} << QStringList{queued} << 1;
        QTest::newRow("empty block is queued")
            << QList<unsigned long long>{1} << QList<qsizetype>{0} << QStringList{queued} << 1;
        QTest::newRow("huge seq shuts out everything after it")
            << QList<unsigned long long>{std::numeric_limits<unsigned long long>::max(), 9}
            << QList<qsizetype>{320, 320} << QStringList{queued, stale} << 1;
    }
    void duplicateAndLateBlocks() {
        QFETCH(QList<unsigned long long>, seqs);
        QFETCH(QList<qsizetype>, sizes);
        QFETCH(QStringList, outcomes);
        QFETCH(int, queued);
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        QStringList seen;
        for (qsizetype i = 0; i < seqs.size(); ++i)
            seen << received(mixer::receive(queues, lastSeq, QStringLiteral("u2"), seqs[i],
                                            base64(constantBlock(sizes[i], 1))));
        QCOMPARE(seen, outcomes);
        QCOMPARE(int(queues.value(QStringLiteral("u2")).size()), queued);
    }

    void sendersAreIndependent() {
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        const QString block = base64(constantBlock(320, 1));
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("a"), 9, block), Received::Queued);
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("b"), 1, block), Received::Queued);
        QCOMPARE(lastSeq.value(QStringLiteral("a")), 9ULL);
        QCOMPARE(lastSeq.value(QStringLiteral("b")), 1ULL);
    }

    void queueKeepsTheSevenNewestInOrder() {
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        for (qint16 n = 1; n <= 10; ++n)
            mixer::receive(queues, lastSeq, QStringLiteral("u2"), n, base64(constantBlock(320, n)));
        QList<int> heads;
        for (const QByteArray &block : queues.value(QStringLiteral("u2")))
            heads << sampleAt(block, 0);
        QCOMPARE(heads, (QList<int>{4, 5, 6, 7, 8, 9, 10}));
    }

    void floodFromOneSenderStaysBounded() {
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        const QString block = base64(constantBlock(2048, 1));
        for (unsigned long long n = 1; n <= 5000; ++n)
            mixer::receive(queues, lastSeq, QStringLiteral("u2"), n, block);
        QCOMPARE(queues.value(QStringLiteral("u2")).size(), mixer::maxQueuedBlocks);
    }

    void senderBound() {
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        const QString block = base64(constantBlock(320, 1));
        for (int i = 0; i < 32; ++i)
            QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("s%1").arg(i), 1, block),
                     Received::Queued);
        // A 33rd name is refused, whatever it sends, and leaves no trace.
        for (unsigned long long seq = 1; seq <= 3; ++seq)
            QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("s32"), seq, block),
                     Received::TooManySenders);
        QVERIFY(!lastSeq.contains(QStringLiteral("s32")));
        QVERIFY(!queues.contains(QStringLiteral("s32")));
        // The known senders carry on.
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("s0"), 2, block), Received::Queued);
        // A sender counts once its "seq" is accepted, even if its block was too long.
        lastSeq.remove(QStringLiteral("s31"));
        queues.remove(QStringLiteral("s31"));
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("big"), 1,
                                base64(constantBlock(4000, 1))),
                 Received::TooLong);
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("s31"), 2, block),
                 Received::TooManySenders);
    }

    void base64IsDecodedLeniently_data() {
        QTest::addColumn<QString>("pcm");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("valid") << QStringLiteral("AQACAA==") << samples({1, 2});
        QTest::newRow("whitespace and junk skipped")
            << QStringLiteral(" AQ\n*AC!AA== ") << samples({1, 2});
        QTest::newRow("missing padding") << QStringLiteral("AQACAA") << samples({1, 2});
        QTest::newRow("non-Latin-1 characters skipped")
            << QStringLiteral("AQ\u0416AC\u2603AA") << samples({1, 2});
        QTest::newRow("nothing but garbage") << QStringLiteral("!!!@@@###") << QByteArray();
        QTest::newRow("empty") << QString() << QByteArray();
    }
    void base64IsDecodedLeniently() {
        QFETCH(QString, pcm);
        QFETCH(QByteArray, expected);
        mixer::Queues queues;
        mixer::LastSeq lastSeq;
        QCOMPARE(mixer::receive(queues, lastSeq, QStringLiteral("u2"), 1, pcm), Received::Queued);
        QCOMPARE(queues.value(QStringLiteral("u2")).head(), expected);
    }
};

QTEST_APPLESS_MAIN(MixerTest)
#include "tst_mixer.moc"
