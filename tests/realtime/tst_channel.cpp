// The realtime channel. Received frames without a network: how each is read, what it does to the
// controller and what that writes back (frames go straight into NativeCalls::handle), the numbers
// on the wire. Its life cycle against the real socket.io server of the local service over TLS
// (ready, pings, credentials), and against peers that misbehave in ways the real server does not
// on demand.

#include "tests/support/localservice.h"
#include "tests/support/testkit.h"
#include "web/servicetesthook.h"

#include <QRegularExpression>
#include <QWebSocketServer>

#include <limits>
#include <tuple>

namespace {

constexpr qint64 max64 = std::numeric_limits<qint64>::max();
constexpr qint64 min64 = std::numeric_limits<qint64>::min();

QString audioFrame(const QJsonValue &id, const QString &name = QStringLiteral("native_audio")) {
    return frames::eventFrame(name, {{"id", id}, {"from", "u2"}, {"seq", 1}, {"pcm", "BQUFBQ=="}});
}

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
        QVERIFY(svc.start({"--session", "u1:tok-u1", "--session", "u1:tok-u1-second",
                           "--ping-interval", "300", "--ping-timeout", "1000"}));
    }
    void init() { servicetesthook::pointAt(QStringLiteral("localhost"), svc.port()); }

    void lifeCycle() {
        CallClient c;
        QVERIFY(c.signIn("u1", "tok-u1"));
        QCOMPARE(c.sent.mid(0, 2), (QStringList{R"(40{"token":"tok-u1"})", callFrame("sync")}));
        const QString firstSid = c.calls->sid;
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
    }

    // A handshake answered with an HTTP error on a connection kept open hangs until the connect
    // limit aborts it and a retry starts another; the request carries the user id escaped and no
    // token. An address that cannot even be opened still retries.
    void handshakeLeftHanging() {
        StubServer busy;
        QVERIFY(busy.listen());
        busy.respond = [](const StubRequest &) { return StubReply{503, "busy", {}, 0, {}}; };
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

    // The call held ("" for none), the frame, what is written back, and "ready|not ready
    // sid=<sid>" after; the channel is ready before where the tag says so.
    void replies_data() {
        for (const char *column : {"held", "frame", "written", "after"})
            QTest::addColumn<QString>(column);
        const QString sync = callFrame("sync"), none;
        row("ping while not ready", none, "2", QString("3"), "not ready sid=old");
        row("open packet while ready", none, "0", QString(R"(40{"token":"tok"})"), "ready sid=old");
        row("open packet", none, "0", QString(R"(40{"token":"tok"})"), "not ready sid=old");
        row("connect reply while ready", none, R"(40{"sid":"s2"})", sync, "ready sid=s2");
        row("connect reply without body", none, "40", sync, "ready sid=");
        row("connect reply with a call held", R"({"id":"c1"})", R"(40{"sid":"s3"})",
            sync + ' ' + callFrame("resume", "c1"), "ready sid=s3");
        row("call id of another type goes back unchanged", R"({"id":7})", R"(40{"sid":"s4"})",
            sync + ' ' + callFrame("resume", 7), "ready sid=s4");
        row("namespace disconnect while ready", none, "41", none, "ready sid=old");
        row("connect error", none, R"(44{"message":"unauthorized"})", none, "not ready sid=old");
        row("unknown event while ready", none, R"(42["chat_message",{"id":"m"}])", none,
            "ready sid=old");
        row("garbage while ready", none, "\x7f{[", none, "ready sid=old");
    }
    void replies() {
        QFETCH(QString, held);
        QFETCH(QString, frame);
        QFETCH(QString, written);
        QFETCH(QString, after);
        CallClient client;
        NativeCalls &calls = *client.calls;
        client.offline(held.isEmpty() ? QString() : QStringLiteral("c1"));
        calls.sessionToken = QStringLiteral("tok");
        calls.sid = QStringLiteral("old");
        calls.connected = QByteArray(QTest::currentDataTag()).contains("while ready");
        calls.callRecord = json(held.toUtf8());
        calls.reconnectTimer.start(1500);
        const quint64 readyCount = calls.readyCount;
        calls.handle(frame);
        QCOMPARE(client.sent.join(' '), written);
        QCOMPARE((calls.connected ? "ready sid=" : "not ready sid=") + calls.sid, after);
        const bool becameReady = frame.startsWith(QLatin1String("40"));
        QCOMPARE(calls.reconnectTimer.isActive(), !becameReady);
        QCOMPARE(calls.readyCount, readyCount + (becameReady ? 1 : 0));
        // Commands carry the held id exactly as the server sent it, and only while ready.
        client.sent.clear();
        calls.connected = true;
        calls.command(QStringLiteral("leave"));
        calls.connected = false;
        calls.command(QStringLiteral("leave"));
        QCOMPARE(client.sent.size(), 1);
        QCOMPARE(client.sent.first(),
                 held.isEmpty() ? callFrame("leave") : callFrame("leave", calls.callRecord["id"]));
    }

    // Media and screen events reach only the current call; call events only under their exact
    // names.
    void routing() {
        CallClient client;
        NativeCalls &calls = *client.calls;
        client.offline(QStringLiteral("c1"));
        calls.handle(audioFrame("c2"));
        calls.handle(audioFrame(1));
        calls.handle(audioFrame("c1", "Native_Audio"));
        QVERIFY(calls.audioQueues.isEmpty());
        calls.handle(audioFrame("c1").chopped(1) + R"(,"offset"])");
        QCOMPARE(calls.audioQueues.value("u2").size(), 1);
        calls.screenLabel.setVisible(true);
        calls.handle(R"(42["native_screen",{"id":"c2","jpeg":""}])");
        QVERIFY(!calls.screenLabel.isHidden());
        calls.handle(R"(42["native_screen",{"id":"c1","jpeg":""}])");
        QVERIFY(calls.screenLabel.isHidden());

        const QString record = callText("RINGING", "u2", "INVITED", "", "c9");
        calls.callId.clear();
        calls.handle(QStringLiteral(R"(42["NATIVE_CALL",%1])").arg(record));
        QVERIFY(calls.callRecord.isEmpty());
        calls.handle(QStringLiteral(R"(42["native_call",%1])").arg(record));
        QCOMPARE(calls.callRecord.value("id").toString(), QStringLiteral("c9"));
        calls.handle(R"(42["native_calls",{"items":[]}])");
        QVERIFY(calls.callRecord.isEmpty());
        calls.handle(R"(42["native_call_error",{"message":"Чат не найден"}])");
        QCOMPARE(client.boxes, QStringList{"Звонок|Чат не найден|information"});
    }

    // No attempt while ready or without user or token; a disconnect arms the retry only while
    // signed in.
    void connectAndRetryGuards() {
        for (const auto &[ready, user, token] :
             {std::tuple{true, "u1", "tok"}, std::tuple{false, "", "tok"},
              std::tuple{false, "u1", ""}}) {
            CallClient client;
            client.calls->connected = ready;
            client.calls->sessionUserId = QString::fromLatin1(user);
            client.calls->sessionToken = QString::fromLatin1(token);
            client.calls->connectSocket();
            QVERIFY(!client.calls->connectTimer.isActive());
            QCOMPARE(client.calls->socket.state(), QAbstractSocket::UnconnectedState);
        }
        CallClient client;
        client.calls->connected = true;
        client.calls->onDisconnected();
        QVERIFY(!client.calls->connected && !client.calls->reconnectTimer.isActive());
        client.calls->sessionUserId = QStringLiteral("u1");
        client.calls->onDisconnected();
        QVERIFY(client.calls->reconnectTimer.isActive() &&
                client.calls->reconnectTimer.isSingleShot());
        QCOMPARE(client.calls->reconnectTimer.interval(), 1500);
    }

    // The offline check of each disconnect ends a held call only if the channel has not been
    // ready since that disconnect.
    void offlineCheck() {
        // A call held, ready in between (then lost again), ready at the end: call ended?
        for (const auto &[callHeld, readyInBetween, readyAtTheEnd, finished] :
             {std::tuple{false, false, false, false}, std::tuple{true, false, false, true},
              std::tuple{true, false, true, false}, std::tuple{true, true, false, false}}) {
            CallClient client;
            NativeCalls &calls = *client.calls;
            if (callHeld)
                calls.callRecord = {{"id", "c1"}};
            calls.offlineCallMs = 400;
            calls.onDisconnected();
            if (readyInBetween) {
                calls.handle(QStringLiteral(R"(40{"sid":"s2"})"));
                calls.offlineCallMs = 60000; // the second outage's own check comes much later
                calls.onDisconnected();
            }
            if (readyAtTheEnd)
                calls.handle(QStringLiteral(R"(40{"sid":"s3"})"));
            QTest::qWait(800); // past the first check
            QCOMPARE(calls.callRecord.isEmpty(), !callHeld || finished);
        }
    }

    // "kind|sid|name|payload"
    void classify_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("seen");
        const char *open = "0|||{}", *ignored = "-|||{}";
        row("open", R"(0{"sid":"e1","upgrades":[],"pingInterval":25000,"pingTimeout":20000})",
            open);
        row("open with garbage body", "0}{", open);
        row("ping", "2", "2|||{}");
        for (const char *frame :
             {"2probe", "3", "1", "", "4", " 2", R"(44{"message":"unauthorized"})", R"(431["ok"])",
              R"(451-["x",{"_placeholder":true,"num":0}])", "41/admin,", R"(42["native_call"])",
              "42[]", R"(42{"native_call":{}})", R"(42["native_call",{)",
              R"(421["native_call",{}])", R"(42/admin,["native_call",{}])"})
            row(frame, frame, ignored);
        row("connect reply", R"(40{"sid":"abc","pid":"p1"})", "40|abc||{}");
        row("connect reply without body", "40", "40|||{}");
        row("connect reply, sid not a string", R"(40{"sid":5})", "40|||{}");
        row("connect reply, other namespace", R"(40/admin,{"sid":"x"})", "40|||{}");
        row("namespace disconnect", "41", "41|||{}");
        row("event", R"(42["native_call_error",{"message":"Чат не найден"}])",
            R"(42||native_call_error|{"message":"Чат не найден"})");
        row("extra elements", R"(42["native_call",{"id":"c1"},"offset-7",{"more":1}])",
            R"(42||native_call|{"id":"c1"})");
        row("name in other case", R"(42["Native_Call",{"id":"c1"}])",
            R"(42||Native_Call|{"id":"c1"})");
        row("payload a number", R"(42["native_call",5])", "42||native_call|{}");
        row("name not a string", R"(42[7,{"id":"c1"}])", R"(42|||{"id":"c1"})");
    }
    void classify() {
        QFETCH(QString, frame);
        QFETCH(QString, seen);
        const frames::Received in = frames::classify(frame);
        const char *kinds[] = {"-", "0", "2", "40", "41", "42"}; // in the order of Kind
        QCOMPARE(QStringList({kinds[int(in.kind)], in.sid, in.name,
                              QJsonDocument(in.payload).toJson(QJsonDocument::Compact)})
                     .join('|'),
                 seen);
    }

    // Liveness from the open packet; wire integers (toInt64, or latencyMs when `now` is given);
    // built frames.
    void numbersAndBuiltFrames() {
        for (const auto &[frame, ms] :
             {std::pair{R"(0{"sid":"x","pingInterval":25000,"pingTimeout":20000})", 45000},
              std::pair{R"(0{"pingInterval":50,"pingTimeout":50})", frames::minLivenessMs},
              std::pair{R"(0{"pingInterval":1e300,"pingTimeout":1})", frames::maxLivenessMs},
              std::pair{R"(0{"pingInterval":-5000,"pingTimeout":100})", frames::defaultLivenessMs},
              std::pair{R"(0{"pingInterval":25000})", frames::defaultLivenessMs},
              std::pair{"0{pingInterval:1", frames::defaultLivenessMs}})
            QCOMPARE(frames::livenessMs(QString(frame)), ms);
        const qint64 now = 1733500000123;
        for (const auto &[at, value, expected] :
             {std::tuple{qint64(-1), QJsonValue(-1.9), qint64(-1)},
              std::tuple{qint64(-1), QJsonValue(9223372036854775808.0), max64},
              std::tuple{qint64(-1), QJsonValue(-1e300), min64},
              std::tuple{qint64(-1), QJsonValue(QStringLiteral("12")), qint64(0)},
              std::tuple{qint64(1000), QJsonValue(399.99), qint64(601)},
              std::tuple{now, QJsonValue(QJsonValue::Undefined), now},
              std::tuple{qint64(1000), QJsonValue(1500), qint64(-500)},
              std::tuple{now, QJsonValue(-1e300), max64}})
            QCOMPARE(at < 0 ? frames::toInt64(value) : frames::latencyMs(at, value), expected);
        QCOMPARE(frames::connectFrame(QStringLiteral("a\"b\\c\nд")),
                 QStringLiteral("40{\"token\":\"a\\\"b\\\\c\\nд\"}"));
        QCOMPARE(frames::eventFrame("native_audio", {{"seq", 123456}, {"sentAt", 1733500000123.0}}),
                 QStringLiteral(R"(42["native_audio",{"sentAt":1733500000123,"seq":123456}])"));
    }
};

QTEST_MAIN(ChannelTest)
#include "tst_channel.moc"
