// Losing the realtime channel and getting it back, against the real socket.io server of the
// local service. A drop during a call, resumed, is covered end to end by the calls tests.

#include "tests/realtime/testclient.h"
#include "tests/support/localservice.h"
#include "tests/support/testutil.h"
#include "web/service.h"

#include <QTest>

#include <memory>

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
        QVERIFY(service->start(
            {"--session", "u1:tok-u1", "--ping-interval", "300", "--ping-timeout", "1000"}));
    }

    void cleanup() { service.reset(); }

    void signOutStopsTheLoop() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok-u1"));
        QVERIFY(waitReady(client));
        // The sign-out sequence of the web side.
        client.calls->command(QStringLiteral("leave"));
        client.calls->finish();
        client.calls->sessionUserId.clear();
        client.calls->sessionToken.clear();
        client.calls->reconnectTimer.stop();
        client.calls->socket.close(QWebSocketProtocol::CloseCodeNormal);
        QCOMPARE(client.sent.last(), callFrame(QStringLiteral("leave")));
        QTRY_COMPARE_WITH_TIMEOUT(client.disconnects, 1, 5000);
        QTest::qWait(2500);
        QVERIFY(!client.calls->connected);
        QVERIFY(!client.calls->reconnectTimer.isActive());
        QCOMPARE(client.sentStartingWith(QStringLiteral("40")).size(), 1);
        QCOMPARE(client.calls->socket.state(), QAbstractSocket::UnconnectedState);
    }

    // Each refused attempt reports a disconnect, which arms the next one 1.5 s later; once the
    // server is back, a new connection syncs again.
    void closedPortKeepsRetryingUntilTheServerIsBack() {
        TestClient client;
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok-u1"));
        QVERIFY(waitReady(client));
        const QString firstSid = client.calls->sid;
        service->stop();
        QTRY_VERIFY_WITH_TIMEOUT(client.disconnects >= 3, 15000);
        QVERIFY(!client.calls->connected);
        QVERIFY(service->restart());
        QVERIFY(waitReady(client, 15000));
        QVERIFY(client.calls->sid != firstSid);
        QCOMPARE(client.sent.count(syncFrame()), 2);
    }

    // Destroying the controller with a live connection (the application quitting).
    void destroyedWhileConnected() {
        auto client = std::make_unique<TestClient>();
        client->calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok-u1"));
        QVERIFY(waitReady(*client));
        client->calls->callRecord = {{QStringLiteral("id"), QStringLiteral("c")}};
        client.reset();
        QTest::qWait(100);
    }
};

QTEST_MAIN(ReconnectTest)
#include "tst_reconnect.moc"
