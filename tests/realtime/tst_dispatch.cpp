// What one received frame does to the controller, and what it writes back, without a network:
// frames go straight into NativeCalls::handle.

#include "tests/realtime/testclient.h"
#include "tests/support/testutil.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

namespace {

QJsonObject parse(const QString &json) {
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

QString audioFrame(const QString &id, const QString &from, int seq) {
    const QByteArray block(320, '\x05');
    return eventText(QStringLiteral("native_audio"),
                     {{QStringLiteral("id"), id},
                      {QStringLiteral("from"), from},
                      {QStringLiteral("seq"), seq},
                      {QStringLiteral("pcm"), QString::fromLatin1(block.toBase64())}});
}

} // namespace

class DispatchTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    void replies_data() {
        QTest::addColumn<bool>("readyBefore");
        QTest::addColumn<QString>("callRecord");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<bool>("readyAfter");
        QTest::addColumn<QString>("sidAfter");
        const QString token = QStringLiteral(R"(40{"token":"tok"})");
        const QString noCall;

        QTest::newRow("ping while not ready")
            << false << noCall << "2" << QStringList{"3"} << false << "old";
        QTest::newRow("ping while ready")
            << true << noCall << "2" << QStringList{"3"} << true << "old";
        QTest::newRow("open packet")
            << false << noCall << R"(0{"sid":"e","pingInterval":25000,"pingTimeout":20000})"
            << QStringList{token} << false << "old";
        QTest::newRow("open packet while ready")
            << true << noCall << "0" << QStringList{token} << true << "old";
        QTest::newRow("connect reply")
            << false << noCall << R"(40{"sid":"s1"})" << QStringList{syncFrame()} << true << "s1";
        QTest::newRow("connect reply while ready")
            << true << noCall << R"(40{"sid":"s2"})" << QStringList{syncFrame()} << true << "s2";
        QTest::newRow("connect reply without body")
            << false << noCall << "40" << QStringList{syncFrame()} << true << "";
        QTest::newRow("connect reply with a call held")
            << false << R"({"id":"c1"})"
            << R"(40{"sid":"s3"})"
            << QStringList{syncFrame(), R"(42["native_call",{"action":"resume","id":"c1"}])"}
            << true << "s3";
        QTest::newRow("call id of another JSON type goes back unchanged")
            << false << R"({"id":7})"
            << R"(40{"sid":"s4"})"
            << QStringList{syncFrame(), R"(42["native_call",{"action":"resume","id":7}])"} << true
            << "s4";
        QTest::newRow("namespace disconnect")
            << true << noCall << "41" << QStringList{} << true << "old";
        QTest::newRow("connect error") << false << noCall << R"(44{"message":"unauthorized"})"
                                       << QStringList{} << false << "old";
        QTest::newRow("server pong") << true << noCall << "3" << QStringList{} << true << "old";
        QTest::newRow("noop") << true << noCall << "6" << QStringList{} << true << "old";
        QTest::newRow("unknown event") << true << noCall << R"(42["chat_message",{"id":"m"}])"
                                       << QStringList{} << true << "old";
        QTest::newRow("garbage") << true << noCall << "\x7f{[" << QStringList{} << true << "old";
    }

    void replies() {
        QFETCH(bool, readyBefore);
        QFETCH(QString, callRecord);
        QFETCH(QString, frame);
        QFETCH(QStringList, written);
        QFETCH(bool, readyAfter);
        QFETCH(QString, sidAfter);
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
        QCOMPARE(calls.connected, readyAfter);
        QCOMPARE(calls.sid, sidAfter);
        const bool becameReady = frame.startsWith(QLatin1String("40"));
        QCOMPARE(calls.reconnectTimer.isActive(), !becameReady);
        QCOMPARE(calls.readyCount, readyCount + (becameReady ? 1 : 0));
    }

    void commandPayloads_data() {
        QTest::addColumn<QString>("callRecord");
        QTest::addColumn<QString>("written");
        QTest::newRow("string id") << R"({"id":"c1","state":"ACTIVE"})"
                                   << R"(42["native_call",{"action":"leave","id":"c1"}])";
        QTest::newRow("number id") << R"({"id":12.5})"
                                   << R"(42["native_call",{"action":"leave","id":12.5}])";
        QTest::newRow("null id") << R"({"id":null})"
                                 << R"(42["native_call",{"action":"leave","id":null}])";
        QTest::newRow("object id") << R"({"id":{"a":[1]}})"
                                   << R"(42["native_call",{"action":"leave","id":{"a":[1]}}])";
        QTest::newRow("no id") << R"({"state":"ACTIVE"})"
                               << R"(42["native_call",{"action":"leave"}])";
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

    void latencyTooltip_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<qint64>("ageMs"); // the latency the frame claims, -1: sentAt missing
        QTest::addColumn<bool>("shown");
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QTest::newRow("pong")
            << QStringLiteral(R"(42["native_call_pong",{"sentAt":%1}])").arg(now - 1000)
            << qint64(1000) << true;
        QTest::newRow("pong without sentAt")
            << QStringLiteral(R"(42["native_call_pong",{}])") << qint64(-1) << true;
        QTest::newRow("pong with payload not an object")
            << QStringLiteral(R"(42["native_call_pong","x"])") << qint64(-1) << true;
        QTest::newRow("name in other case")
            << QStringLiteral(R"(42["Native_Call_Pong",{"sentAt":1}])") << qint64(0) << false;
    }

    void latencyTooltip() {
        QFETCH(QString, frame);
        QFETCH(qint64, ageMs);
        QFETCH(bool, shown);
        TestClient client;
        client.calls->callStatusLabel.setToolTip(QStringLiteral("before"));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        client.calls->handle(frame);
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        const QString tip = client.calls->callStatusLabel.toolTip();
        if (!shown) {
            QCOMPARE(tip, QStringLiteral("before"));
            return;
        }
        const auto match = QRegularExpression(QStringLiteral("^Задержка: (-?\\d+) мс$")).match(tip);
        QVERIFY2(match.hasMatch(), qPrintable(tip));
        const qint64 latency = match.captured(1).toLongLong();
        if (ageMs < 0) {
            QVERIFY2(latency >= before && latency <= after, qPrintable(tip));
        } else {
            // The row was built a moment before the frame was handled.
            QVERIFY2(latency >= ageMs && latency <= ageMs + (after - before) + 60000,
                     qPrintable(tip));
        }
    }

    void mediaReachesOnlyTheCurrentCall_data() {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("queued");
        QTest::newRow("current call") << "c1" << audioFrame("c1", "u2", 1) << true;
        QTest::newRow("another call") << "c1" << audioFrame("c2", "u2", 1) << false;
        QTest::newRow("id of another type")
            << "1" << QStringLiteral(R"(42["native_audio",{"id":1,"from":"u2","seq":1}])") << false;
        QTest::newRow("no call, no id")
            << "" << QStringLiteral(R"(42["native_audio",{"from":"u2","seq":1,"pcm":"AAAA"}])")
            << false;
        QTest::newRow("name in other case")
            << "c1" << audioFrame("c1", "u2", 1).replace("native_audio", "Native_Audio") << false;
        QTest::newRow("extra elements")
            << "c1" << audioFrame("c1", "u2", 1).chopped(1) + QStringLiteral(R"(,"offset"])")
            << true;
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

    void connectSocketGuards_data() {
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("token");
        QTest::newRow("already ready") << true << "u1"
                                       << "tok";
        QTest::newRow("no user") << false << ""
                                 << "tok";
        QTest::newRow("no token") << false << "u1"
                                  << "";
    }

    void connectSocketGuards() {
        QFETCH(bool, ready);
        QFETCH(QString, userId);
        QFETCH(QString, token);
        TestClient client;
        client.calls->connected = ready;
        client.calls->sessionUserId = userId;
        client.calls->sessionToken = token;
        client.calls->connectSocket();
        QVERIFY(!client.calls->connectTimer.isActive());
        QCOMPARE(client.calls->socket.state(), QAbstractSocket::UnconnectedState);
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
        // Error reports open a box each; their text is covered above.
        const QStringList names{"native_call",   "native_calls",     "native_audio",
                                "native_screen", "native_call_pong", "other"};
        const QStringList values{R"("c1")", "1e308",         "-1",   "null",         "[]", "{}",
                                 R"("")",   R"("AAAA####")", "true", R"({"a":[{}]})"};
        const QStringList keys{"id",    "from",    "seq",   "pcm",     "jpeg",  "sentAt",
                               "items", "members", "state", "message", "userId"};
        QRandomGenerator random(7);
        for (int i = 0; i < 3000; ++i) {
            QString payload = QStringLiteral("{");
            const int fields = int(random.bounded(5));
            for (int f = 0; f < fields; ++f)
                payload += (f ? QStringLiteral(",") : QString()) +
                           QStringLiteral("\"%1\":%2")
                               .arg(keys.at(int(random.bounded(keys.size()))),
                                    values.at(int(random.bounded(values.size()))));
            payload += QLatin1Char('}');
            QString frame = QStringLiteral(R"(42["%1",%2])")
                                .arg(names.at(int(random.bounded(names.size()))), payload);
            if (random.bounded(10) == 0)
                frame.truncate(int(random.bounded(frame.size())));
            calls.handle(frame);
        }
        QVERIFY(calls.audioQueues.size() <= 64);
    }
};

QTEST_MAIN(DispatchTest)
#include "tst_dispatch.moc"
