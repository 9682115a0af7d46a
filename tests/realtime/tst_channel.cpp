// The realtime channel against the real socket.io server of the local service, over TLS.

#include "app/service.h"
#include "tests/realtime/testclient.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {

const QString tokenU1 = QStringLiteral("tok-u1");
const QString tokenU1b = QStringLiteral("tok-u1-second");
const QString tokenU2 = QStringLiteral("tok-u2");

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalService> service;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
    }

    void init() {
        service = std::make_unique<LocalService>();
        QVERIFY(service->start({"--session", "u1:" + tokenU1, "--session", "u1:" + tokenU1b,
                                "--session", "u2:" + tokenU2, "--ping-interval", "300",
                                "--ping-timeout", "1000"}));
    }

    void cleanup() { service.reset(); }

    void readyOnlyAfterTheConnectReply() {
        TestClient client;
        // Whether the channel was ready once each received frame had been handled.
        QList<bool> readyAfter;
        client.onReceived = [&](const QString &) { readyAfter << client.calls->connected; };
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        const qsizetype replyAt =
            client.received.indexOf(QRegularExpression(QStringLiteral("^40.*")));
        QVERIFY(replyAt > 0);
        QVERIFY2(!readyAfter.mid(0, replyAt).contains(true), "ready before the connect reply");
        QVERIFY(readyAfter.at(replyAt));

        QVERIFY(!client.received.isEmpty());
        const QString open = client.received.first();
        QVERIFY2(open.startsWith(QLatin1Char('0')), qPrintable(open));
        QCOMPARE(client.sent.value(0), QStringLiteral("40{\"token\":\"tok-u1\"}"));
        QCOMPARE(client.sent.value(1), syncFrame());

        QString reply;
        for (const QString &frame : client.received)
            if (frame.startsWith(QLatin1String("40")))
                reply = frame;
        const QString replySid = frames::classify(reply).sid;
        QVERIFY2(!replySid.isEmpty(), qPrintable(reply));
        QCOMPARE(client.calls->sid, replySid);
        // The Engine.IO session id is another id altogether.
        const QString engineSid = QJsonDocument::fromJson(open.mid(1).toUtf8())
                                      .object()
                                      .value(QStringLiteral("sid"))
                                      .toString();
        QVERIFY(engineSid != replySid);
        QCOMPARE(client.calls->livenessMs, 1300);

        // The server answers the sync with the user's (here: no) calls.
        QTRY_COMPARE_WITH_TIMEOUT(client.events(QStringLiteral("native_calls")).size(), 1, 5000);
        QCOMPARE(client.events(QStringLiteral("native_calls")).first(),
                 QJsonObject({{QStringLiteral("items"), QJsonArray()}}));
    }

    void syncThenResumeWhenACallIsHeld() {
        TestClient client;
        client.calls->callId = QStringLiteral("held-call");
        client.calls->callRecord = {{QStringLiteral("id"), QStringLiteral("held-call")}};
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        const QStringList events = client.sentStartingWith(QStringLiteral("42"));
        QVERIFY(events.size() >= 2);
        QCOMPARE(events.at(0), syncFrame());
        QCOMPARE(events.at(1),
                 eventText(QStringLiteral("native_call"),
                           action(QStringLiteral("resume"), QStringLiteral("held-call"))));
    }

    void answersPingsAndNeverPingsItself() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        // Well past the server's 1.3 s limit for an unanswered ping.
        QTRY_VERIFY_WITH_TIMEOUT(client.count(client.received, QStringLiteral("2")) >= 8, 15000);
        QCOMPARE(client.disconnects, 0);
        QVERIFY(client.calls->connected);
        QCOMPARE(client.count(client.sent, QStringLiteral("2")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(client.count(client.sent, QStringLiteral("3")),
                                  client.count(client.received, QStringLiteral("2")), 2000);
    }

    void emittingBeforeReadySendsNothing() {
        TestClient client;
        client.onReceived = [&](const QString &frame) {
            if (frame.startsWith(QLatin1Char('0')))
                client.calls->emitEvent(QStringLiteral("native_call"),
                                        action(QStringLiteral("invite")));
        };
        client.calls->emitEvent(QStringLiteral("native_call"), action(QStringLiteral("sync")));
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        QCOMPARE(client.sentStartingWith(QStringLiteral("42")).value(0), syncFrame());
        QVERIFY(!client.sent.join(QLatin1Char('\n')).contains(QLatin1String("invite")));
        // Nor after the channel is gone.
        client.calls->setCredentials({}, {});
        QVERIFY(!client.calls->connected);
        const int before = int(client.sent.size());
        client.calls->command(QStringLiteral("leave"));
        QCOMPARE(client.sent.size(), before);
    }

    void largeEventsAndMediaRelay() {
        TestClient u1;
        TestClient u2;
        testutil::autoCloseModalBoxes(&u1.window);
        u1.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        u2.calls->setCredentials(QStringLiteral("u2"), tokenU2);
        QVERIFY(waitReady(u1));
        QVERIFY(waitReady(u2));
        const QString callId = establishCall(u1, u2);
        QVERIFY(!callId.isEmpty());
        QCOMPARE(member(u1.events(QStringLiteral("native_call")).last(), QStringLiteral("u1"))
                     .value(QStringLiteral("deviceId"))
                     .toString(),
                 u1.calls->sid);

        // The largest screen image the program sends, as Base64.
        QByteArray image(131328, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 7919) >> 3);
        const QString jpeg = QString::fromLatin1(image.toBase64());
        QVERIFY(jpeg.size() > 175000);
        u1.calls->emitEvent(QStringLiteral("native_screen"),
                            {{QStringLiteral("id"), callId}, {QStringLiteral("jpeg"), jpeg}});
        QTRY_COMPARE_WITH_TIMEOUT(u2.events(QStringLiteral("native_screen")).size(), 1, 10000);
        const QJsonObject screen = u2.events(QStringLiteral("native_screen")).first();
        QCOMPARE(screen.value(QStringLiteral("id")).toString(), callId);
        QVERIFY(screen.value(QStringLiteral("jpeg")).toString() == jpeg);
        QVERIFY(u1.calls->connected);
        QVERIFY(u2.calls->connected);

        // A voice block from u2 reaches u1's queues, tagged with its sender.
        u1.calls->callId = callId;
        const QByteArray block(320, '\x11');
        u2.calls->emitEvent(QStringLiteral("native_audio"),
                            {{QStringLiteral("id"), callId},
                             {QStringLiteral("pcm"), QString::fromLatin1(block.toBase64())},
                             {QStringLiteral("seq"), 1},
                             {QStringLiteral("sentAt"), 1733500000000.0}});
        QTRY_COMPARE_WITH_TIMEOUT(u1.calls->lastAudioSeq.value(QStringLiteral("u2")), 1ull, 5000);
    }

    void credentialHandOver() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        const QString firstSid = client.calls->sid;

        // Same user and token while ready: the socket is left alone.
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QTest::qWait(300);
        QCOMPARE(client.disconnects, 0);
        QCOMPARE(client.sentStartingWith(QStringLiteral("40")).size(), 1);
        QCOMPARE(client.calls->sid, firstSid);

        // Another token: a fresh connection that presents it.
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1b);
        QCOMPARE(client.disconnects, 1);
        QVERIFY(waitReady(client));
        QCOMPARE(client.sentStartingWith(QStringLiteral("40")).value(1),
                 QStringLiteral("40{\"token\":\"tok-u1-second\"}"));
        QVERIFY(client.calls->sid != firstSid);

        // A token the server refuses: the channel never becomes ready.
        const QString refused = QStringLiteral("44{\"message\":\"unauthorized\"}");
        auto refusals = [&] { return client.count(client.received, refused); };
        auto trace = [&] {
            return qPrintable(client.received.join(QLatin1Char(' ')) + QStringLiteral(" | ") +
                              client.sent.join(QLatin1Char(' ')));
        };
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("not-a-session"));
        QVERIFY2(QTest::qWaitFor([&] { return refusals() == 1; }, 5000), trace());
        QVERIFY(!client.calls->connected);

        // The same credentials again while not ready: a new attempt all the same.
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("not-a-session"));
        QVERIFY2(QTest::qWaitFor([&] { return refusals() == 2; }, 5000), trace());

        // A user id that is not the token's user is refused as well.
        client.calls->setCredentials(QStringLiteral("u2"), tokenU1);
        QVERIFY2(QTest::qWaitFor([&] { return refusals() == 3; }, 5000), trace());
        QVERIFY(!client.calls->connected);

        client.calls->setCredentials(QStringLiteral("u2"), tokenU2);
        QVERIFY(waitReady(client));
    }
};

QTEST_MAIN(ChannelTest)
#include "tst_channel.moc"
