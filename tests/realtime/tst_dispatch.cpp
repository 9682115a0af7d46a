// What one received frame does to the controller and what it writes back, without a network:
// frames go straight into NativeCalls::handle.

#include "tests/support/testkit.h"

#include <tuple>

namespace {

QString audioFrame(const QJsonValue &id, const QString &name = QStringLiteral("native_audio")) {
    return frames::eventFrame(name, {{"id", id}, {"from", "u2"}, {"seq", 1}, {"pcm", "BQUFBQ=="}});
}

} // namespace

class DispatchTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    // The call held ("" for none), the frame, what is written back, and "ready|not ready
    // sid=<sid>" after; the channel is ready before where the tag says so.
    void replies_data() {
        for (const char *column : {"held", "frame", "written", "after"})
            QTest::addColumn<QString>(column);
        const QString sync = callFrame("sync"), none;
        row("ping while not ready", none, "2", QString("3"), "not ready sid=old");
        row("open packet while ready", none, "0", QString(R"(40{"token":"tok"})"), "ready sid=old");
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
};

QTEST_MAIN(DispatchTest)
#include "tst_dispatch.moc"
