#include "calls/nativecalls.h"
#include "tests/support/fakeaudiodevice.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "web/service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QWidget>
#include <QtEndian>

#include <csignal>
#include <memory>
#include <thread>

namespace {

QByteArray blockOf(qint16 value) {
    QByteArray block(320, Qt::Uninitialized);
    for (int i = 0; i < 160; ++i)
        qToLittleEndian<qint16>(value, block.data() + 2 * i);
    return block;
}

qint16 firstSample(const QByteArray &block) {
    return qFromLittleEndian<qint16>(block.constData());
}

QJsonObject audioPayload(const QString &id, const QString &from, double seq,
                         const QByteArray &pcm) {
    return {{QStringLiteral("id"), id},
            {QStringLiteral("from"), from},
            {QStringLiteral("seq"), seq},
            {QStringLiteral("pcm"), QString::fromLatin1(pcm.toBase64())}};
}

// One client with a scripted audio device. It records every "native_audio" it sends.
struct Client {
    QWidget window;
    NativeCalls *calls = new NativeCalls(nullptr, &window);
    std::shared_ptr<FakeAudioState> audio = std::make_shared<FakeAudioState>();
    FakeAudioDevice *device = nullptr;
    QList<QJsonObject> sent;
    QStringList frames;

    Client() {
        auto fake = std::make_unique<FakeAudioDevice>(audio);
        device = fake.get();
        calls->voice.setDevice(std::move(fake));
        calls->frameSent = [this](const QString &frame) {
            if (!frame.startsWith(QLatin1String("42[\"native_audio\"")))
                return;
            frames << frame;
            const QJsonArray event = QJsonDocument::fromJson(frame.mid(2).toUtf8()).array();
            sent << event.at(1).toObject();
        };
    }

    // What Part of the call machinery does once a call is active on this device.
    void startCall(const QString &id) {
        calls->callId = id;
        calls->mediaActive = calls->voice.start(calls->captureHandler());
    }
    // The share of the teardown the voice path depends on.
    void endCall() {
        calls->voice.stop();
        calls->mediaActive = false;
        calls->callId.clear();
        calls->audioQueues.clear();
        calls->lastAudioSeq.clear();
    }
};

} // namespace

class VoiceTest : public QObject {
    Q_OBJECT
private:
    LocalService service;

    // A client signed in as u1 with its realtime channel ready, so sent events can be observed.
    bool connect(Client &client) {
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok1"));
        return QTest::qWaitFor([&] { return client.calls->connected; }, 10000);
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY(service.start({QStringLiteral("--session"), QStringLiteral("u1:tok1")}));
    }

    void failedStartLeavesItClosedWithTheNewCallback() {
        Client client;
        client.audio->failOpen = true;
        int calls = 0;
        QVERIFY(!client.calls->voice.start([&calls](QByteArray) { ++calls; }));
        QVERIFY(!client.calls->voice.running);
        QVERIFY(!client.device->isOpen());
        QCOMPARE(client.audio->opens, 1);
        QVERIFY(client.calls->voice.callback);
        client.calls->voice.callback(QByteArray());
        QCOMPARE(calls, 1);
        QVERIFY(!client.calls->voice.canPlay());
    }

    void restartPassesThroughClosed() {
        Client client;
        QList<int> firstSeen, secondSeen;
        QVERIFY(
            client.calls->voice.start([&](QByteArray block) { firstSeen << firstSample(block); }));
        client.device->capture(blockOf(1));
        QVERIFY(
            client.calls->voice.start([&](QByteArray block) { secondSeen << firstSample(block); }));
        QCOMPARE(client.audio->closes, 1);
        QCOMPARE(client.audio->opens, 2);
        QVERIFY(client.calls->voice.running);
        client.device->capture(blockOf(2));
        QCOMPARE(firstSeen, QList<int>{1});
        QCOMPARE(secondSeen, QList<int>{2});
    }

    void deliversOnlyWhileRunning() {
        Client client;
        int delivered = 0;
        QVERIFY(client.calls->voice.start([&](QByteArray) { ++delivered; }));
        const AudioDevice::CaptureCallback fromDevice = client.audio->capture;
        const QByteArray block = blockOf(5);
        fromDevice(block.constData(), 320);
        QCOMPARE(delivered, 1);
        // Blocks a device returns while it is being closed come after `running` is cleared.
        client.calls->voice.stop();
        fromDevice(block.constData(), 320);
        QCOMPARE(delivered, 1);
        client.calls->voice.stop();
        QCOMPARE(client.audio->closes, 1);
        QVERIFY(!client.calls->voice.canPlay());
    }

    void tickWritesSilenceWhenNobodySpeaks() {
        Client client;
        client.startCall(QStringLiteral("call-1"));
        client.calls->playbackTick();
        client.calls->playbackTick();
        QCOMPARE(client.audio->written.size(), 2);
        QCOMPARE(client.audio->written.last(), QByteArray(320, '\0'));
    }

    void tickMixesEverySender() {
        Client client;
        client.startCall(QStringLiteral("call-1"));
        client.calls->receiveAudio(
            audioPayload(QStringLiteral("call-1"), QStringLiteral("u2"), 1, blockOf(30000)));
        client.calls->receiveAudio(
            audioPayload(QStringLiteral("call-1"), QStringLiteral("u3"), 1, blockOf(10000)));
        client.calls->playbackTick();
        QCOMPARE(client.audio->written.size(), 1);
        QCOMPARE(client.audio->written.first(), blockOf(32767));
    }

    void tickAfterTenBlocksPlaysTheOldestOfTheSevenNewest() {
        Client client;
        client.startCall(QStringLiteral("call-1"));
        for (int n = 1; n <= 10; ++n)
            client.calls->receiveAudio(audioPayload(QStringLiteral("call-1"), QStringLiteral("u2"),
                                                    n, blockOf(qint16(n))));
        client.calls->playbackTick();
        QCOMPARE(firstSample(client.audio->written.first()), 4);
        QCOMPARE(client.calls->audioQueues.value(QStringLiteral("u2")).size(), 6);
    }

    void noRoomInTheDeviceDropsTheTicksMix() {
        Client client;
        client.startCall(QStringLiteral("call-1"));
        client.audio->maxQueued = 1;
        client.calls->playbackTick();
        for (int n = 1; n <= 2; ++n)
            client.calls->receiveAudio(audioPayload(QStringLiteral("call-1"), QStringLiteral("u2"),
                                                    n, blockOf(qint16(n))));
        client.calls->playbackTick();
        QCOMPARE(client.audio->written.size(), 1);
        // The block taken for the lost tick is gone; the next one follows once there is room.
        client.audio->queued = 0;
        client.calls->playbackTick();
        QCOMPARE(client.audio->written.size(), 2);
        QCOMPARE(firstSample(client.audio->written.last()), 2);
    }

    void receivedAudioMustBeForTheCurrentCall_data() {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<bool>("queued");
        const QString pcm = QString::fromLatin1(blockOf(1).toBase64());
        auto withPcm = [&pcm](QJsonObject payload) {
            payload.insert(QStringLiteral("pcm"), pcm);
            return payload;
        };
        const QString u2 = QStringLiteral("u2");
        QTest::newRow("current call")
            << QStringLiteral("c1") << withPcm({{"id", "c1"}, {"from", u2}, {"seq", 1}}) << true;
        QTest::newRow("other call")
            << QStringLiteral("c1") << withPcm({{"id", "c2"}, {"from", u2}, {"seq", 1}}) << false;
        QTest::newRow("id as a number")
            << QStringLiteral("1") << withPcm({{"id", 1}, {"from", u2}, {"seq", 1}}) << false;
        QTest::newRow("no call, no id")
            << QString() << withPcm({{"from", u2}, {"seq", 1}}) << false;
        QTest::newRow("missing from and seq still count")
            << QStringLiteral("c1") << withPcm({{"id", "c1"}}) << true;
    }
    void receivedAudioMustBeForTheCurrentCall() {
        QFETCH(QString, callId);
        QFETCH(QJsonObject, payload);
        QFETCH(bool, queued);
        Client client;
        client.calls->callId = callId;
        client.calls->receiveAudio(payload);
        QCOMPARE(!client.calls->audioQueues.isEmpty(), queued);
    }

    void capturedBlocksLeaveInOrderFromAForeignThread() {
        Client client;
        QVERIFY2(connect(client), "realtime channel not ready");
        client.startCall(QStringLiteral("call-1"));
        const unsigned long long before = client.calls->audioSeq;
        constexpr int count = 200;
        std::thread driver([&client] {
            for (int n = 0; n < count; ++n)
                client.device->capture(blockOf(qint16(n)));
        });
        driver.join();
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), count, 10000);
        for (int n = 0; n < count; ++n) {
            const QJsonObject &event = client.sent.at(n);
            QCOMPARE(event.value(QStringLiteral("id")).toString(), QStringLiteral("call-1"));
            QCOMPARE(event.value(QStringLiteral("seq")).toInteger(), qint64(before + n + 1));
            const QByteArray pcm =
                QByteArray::fromBase64(event.value(QStringLiteral("pcm")).toString().toLatin1());
            QCOMPARE(pcm, blockOf(qint16(n)));
            QVERIFY(event.value(QStringLiteral("sentAt")).toInteger() > 1600000000000);
        }
        // The wire carries the whole-number fields as JSON integers.
        for (const char *key : {"seq", "sentAt"}) {
            const QRegularExpression integer(QStringLiteral("\"%1\":[1-9][0-9]*[,}]").arg(key));
            QVERIFY2(integer.match(client.frames.first()).hasMatch(),
                     qPrintable(client.frames.first()));
        }
    }

    void mutedMicrophoneSendsNothingAndNumberingResumesWithoutAGap() {
        Client client;
        QVERIFY2(connect(client), "realtime channel not ready");
        client.startCall(QStringLiteral("call-1"));
        client.device->capture(blockOf(1));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 1, 5000);
        client.calls->toggleMute();
        QVERIFY(client.calls->muted);
        QCOMPARE(client.calls->micButton.text(), QStringLiteral("Микрофон выключен"));
        for (int n = 0; n < 5; ++n)
            client.device->capture(blockOf(2));
        client.calls->toggleMute();
        QVERIFY(!client.calls->muted);
        QCOMPARE(client.calls->micButton.text(), QStringLiteral("Микрофон включён"));
        client.device->capture(blockOf(3));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 2, 5000);
        QCOMPARE(pcmOf(client.sent.at(1)), blockOf(3));
        QCOMPARE(seqOf(client.sent.at(1)), seqOf(client.sent.at(0)) + 1);
    }

    void blocksOfAnEndedCallAreDroppedAndNumberingContinues() {
        Client client;
        QVERIFY2(connect(client), "realtime channel not ready");
        client.startCall(QStringLiteral("call-1"));
        client.device->capture(blockOf(1));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 1, 5000);
        const qint64 lastOfFirstCall = seqOf(client.sent.at(0));

        // Captured just before the call ends: still on its way to the GUI thread.
        client.device->capture(blockOf(2));
        client.endCall();
        QCoreApplication::processEvents();
        // Captured in the first call, but only arriving once the next one runs.
        client.startCall(QStringLiteral("call-1"));
        client.device->capture(blockOf(3));
        client.endCall();
        client.startCall(QStringLiteral("call-2"));

        client.device->capture(blockOf(4));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 2, 5000);
        QCOMPARE(pcmOf(client.sent.at(1)), blockOf(4));
        QCOMPARE(client.sent.at(1).value(QStringLiteral("id")).toString(),
                 QStringLiteral("call-2"));
        QCOMPARE(seqOf(client.sent.at(1)), lastOfFirstCall + 1);
    }

    // A service that stops reading: once a second of media waits in the socket, voice blocks are
    // dropped (their numbers still used) while the channel's own replies still go; when the link
    // drains, voice flows again.
    void stalledLinkDropsVoiceButNotControl() {
        Client client;
        QVERIFY2(connect(client), "realtime channel not ready");
        client.startCall(QStringLiteral("call-1"));
        client.device->capture(blockOf(1));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 1, 5000);
        ::kill(pid_t(service.pid()), SIGSTOP);
        auto resume = qScopeGuard([this] { ::kill(pid_t(service.pid()), SIGCONT); });
        // Control traffic the size of screens, until the operating system's buffers are full.
        const QJsonObject bulk{{"id", "other"}, {"jpeg", QString(300000, QLatin1Char('A'))}};
        for (int n = 0; n < 200 && !client.calls->mediaBacklogged(); ++n) {
            client.calls->emitEvent(QStringLiteral("native_screen"), bulk);
            QTest::qWait(5);
        }
        QVERIFY(client.calls->mediaBacklogged());
        client.device->capture(blockOf(2));
        QTest::qWait(100);
        QCOMPARE(client.sent.size(), 1);
        const qint64 queued = client.calls->unsentBytes;
        client.calls->handle(QStringLiteral("2"));
        QVERIFY(client.calls->unsentBytes > queued);

        resume.dismiss();
        ::kill(pid_t(service.pid()), SIGCONT);
        QTRY_VERIFY_WITH_TIMEOUT(!client.calls->mediaBacklogged(), 30000);
        client.device->capture(blockOf(3));
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.size(), 2, 5000);
        QCOMPARE(seqOf(client.sent.at(1)), seqOf(client.sent.at(0)) + 2);
    }

private:
    static QByteArray pcmOf(const QJsonObject &event) {
        return QByteArray::fromBase64(event.value(QStringLiteral("pcm")).toString().toLatin1());
    }
    static qint64 seqOf(const QJsonObject &event) {
        return event.value(QStringLiteral("seq")).toInteger();
    }
};

QTEST_MAIN(VoiceTest)
#include "tst_voice.moc"
