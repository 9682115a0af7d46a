// The realtime channel's life cycle: against the real socket.io server of the local service over
// TLS (ready, pings, credentials, relays, losing and regaining the server, sign-out), and against
// peers that misbehave in ways the real server does not on demand.

#include "tests/support/localservice.h"
#include "tests/support/testkit.h"
#include "web/servicetesthook.h"

#include <QRegularExpression>
#include <QWebSocketServer>

namespace {

// Speaks just enough Engine.IO and socket.io to make the client ready, then sends `then`.
class ScriptedPeer : public QObject {
public:
    explicit ScriptedPeer(QStringList then = {},
                          QString open = R"(0{"pingInterval":25000,"pingTimeout":20000})")
        : then(std::move(then))
        , openPacket(std::move(open)) {}
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
                            if (!frame.startsWith(QLatin1String("40")))
                                return;
                            socket->sendTextMessage(
                                QStringLiteral(R"(40{"sid":"peer-%1"})").arg(number));
                            for (const QString &f : this->then)
                                socket->sendTextMessage(f);
                        });
                socket->sendTextMessage(openPacket);
            }
        });
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        servicetesthook::pointAt(QStringLiteral("localhost"), server.serverPort());
        return true;
    }
    QStringList then, received;
    QString openPacket;
    int connections = 0;
    QList<int> closeCodes;
    QWebSocketServer server{QStringLiteral("peer"), QWebSocketServer::SecureMode};
};

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT
    LocalService svc;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY(svc.start({"--session", "u1:tok-u1", "--session", "u1:tok-u1-second", "--session",
                           "u2:tok-u2", "--ping-interval", "300", "--ping-timeout", "1000"}));
    }
    void init() { servicetesthook::pointAt(QStringLiteral("localhost"), svc.port()); }

    void lifeCycle() {
        CallClient c;
        QList<bool> readyAfter; // whether ready once each received frame had been handled
        QObject::connect(
            &c.calls->socket, &QWebSocket::textMessageReceived, &c.main, [&](const QString &f) {
                readyAfter << c.calls->connected;
                if (f.startsWith('0'))
                    c.calls->command(QStringLiteral("invite")); // before ready: not sent
            });
        QVERIFY(c.signIn("u1", "tok-u1"));
        const qsizetype replyAt = c.received.indexOf(QRegularExpression("40.*"));
        QVERIFY(replyAt > 0 && !readyAfter.mid(0, replyAt).contains(true) &&
                readyAfter.at(replyAt));
        QCOMPARE(c.sent.mid(0, 2), (QStringList{R"(40{"token":"tok-u1"})", callFrame("sync")}));
        QVERIFY(!c.sent.join('\n').contains("invite"));
        // The socket.io id of the reply, not the Engine.IO one of the open packet.
        const QString firstSid = c.calls->sid;
        QCOMPARE(firstSid, frames::classify(c.received.at(replyAt)).sid);
        QVERIFY(json(c.received.first().mid(1).toUtf8())["sid"].toString() != firstSid);
        QCOMPARE(c.calls->livenessMs, 1300);
        QVERIFY(waitUntil([&] { return c.receivedEvents("native_calls").size() == 1; }));
        QCOMPARE(c.receivedEvents("native_calls").first(), json(R"({"items":[]})"));

        // Pings are answered, never sent; well past the 1.3 s limit the channel stays.
        QVERIFY(waitUntil([&] { return c.received.count("2") >= 8; }));
        QVERIFY(waitUntil([&] { return c.sent.count("3") == c.received.count("2"); }, 2000));
        QVERIFY(!c.sent.contains("2") && c.disconnects == 0);

        // Same credentials while ready: left alone. Another token: a fresh connection.
        c.calls->setCredentials("u1", "tok-u1");
        QVERIFY(c.signIn("u1", "tok-u1-second"));
        QCOMPARE(c.disconnects, 1);
        QCOMPARE(c.sent.filter(QRegularExpression("^40")),
                 (QStringList{R"(40{"token":"tok-u1"})", R"(40{"token":"tok-u1-second"})"}));
        QVERIFY(c.calls->sid != firstSid);
        // Refused: a dead token, the same again while not ready (a new attempt all the same), a
        // user id that is not the token's user.
        int refusals = 0;
        for (const auto &[user, token] :
             {std::pair{"u1", "dead"}, std::pair{"u1", "dead"}, std::pair{"u2", "tok-u1"}}) {
            c.calls->setCredentials(user, token);
            QVERIFY(waitUntil(
                [&] { return c.received.count(R"(44{"message":"unauthorized"})") > refusals; },
                5000));
            QVERIFY(!c.calls->connected);
            ++refusals;
        }
        // Signed out: nothing more is sent and no retry runs.
        c.calls->setCredentials({}, {});
        c.calls->command(QStringLiteral("leave"));
        QVERIFY(c.signIn("u2", "tok-u2"));
        QVERIFY(!c.sent.contains(callFrame("leave")));
    }

    // Each refused attempt arms the next one 1.5 s later; once the server is back a new
    // connection syncs again. Sign-out stops the loop; destruction while connected is clean.
    void serverLostAndBack() {
        auto c = std::make_unique<CallClient>();
        QVERIFY(c->signIn("u1", "tok-u1"));
        const QString firstSid = c->calls->sid;
        svc.stop();
        QVERIFY(waitUntil([&] { return c->disconnects >= 3; }) && !c->calls->connected);
        QVERIFY(svc.restart());
        QVERIFY(waitUntil([&] { return c->calls->connected; }) && c->calls->sid != firstSid);
        QCOMPARE(c->sent.count(callFrame("sync")), 2);
        c->calls->callRecord = {{"id", "c"}};
        c.reset();

        CallClient out;
        QVERIFY(out.signIn("u1", "tok-u1"));
        out.calls->endSession();
        QVERIFY(waitUntil([&] { return out.disconnects == 1; }));
        QVERIFY(!out.calls->reconnectTimer.isActive() && !out.calls->connected);
    }

    // A handshake answered with an HTTP error on a connection kept open hangs until the connect
    // limit aborts it and a retry starts another; the request carries the user id escaped and no
    // token. An address that cannot even be opened still retries.
    void handshakeLeftHanging() {
        StubServer busy;
        QVERIFY(busy.listen());
        busy.respond = [](const StubRequest &) { return StubReply{503, "busy"}; };
        servicetesthook::pointAt(QStringLiteral("localhost"), busy.port());
        CallClient c;
        c.calls->connectTimer.setInterval(1000);
        c.calls->setCredentials("u+1%", "secret-token");
        QVERIFY(waitUntil([&] { return busy.requests.size() >= 3; }, 15000));
        QVERIFY(c.disconnects >= 2 && !c.calls->connected && c.sent.isEmpty());
        const StubRequest r = busy.requests.first();
        QCOMPARE(r.method + ' ' + r.path,
                 QByteArray("GET /socket.io/?EIO=4&transport=websocket&userId=u%2B1%25"));
        QVERIFY(!r.headers.contains("origin"));
        QVERIFY(!r.headers.values().join('\n').contains("secret-token"));

        servicetesthook::pointAt(QStringLiteral("bad host"), 1);
        CallClient unopened;
        unopened.calls->connectTimer.setInterval(500);
        unopened.calls->setCredentials("u1", "tok");
        QVERIFY(waitUntil([&] { return unopened.calls->reconnectTimer.isActive(); }, 5000));
        ScriptedPeer peer;
        QVERIFY(peer.start());
        QVERIFY(waitUntil([&] { return unopened.calls->connected; }));
    }

    // Dropped by the client, then the ordinary retry; the client itself never pings. Silence
    // beyond the limit the open packet set (at least the floor) is dropped too.
    void closedByTheClient() {
        const QString open = R"(0{"pingInterval":25000,"pingTimeout":20000})";
        const int normal = int(QWebSocketProtocol::CloseCodeNormal);
        // A namespace disconnect; a silent peer; a frame just within the limit, then one beyond.
        for (const auto &[then, closeCode, bigEvents, openPacket] :
             {std::tuple{QStringList{"41"}, normal, 0, open},
              std::tuple{QStringList(), normal, 0,
                         QString(R"(0{"pingInterval":50,"pingTimeout":50})")},
              std::tuple{
                  QStringList{
                      QStringLiteral(R"(42["big",{"fill":"%1"}])").arg(QString(1024 * 1024, 'a')),
                      QString(5 * 1024 * 1024, 'b')},
                  int(QWebSocketProtocol::CloseCodeTooMuchData), 1, open}}) {
            ScriptedPeer peer(then, openPacket);
            QVERIFY(peer.start());
            CallClient c;
            c.calls->setCredentials("u1", "tok");
            QVERIFY(waitUntil([&] { return c.disconnects >= 1; }, 10000));
            QCOMPARE(c.receivedEvents("big").size(), bigEvents);
            QVERIFY(waitUntil([&, code = closeCode] { return peer.closeCodes.value(0) == code; },
                              5000));
            QVERIFY(waitUntil([&] { return peer.connections >= 2; }, 5000));
            QVERIFY(!peer.received.contains(QStringLiteral("2")));
        }
    }
};

QTEST_MAIN(ChannelTest)
#include "tst_channel.moc"
