// The channel's own limits, against peers that misbehave in ways the real server does not on
// demand: a handshake answered with an HTTP error on a connection kept open, a server that goes
// silent, a namespace disconnect, an oversized frame, an address that cannot even be opened.

#include "tests/realtime/testclient.h"
#include "tests/support/testutil.h"
#include "web/service.h"
#include "web/servicetesthook.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTest>
#include <QWebSocketServer>

namespace {

// Completes TLS, reads the WebSocket upgrade request and answers 503, then keeps the connection
// open and says nothing more.
class BusyHttpServer : public QObject {
public:
    bool start() {
        server.setSslConfiguration(testutil::serverTls());
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                auto buffer = std::make_shared<QByteArray>();
                connect(socket, &QIODevice::readyRead, this, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    if (!buffer->contains("\r\n\r\n"))
                        return;
                    requests << *buffer;
                    buffer->clear();
                    socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                  "Content-Length: 4\r\n\r\nbusy");
                });
            }
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
    int port() const { return server.serverPort(); }

    int connections = 0;
    QList<QByteArray> requests;
    // Last, so its sockets are gone before what their handlers record into.
    QSslServer server;
};

// A WebSocket peer that speaks just enough Engine.IO and socket.io to make the client ready, then
// sends the frames the test asks for.
class ScriptedPeer : public QObject {
public:
    explicit ScriptedPeer(QStringList then = {},
                          QString openPacket = R"(0{"pingInterval":25000,"pingTimeout":20000})")
        : then(std::move(then))
        , openPacket(std::move(openPacket)) {}

    bool start() {
        server.setSslConfiguration(testutil::serverTls());
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = server.nextPendingConnection()) {
                const int number = ++connections;
                closeCodes << -1;
                connect(socket, &QWebSocket::disconnected, this,
                        [this, socket, number] { closeCodes[number - 1] = socket->closeCode(); });
                connect(socket, &QWebSocket::textMessageReceived, this,
                        [this, socket, number](const QString &frame) {
                            received << frame;
                            if (frame.startsWith(QLatin1String("40")))
                                ready(socket, number);
                        });
                socket->sendTextMessage(openPacket);
            }
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
    int port() const { return server.serverPort(); }

    void ready(QWebSocket *socket, int number) {
        socket->sendTextMessage(QStringLiteral(R"(40{"sid":"peer-%1"})").arg(number));
        for (const QString &frame : then)
            socket->sendTextMessage(frame);
    }

    QStringList then;
    QString openPacket;
    int connections = 0;
    QList<int> closeCodes;
    QStringList received;
    // Last, so its sockets are gone before what their handlers record into.
    QWebSocketServer server{QStringLiteral("peer"), QWebSocketServer::SecureMode};
};

// Points the client library at the peer and signs a new client in.
template <typename Peer> void signInAt(Peer &peer, TestClient &client) {
    servicetesthook::pointAt(QStringLiteral("localhost"), peer.port());
    client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok"));
}

} // namespace

class GuardsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
    }

    void handshakeLeftHangingIsAbandoned() {
        BusyHttpServer busy;
        QVERIFY(busy.start());
        servicetesthook::pointAt(QStringLiteral("localhost"), busy.port());
        TestClient client;
        QCOMPARE(client.calls->connectTimer.interval(), 10000);
        client.calls->connectTimer.setInterval(1000);
        client.calls->setCredentials(QStringLiteral("u+1%"), QStringLiteral("secret-token"));
        // Each attempt hangs until the connect limit aborts it and the retry starts another.
        QTRY_VERIFY_WITH_TIMEOUT(busy.connections >= 3, 15000);
        QVERIFY(client.disconnects >= 2);
        QVERIFY(!client.calls->connected);
        QVERIFY(client.sent.isEmpty());

        const QByteArray request = busy.requests.value(0);
        QCOMPARE(request.split('\n').first().trimmed(),
                 QByteArray("GET /socket.io/?EIO=4&transport=websocket&userId=u%2B1%25 HTTP/1.1"));
        QVERIFY2(request.contains("\r\nSec-WebSocket-Version: 13\r\n"), request.constData());
        QVERIFY2(!request.toLower().contains("\r\norigin:"), request.constData());
        QVERIFY2(!request.contains("secret-token"), request.constData());
    }

    void silentPeerIsDropped() {
        ScriptedPeer peer({}, R"(0{"sid":"e","pingInterval":50,"pingTimeout":50})");
        QVERIFY(peer.start());
        TestClient client;
        signInAt(peer, client);
        QVERIFY(waitReady(client));
        QCOMPARE(client.calls->sid, QStringLiteral("peer-1"));
        QCOMPARE(client.calls->livenessMs, frames::minLivenessMs);
        // Silence beyond the limit the open packet set: dropped, then a new connection.
        QTRY_COMPARE_WITH_TIMEOUT(client.disconnects, 1, 5000);
        QVERIFY(waitReady(client));
        QCOMPARE(client.calls->sid, QStringLiteral("peer-2"));
        QVERIFY(!peer.received.contains(QStringLiteral("2")));
    }

    // A proper close from our side, not a dropped line; then the ordinary retry.
    void closedByTheClient_data() {
        QTest::addColumn<QStringList>("then");
        QTest::addColumn<int>("closeCode");
        QTest::addColumn<int>("bigEvents");
        QTest::newRow("namespace disconnect")
            << QStringList{"41"} << int(QWebSocketProtocol::CloseCodeNormal) << 0;
        // Just within the limit first, then beyond it.
        QTest::newRow("oversized frame")
            << QStringList{QStringLiteral(R"(42["big",{"fill":"%1"}])")
                               .arg(QString(1024 * 1024, QLatin1Char('a'))),
                           QString(5 * 1024 * 1024, QLatin1Char('b'))}
            << int(QWebSocketProtocol::CloseCodeTooMuchData) << 1;
    }
    void closedByTheClient() {
        QFETCH(QStringList, then);
        QFETCH(int, closeCode);
        QFETCH(int, bigEvents);
        ScriptedPeer peer(then);
        QVERIFY(peer.start());
        TestClient client;
        signInAt(peer, client);
        QTRY_VERIFY_WITH_TIMEOUT(client.disconnects >= 1, 10000);
        QCOMPARE(client.events(QStringLiteral("big")).size(), bigEvents);
        QTRY_COMPARE_WITH_TIMEOUT(peer.closeCodes.value(0), closeCode, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(peer.connections >= 2, 5000);
    }

    void addressThatCannotBeOpenedStillRetries() {
        servicetesthook::pointAt(QStringLiteral("bad host"), 1);
        QVERIFY(!QUrl(service::socketUrl()).isValid());
        TestClient client;
        client.calls->connectTimer.setInterval(500);
        client.calls->setCredentials(QStringLiteral("u1"), QStringLiteral("tok"));
        // The failed open reports nothing; the connect limit stands in for the missing report.
        QTRY_VERIFY_WITH_TIMEOUT(client.calls->reconnectTimer.isActive(), 5000);

        ScriptedPeer peer;
        QVERIFY(peer.start());
        servicetesthook::pointAt(QStringLiteral("localhost"), peer.port());
        QVERIFY(waitReady(client, 10000));
    }
};

QTEST_MAIN(GuardsTest)
#include "tst_guards.moc"
