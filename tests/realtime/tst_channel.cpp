// The realtime channel against the real socket.io server of the local service, over TLS.

#include "tests/realtime/testclient.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "web/service.h"

#include <QTest>

#include <memory>

namespace {

const QString tokenU1 = QStringLiteral("tok-u1");
const QString tokenU2 = QStringLiteral("tok-u2");

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalService> service;

    // A client signed in as user with token, ready on the service.
    static bool ready(TestClient &client, const QString &user, const QString &token) {
        client.calls->setCredentials(user, token);
        return waitReady(client);
    }

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
    }

    void init() {
        service = std::make_unique<LocalService>();
        QVERIFY(service->start({"--session", "u1:" + tokenU1, "--session", "u1:tok-u1-second",
                                "--session", "u2:" + tokenU2, "--ping-interval", "300",
                                "--ping-timeout", "1000"}));
    }

    void cleanup() { service.reset(); }

    void readyOnlyAfterTheConnectReply() {
        TestClient client;
        // Whether the channel was ready once each received frame had been handled.
        QList<bool> readyAfter;
        client.onReceived = [&](const QString &) { readyAfter << client.calls->connected; };
        QVERIFY(ready(client, QStringLiteral("u1"), tokenU1));
        const qsizetype replyAt = client.received.indexOf(QRegularExpression("40.*"));
        QVERIFY(replyAt > 0);
        QVERIFY2(!readyAfter.mid(0, replyAt).contains(true), "ready before the connect reply");
        QVERIFY(readyAfter.at(replyAt));
        QCOMPARE(client.sent.mid(0, 2), (QStringList{R"(40{"token":"tok-u1"})", syncFrame()}));

        // The socket.io id of the reply, not the Engine.IO one of the open packet.
        const QString replySid = frames::classify(client.received.at(replyAt)).sid;
        QVERIFY(!replySid.isEmpty());
        QCOMPARE(client.calls->sid, replySid);
        const QString open = client.received.first();
        QVERIFY2(open.startsWith(QLatin1Char('0')), qPrintable(open));
        QVERIFY(QJsonDocument::fromJson(open.mid(1).toUtf8())["sid"].toString() != replySid);
        QCOMPARE(client.calls->livenessMs, 1300);

        // The server answers the sync with the user's (here: no) calls.
        QTRY_COMPARE_WITH_TIMEOUT(client.events(QStringLiteral("native_calls")).size(), 1, 5000);
        QCOMPARE(client.events(QStringLiteral("native_calls")).first(),
                 QJsonObject({{"items", QJsonArray()}}));
    }

    void answersPingsAndNeverPingsItself() {
        TestClient client;
        QVERIFY(ready(client, QStringLiteral("u1"), tokenU1));
        // Well past the server's 1.3 s limit for an unanswered ping.
        QTRY_VERIFY_WITH_TIMEOUT(client.received.count(QStringLiteral("2")) >= 8, 15000);
        QCOMPARE(client.disconnects, 0);
        QVERIFY(client.calls->connected);
        QCOMPARE(client.sent.count(QStringLiteral("2")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(client.sent.count(QStringLiteral("3")),
                                  client.received.count(QStringLiteral("2")), 2000);
    }

    void emittingBeforeReadySendsNothing() {
        TestClient client;
        client.onReceived = [&](const QString &frame) {
            if (frame.startsWith(QLatin1Char('0')))
                client.calls->command(QStringLiteral("invite"));
        };
        client.calls->command(QStringLiteral("sync"));
        QVERIFY(ready(client, QStringLiteral("u1"), tokenU1));
        QCOMPARE(client.sentStartingWith(QStringLiteral("42")).value(0), syncFrame());
        QVERIFY(!client.sent.join(QLatin1Char('\n')).contains(QLatin1String("invite")));
        // Nor after the channel is gone.
        client.calls->setCredentials({}, {});
        QVERIFY(!client.calls->connected);
        const qsizetype before = client.sent.size();
        client.calls->command(QStringLiteral("leave"));
        QCOMPARE(client.sent.size(), before);
    }

    void largeEventsAndMediaRelay() {
        TestClient u1;
        TestClient u2;
        testutil::autoCloseModalBoxes(&u1.window);
        QVERIFY(ready(u1, QStringLiteral("u1"), tokenU1));
        QVERIFY(ready(u2, QStringLiteral("u2"), tokenU2));
        u1.calls->emitEvent(QStringLiteral("native_call"),
                            {{"action", "invite"}, {"chatId", "u1-u2"}});
        QTRY_VERIFY_WITH_TIMEOUT(!u2.events(QStringLiteral("native_call")).isEmpty(), 5000);
        const QString callId = u2.events(QStringLiteral("native_call")).first()["id"].toString();
        u2.calls->emitEvent(QStringLiteral("native_call"), {{"action", "accept"}, {"id", callId}});
        QTRY_VERIFY_WITH_TIMEOUT(u1.events(QStringLiteral("native_call")).last()["state"] ==
                                     QStringLiteral("ACTIVE"),
                                 5000);

        // The largest screen image the program sends, as Base64.
        QByteArray image(131328, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 7919) >> 3);
        const QString jpeg = QString::fromLatin1(image.toBase64());
        QVERIFY(jpeg.size() > 175000);
        u1.calls->emitEvent(QStringLiteral("native_screen"), {{"id", callId}, {"jpeg", jpeg}});
        QTRY_COMPARE_WITH_TIMEOUT(u2.events(QStringLiteral("native_screen")).size(), 1, 10000);
        const QJsonObject screen = u2.events(QStringLiteral("native_screen")).first();
        QCOMPARE(screen["id"].toString(), callId);
        QVERIFY(screen["jpeg"].toString() == jpeg);
        QVERIFY(u1.calls->connected && u2.calls->connected);

        // A voice block from u2 reaches u1's queues, tagged with its sender.
        u1.calls->callId = callId;
        u2.calls->emitEvent(QStringLiteral("native_audio"),
                            {{"id", callId},
                             {"pcm", QString::fromLatin1(QByteArray(320, '\x11').toBase64())},
                             {"seq", 1},
                             {"sentAt", 1733500000000.0}});
        QTRY_COMPARE_WITH_TIMEOUT(u1.calls->lastAudioSeq.value(QStringLiteral("u2")), 1ull, 5000);
    }

    void credentialHandOver() {
        TestClient client;
        QVERIFY(ready(client, QStringLiteral("u1"), tokenU1));
        const QString firstSid = client.calls->sid;

        // Same user and token while ready: the socket is left alone.
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QTest::qWait(300);
        QCOMPARE(client.disconnects, 0);
        QCOMPARE(client.calls->sid, firstSid);

        // Another token: a fresh connection that presents it.
        QVERIFY(ready(client, QStringLiteral("u1"), QStringLiteral("tok-u1-second")));
        QCOMPARE(client.disconnects, 1);
        QCOMPARE(client.sentStartingWith(QStringLiteral("40")),
                 (QStringList{R"(40{"token":"tok-u1"})", R"(40{"token":"tok-u1-second"})"}));
        QVERIFY(client.calls->sid != firstSid);

        // Refused: a dead token, the same again while not ready (a new attempt all the same), a
        // user id that is not the token's user.
        const QList<QPair<QString, QString>> refused{
            {"u1", "not-a-session"}, {"u1", "not-a-session"}, {"u2", tokenU1}};
        for (qsizetype i = 0; i < refused.size(); ++i) {
            client.calls->setCredentials(refused[i].first, refused[i].second);
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             return client.received.count(R"(44{"message":"unauthorized"})") ==
                                    i + 1;
                         },
                         5000),
                     qPrintable(client.received.join(' ') + " | " + client.sent.join(' ')));
            QVERIFY(!client.calls->connected);
        }
        QVERIFY(ready(client, QStringLiteral("u2"), tokenU2));
    }
};

QTEST_MAIN(ChannelTest)
#include "tst_channel.moc"
