// What one received frame does to the controller, and what it writes back, without a network:
// frames go straight into NativeCalls::handle.

#include "tests/realtime/testclient.h"
#include "tests/support/testutil.h"

#include <QRandomGenerator>
#include <QTest>

#include <tuple>

namespace {

QJsonObject parse(const QString &json) {
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

QString audioFrame(const QString &id) {
    const QString pcm = QString::fromLatin1(QByteArray(320, '\x05').toBase64());
    return frames::eventFrame("native_audio",
                              {{"id", id}, {"from", "u2"}, {"seq", 1}, {"pcm", pcm}});
}

} // namespace

class DispatchTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // Each row: ready before, the call held ("" for none), the frame, what is written back, and
    // "ready|not ready sid=<sid>" after.
    void replies_data() {
        QTest::addColumn<bool>("readyBefore");
        QTest::addColumn<QString>("callRecord");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<QString>("after");
        auto row = [](const char *tag, bool ready, const char *held, const char *frame,
                      const QStringList &written, const char *after) {
            QTest::newRow(tag) << ready << QString::fromUtf8(held) << QString::fromUtf8(frame)
                               << written << QString::fromUtf8(after);
        };
        row("ping while not ready", false, "", "2", {"3"}, "not ready sid=old");
        row("open packet while ready", true, "", "0", {R"(40{"token":"tok"})"}, "ready sid=old");
        row("connect reply while ready", true, "", R"(40{"sid":"s2"})", {syncFrame()},
            "ready sid=s2");
        row("connect reply without body", false, "", "40", {syncFrame()}, "ready sid=");
        row("connect reply with a call held", false, R"({"id":"c1"})", R"(40{"sid":"s3"})",
            {syncFrame(), callFrame("resume", "c1")}, "ready sid=s3");
        row("call id of another JSON type goes back unchanged", false, R"({"id":7})",
            R"(40{"sid":"s4"})", {syncFrame(), callFrame("resume", 7)}, "ready sid=s4");
        row("namespace disconnect", true, "", "41", {}, "ready sid=old");
        row("connect error", false, "", R"(44{"message":"unauthorized"})", {}, "not ready sid=old");
        row("unknown event", true, "", R"(42["chat_message",{"id":"m"}])", {}, "ready sid=old");
        row("garbage", true, "", "\x7f{[", {}, "ready sid=old");
    }

    void replies() {
        QFETCH(bool, readyBefore);
        QFETCH(QString, callRecord);
        QFETCH(QString, frame);
        QFETCH(QStringList, written);
        QFETCH(QString, after);
        TestClient client;
        NativeCalls &calls = *client.calls;
        calls.sessionUserId = QStringLiteral("u1");
        calls.sessionToken = QStringLiteral("tok");
        calls.sid = QStringLiteral("old");
        calls.connected = readyBefore;
        if (!callRecord.isEmpty()) {
            calls.callRecord = parse(callRecord);
            calls.callId = QStringLiteral("c1");
        }
        calls.reconnectTimer.start(1500);
        const quint64 readyCount = calls.readyCount;

        calls.handle(frame);
        QCOMPARE(client.sent, written);
        QCOMPARE((calls.connected ? "ready sid=" : "not ready sid=") + calls.sid, after);
        const bool becameReady = frame.startsWith(QLatin1String("40"));
        QCOMPARE(calls.reconnectTimer.isActive(), !becameReady);
        QCOMPARE(calls.readyCount, readyCount + (becameReady ? 1 : 0));
    }

    void commandPayloads_data() {
        QTest::addColumn<QString>("callRecord");
        QTest::addColumn<QString>("written");
        QTest::newRow("number id") << R"({"id":12.5})"
                                   << R"(42["native_call",{"action":"leave","id":12.5}])";
        QTest::newRow("object id") << R"({"id":{"a":[1]}})"
                                   << R"(42["native_call",{"action":"leave","id":{"a":[1]}}])";
        QTest::newRow("no call held") << ""
                                      << R"(42["native_call",{"action":"leave"}])";
    }

    void commandPayloads() {
        QFETCH(QString, callRecord);
        QFETCH(QString, written);
        TestClient client;
        client.calls->connected = true;
        client.calls->callRecord = parse(callRecord);
        client.calls->command(QStringLiteral("leave"));
        QCOMPARE(client.sent, QStringList{written});
        client.calls->connected = false;
        client.calls->command(QStringLiteral("leave"));
        QCOMPARE(client.sent.size(), 1);
    }

    void mediaReachesOnlyTheCurrentCall_data() {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("queued");
        QTest::newRow("current call, extra elements")
            << "c1" << audioFrame("c1").chopped(1) + QStringLiteral(R"(,"offset"])") << true;
        QTest::newRow("another call") << "c1" << audioFrame("c2") << false;
        QTest::newRow("id of another type")
            << "1" << QStringLiteral(R"(42["native_audio",{"id":1,"from":"u2","seq":1}])") << false;
        QTest::newRow("name in other case")
            << "c1" << audioFrame("c1").replace("native_audio", "Native_Audio") << false;
    }

    void mediaReachesOnlyTheCurrentCall() {
        QFETCH(QString, callId);
        QFETCH(QString, frame);
        QFETCH(bool, queued);
        TestClient client;
        client.calls->callId = callId;
        client.calls->handle(frame);
        QCOMPARE(client.calls->lastAudioSeq.contains(QStringLiteral("u2")), queued);
        QCOMPARE(client.calls->audioQueues.value(QStringLiteral("u2")).size(), queued ? 1 : 0);
    }

    void screenEndOnlyForTheCurrentCall() {
        TestClient client;
        NativeCalls &calls = *client.calls;
        calls.callId = QStringLiteral("c1");
        calls.screenLabel.setVisible(true);
        calls.handle(QStringLiteral(R"(42["native_screen",{"id":"c2","jpeg":""}])"));
        QVERIFY(!calls.screenLabel.isHidden());
        calls.handle(QStringLiteral(R"(42["native_screen",{"id":"c1","jpeg":""}])"));
        QVERIFY(calls.screenLabel.isHidden());
    }

    void callEventsReachTheCallLogic() {
        TestClient client;
        NativeCalls &calls = *client.calls;
        QStringList boxes;
        testutil::autoCloseModalBoxes(&client.window, true, &boxes);
        calls.sessionUserId = QStringLiteral("u1");
        calls.sid = QStringLiteral("s1");
        const QString record = QStringLiteral(
            R"({"id":"c9","state":"RINGING","callerId":"u2","members":[)"
            R"({"userId":"u2","name":"Борис Орлов","state":"JOINED","deviceId":"x"},)"
            R"({"userId":"u1","name":"Анна Соколова","state":"INVITED","deviceId":""}]})");
        calls.handle(QStringLiteral(R"(42["NATIVE_CALL",%1])").arg(record));
        QVERIFY(calls.callRecord.isEmpty());
        calls.handle(QStringLiteral(R"(42["native_call",%1])").arg(record));
        QCOMPARE(calls.callRecord.value(QStringLiteral("id")).toString(), QStringLiteral("c9"));

        calls.handle(QStringLiteral(R"(42["native_calls",{"items":[]}])"));
        QVERIFY(calls.callRecord.isEmpty());

        calls.handle(QStringLiteral(R"(42["native_call_error",{"message":"Чат не найден"}])"));
        QCOMPARE(boxes, QStringList{QStringLiteral("Чат не найден")});
    }

    // Already ready, no user, no token: no attempt.
    void connectSocketGuards() {
        for (const auto &[ready, userId, token] :
             {std::tuple{true, "u1", "tok"}, std::tuple{false, "", "tok"},
              std::tuple{false, "u1", ""}}) {
            TestClient client;
            client.calls->connected = ready;
            client.calls->sessionUserId = QString::fromLatin1(userId);
            client.calls->sessionToken = QString::fromLatin1(token);
            client.calls->connectSocket();
            QVERIFY2(!client.calls->connectTimer.isActive(), userId);
            QCOMPARE(client.calls->socket.state(), QAbstractSocket::UnconnectedState);
        }
    }

    void disconnectArmsRetryOnlyWhenSignedIn() {
        TestClient client;
        NativeCalls &calls = *client.calls;
        calls.connected = true;
        calls.onDisconnected();
        QVERIFY(!calls.connected);
        QVERIFY(!calls.reconnectTimer.isActive());
        calls.sessionUserId = QStringLiteral("u1");
        calls.onDisconnected();
        QVERIFY(calls.reconnectTimer.isActive());
        QVERIFY(calls.reconnectTimer.isSingleShot());
        QCOMPARE(calls.reconnectTimer.interval(), 1500);
        QCOMPARE(calls.connectTimer.interval(), 10000);
    }

    // The offline check of each disconnect ends a held call only if the channel has not been
    // ready since that disconnect.
    void offlineCheck_data() {
        QTest::addColumn<bool>("callHeld");
        QTest::addColumn<bool>("readyInBetween");
        QTest::addColumn<bool>("readyAtTheEnd");
        QTest::addColumn<bool>("finished");
        QTest::newRow("no call") << false << false << false << false;
        QTest::newRow("offline throughout") << true << false << false << true;
        QTest::newRow("back before the check") << true << false << true << false;
        QTest::newRow("back, then lost again shortly before") << true << true << false << false;
    }

    void offlineCheck() {
        QFETCH(bool, callHeld);
        QFETCH(bool, readyInBetween);
        QFETCH(bool, readyAtTheEnd);
        QFETCH(bool, finished);
        TestClient client;
        NativeCalls &calls = *client.calls;
        if (callHeld)
            calls.callRecord = {{QStringLiteral("id"), QStringLiteral("c1")}};
        calls.offlineCallMs = 400;
        calls.onDisconnected();
        if (readyInBetween) {
            calls.handle(QStringLiteral(R"(40{"sid":"s2"})"));
            // The second outage's own check comes much later than the first one's.
            calls.offlineCallMs = 60000;
            calls.onDisconnected();
        }
        if (readyAtTheEnd)
            calls.handle(QStringLiteral(R"(40{"sid":"s3"})"));
        QTest::qWait(1000);
        QCOMPARE(calls.callRecord.isEmpty(), !callHeld || finished);
    }

    // Whatever arrives, in whatever order, the controller survives it.
    void arbitraryFrames() {
        TestClient client;
        NativeCalls &calls = *client.calls;
        testutil::autoCloseModalBoxes(&client.window);
        calls.sessionUserId = QStringLiteral("u1");
        calls.sessionToken = QStringLiteral("tok");
        calls.callId = QStringLiteral("c1");
        const QStringList names{"native_call",   "native_calls",     "native_audio",
                                "native_screen", "native_call_pong", "other"};
        const QStringList values{R"("c1")", "1e308",         "-1",   "null",         "[]", "{}",
                                 R"("")",   R"("AAAA####")", "true", R"({"a":[{}]})"};
        const QStringList keys{"id",    "from",    "seq",   "pcm",     "jpeg",  "sentAt",
                               "items", "members", "state", "message", "userId"};
        QRandomGenerator random(7);
        for (int i = 0; i < 3000; ++i) {
            QStringList fields;
            for (int f = int(random.bounded(5)); f > 0; --f)
                fields << QStringLiteral("\"%1\":%2")
                              .arg(keys.at(int(random.bounded(keys.size()))),
                                   values.at(int(random.bounded(values.size()))));
            QString frame = QStringLiteral(R"(42["%1",{%2}])")
                                .arg(names.at(int(random.bounded(names.size()))), fields.join(','));
            if (random.bounded(10) == 0)
                frame.truncate(int(random.bounded(frame.size())));
            calls.handle(frame);
        }
        QVERIFY(calls.audioQueues.size() <= 64);
    }
};

QTEST_MAIN(DispatchTest)
#include "tst_dispatch.moc"
