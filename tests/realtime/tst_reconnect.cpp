// Losing the realtime channel and getting it back, against the real socket.io server of the
// local service.

#include "app/service.h"
#include "app/servicetesthook.h"
#include "tests/realtime/testclient.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"

#include <QTest>

#include <memory>

namespace {

const QString tokenU1 = QStringLiteral("tok-u1");
const QString tokenU2 = QStringLiteral("tok-u2");

} // namespace

class ReconnectTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalService> service;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
    }

    void init() {
        service = std::make_unique<LocalService>();
        QVERIFY(service->start({"--session", "u1:" + tokenU1, "--session", "u2:" + tokenU2,
                                "--ping-interval", "300", "--ping-timeout", "1000"}));
    }

    void cleanup() { service.reset(); }

    void signOutStopsTheLoop() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        // The sign-out sequence of the web side.
        client.calls->command(QStringLiteral("leave"));
        client.calls->finish();
        client.calls->sessionUserId.clear();
        client.calls->sessionToken.clear();
        client.calls->reconnectTimer.stop();
        client.calls->socket.close(QWebSocketProtocol::CloseCodeNormal);
        QCOMPARE(client.sent.last(),
                 eventText(QStringLiteral("native_call"), action(QStringLiteral("leave"))));
        QTRY_COMPARE_WITH_TIMEOUT(client.disconnects, 1, 5000);
        QVERIFY(!client.calls->connected);
        QTest::qWait(2500);
        QVERIFY(!client.calls->reconnectTimer.isActive());
        QCOMPARE(client.sentStartingWith(QStringLiteral("40")).size(), 1);
        QCOMPARE(client.calls->socket.state(), QAbstractSocket::UnconnectedState);
    }

    void serverRestartIsFollowedByANewConnection() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        const QString firstSid = client.calls->sid;
        QVERIFY(service->restart());
        QTRY_VERIFY_WITH_TIMEOUT(client.disconnects >= 1, 5000);
        QVERIFY(waitReady(client, 15000));
        QVERIFY(client.calls->sid != firstSid);
        QCOMPARE(client.sentStartingWith(QStringLiteral("42")).count(syncFrame()), 2);
    }

    void closedPortKeepsRetrying() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(client));
        service->stop();
        // Each refused attempt reports a disconnect, which arms the next one 1.5 s later.
        QTRY_VERIFY_WITH_TIMEOUT(client.disconnects >= 3, 15000);
        QVERIFY(!client.calls->connected);
        QVERIFY(client.calls->reconnectTimer.isActive() ||
                client.calls->socket.state() != QAbstractSocket::UnconnectedState);
        QVERIFY(service->restart());
        QVERIFY(waitReady(client, 15000));
    }

    void nothingListeningAtAllKeepsRetrying() {
        servicetesthook::pointAt(QStringLiteral("localhost"), freePort());
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QTRY_VERIFY_WITH_TIMEOUT(client.disconnects >= 3, 15000);
        QCOMPARE(client.sent.size(), 0);
        servicetesthook::pointAt(QStringLiteral("localhost"), service->port());
        QVERIFY(waitReady(client, 15000));
    }

    // A dropped connection during a conversation silences it at once but keeps the call; the
    // call is resumed on the next connection.
    void dropDuringACallThenResume() {
        TestClient u1;
        TestClient u2;
        testutil::autoCloseModalBoxes(&u1.window);
        testutil::autoCloseModalBoxes(&u2.window);
        u1.calls->setCredentials(QStringLiteral("u1"), tokenU1);
        u2.calls->setCredentials(QStringLiteral("u2"), tokenU2);
        QVERIFY(waitReady(u1));
        QVERIFY(waitReady(u2));
        const QString callId = establishCall(u1, u2);
        QVERIFY(!callId.isEmpty());
        // Whatever the call logic made of the records, hold the call as a conversation.
        u1.calls->callId = callId;
        u1.calls->callRecord = u1.events(QStringLiteral("native_call")).last();
        u1.calls->mediaActive = true;
        u1.calls->playbackTimer.start(20);
        u1.calls->pingTimer.start(2000);
        u1.calls->durationTimer.start(1000);
        const QString oldSid = u1.calls->sid;
        const int sentBefore = int(u1.sent.size());

        u1.calls->socket.abort();
        QCOMPARE(u1.disconnects, 1);
        QVERIFY(!u1.calls->connected);
        QVERIFY(!u1.calls->mediaActive);
        QVERIFY(!u1.calls->playbackTimer.isActive());
        QVERIFY(!u1.calls->pingTimer.isActive());
        QVERIFY(u1.calls->durationTimer.isActive());
        QCOMPARE(u1.calls->callId, callId);
        QVERIFY(!u1.calls->callRecord.isEmpty());
        QVERIFY(u1.calls->reconnectTimer.isActive());

        QVERIFY(waitReady(u1));
        const QStringList after = u1.sent.mid(sentBefore);
        QCOMPARE(after.value(0).left(2), QStringLiteral("40"));
        QCOMPARE(after.value(1), syncFrame());
        QCOMPARE(after.value(2), eventText(QStringLiteral("native_call"),
                                           action(QStringLiteral("resume"), callId)));
        // The server moves u1's membership to the new connection.
        QTRY_VERIFY_WITH_TIMEOUT(
            member(u1.events(QStringLiteral("native_call")).last(), QStringLiteral("u1"))
                    .value(QStringLiteral("deviceId"))
                    .toString() == u1.calls->sid,
            5000);
        QVERIFY(u1.calls->sid != oldSid);
    }

    // Destroying the controller with a live connection (the application quitting).
    void destroyedWhileConnected() {
        auto client = std::make_unique<TestClient>();
        client->calls->setCredentials(QStringLiteral("u1"), tokenU1);
        QVERIFY(waitReady(*client));
        client->calls->callRecord = {{QStringLiteral("id"), QStringLiteral("c")}};
        client.reset();
        QTest::qWait(100);
    }
};

QTEST_MAIN(ReconnectTest)
#include "tst_reconnect.moc"
