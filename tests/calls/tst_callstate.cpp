// The call logic of one client, step by step (records stand for the server; the other steps are
// the user's actions and the channel's events), the call record rules, and the tray; then two
// clients in one process, signed in as u1 and u2, calling each other through the local service,
// whose real socket.io server decides every record.
#include "calls/callrecord.h"
#include "calls/desktop.h"
#include "tests/support/localservice.h"
#include "tests/support/testkit.h"
#include "web/json.h"

#include <QMenu>

using Step = std::function<void(CallClient &)>;

namespace {

// The signed-in user is u1 on device "sidA"; "sidB" is another of u1's devices.
QJsonObject ringingIn(const char *id = "c1") {
    return json(callText("RINGING", "u2", "INVITED", "", id));
}
QJsonObject placed(const char *state = "RINGING") {
    return json(callText(state, "u1", "JOINED", "sidA"));
}
QJsonObject with(QJsonObject r, const char *key, const QJsonValue &value) {
    r.insert(QLatin1String(key), value);
    return r;
}
Step record(const QJsonObject &r) {
    return [r](CallClient &c) { c.calls->update(r); };
}
Step list(const QJsonArray &items) {
    return [items](CallClient &c) { c.calls->reconcile({{"items", items}}); };
}
Step error(const QJsonValue &message) {
    return [message](CallClient &c) { c.calls->callError({{"message", message}}); };
}
void dial(CallClient &c) {
    c.calls->dial("u1-u2", QStringLiteral("Борис Орлов"));
}

// Runs the steps named in `script`. Records stand for the server: "ring"/"ring2" call c1/c2
// ringing for u1, "ring'" c1 again, "end"/"end2" c1/c2 ENDED, "active" c1 ACTIVE here,
// "placed"/"placedActive" u1's own dial; "list[...]" a call list; "waitN" waits N ms; "soon:"
// runs a step once the loop runs again (as inside a box).
void run(CallClient &client, const QString &script) {
    const QJsonObject ringing = ringingIn(), ringing2 = ringingIn("c2");
    const QJsonObject active = json(callText("ACTIVE", "u2", "JOINED", "sidA"));
    const QMap<QString, Step> steps{
        {"ring", record(ringing)},
        {"ring2", record(ringing2)},
        {"ring'", record(with(ringing, "chatId", "x"))},
        {"end", record(with(ringing, "state", "ENDED"))},
        {"end2", record(with(ringing2, "state", "ENDED"))},
        {"active", record(active)},
        {"placed", record(placed())},
        {"placedActive", record(placed("ACTIVE"))},
        {"list[]", list({})},
        {"list[active]", list({active})},
        {"list[ring]", list({ringing})},
        {"list[ring2]", list({ringing2})},
        {"error", error("Чат не найден")},
        {"error42", error(42)},
        {"dial", dial},
        {"answer", [](CallClient &c) { c.calls->answerButton.click(); }},
        {"decline", [](CallClient &c) { c.calls->declineButton.click(); }},
        {"hangUp", [](CallClient &c) { c.calls->hangupButton.click(); }},
        {"trayEnd", [](CallClient &c) { c.calls->tray.contextMenu()->actions().at(1)->trigger(); }},
        {"showWindow", [](CallClient &c) { c.calls->callDialog.show(); }},
        {"micFails", [](CallClient &c) { c.audio->failOpen = true; }},
        {"micBack", [](CallClient &c) { c.audio->failOpen = false; }},
        // The audio server goes away (and stays away until micBack); the wait is cut to 1 s.
        {"audioGone",
         [](CallClient &c) {
             c.calls->voiceLostLimitMs = 1000;
             c.audio->failOpen = true;
             c.audio->lost();
         }},
        {"untilBox", [](CallClient &c) { waitUntil([&c] { return !c.boxes.isEmpty(); }, 5000); }},
        {"offline", [](CallClient &c) { c.calls->connected = false; }},
        {"dropAndResume", // ready again on the same device id
         [](CallClient &c) {
             c.calls->onDisconnected();
             c.calls->reconnectTimer.stop();
             c.calls->connected = true;
         }}};
    for (const QString &word : script.split(' ', Qt::SkipEmptyParts)) {
        const Step step = steps.value(word.mid(word.startsWith("soon:") ? 5 : 0),
                                      [word](CallClient &) { QFAIL(qPrintable(word)); });
        if (word.startsWith("wait"))
            QTest::qWait(word.mid(4).toInt());
        else if (word.startsWith("soon:")) // runs in the next box's event loop
            QTimer::singleShot(0, &client.main, [&client, step] { step(client); });
        else
            step(client);
    }
}

// Everything the tables compare; fields at their idle value are left out.
QString summary(const CallClient &client) {
    const NativeCalls &c = *client.calls;
    QStringList out;
    auto field = [&out](const char *name, const QString &value, const QString &idle = "0") {
        if (value != idle)
            out << QLatin1String(name) + '=' + value;
    };
    if (!c.callRecord.isEmpty())
        field("held", c.callRecord["id"].toString() + '/' + c.callRecord["state"].toString());
    field("callId", c.callId, {});
    field("pending", QString::number(c.dialPending));
    field("abandoned", QString::number(c.dialAbandoned));
    field("window", QString::number(c.callDialog.isVisible()));
    field("ring", QString::number(c.ringTimer.isActive()));
    QString media = QString::number(c.mediaActive);
    if (c.playbackTimer.isActive() != c.mediaActive || c.pingTimer.isActive() != c.mediaActive ||
        c.durationTimer.isActive() != c.mediaActive || c.mediaActive != client.audio->open.load())
        media += "(timers or device disagree)";
    field("media", media);
    field("sent", client.actions().join(','), {});
    field("balloons", QString::number(client.balloons.size()));
    field("beeps", QString::number(client.beeps));
    field("boxes", QString::number(client.boxes.size()));
    return out.join(' ');
}

// The decision for a record given the situation as JSON ("user" defaults to u1, the device is
// "sidA"): "Action[ title][ adopt][ voice]".
QString decision(const QJsonObject &record, const QJsonObject &o) {
    callrecord::Situation now{o["held"].toString(),
                              o["user"].toString("u1"),
                              "sidA",
                              o["callId"].toString(),
                              o["pending"].toBool(),
                              o["abandoned"].toBool(),
                              o["media"].toBool(),
                              std::nullopt};
    if (o.contains("failed"))
        now.voiceFailedCall = o["failed"].toString();
    const callrecord::Decision d = callrecord::decide(record, now);
    const char *names[] = {"Ignore", "Finish", "Leave", "Ring", "Answering", "Calling", "Talking"};
    return QString(names[int(d.action)]) + (d.title.isEmpty() ? "" : " " + d.title) +
           (d.adopt ? " adopt" : "") + (d.startVoice ? " voice" : "");
}

// The user's own entry as "STATE@this" or "STATE@elsewhere", or "none".
QString ownEntry(const CallClient &c) {
    const auto own = callrecord::ownEntry(c.calls->callRecord, c.calls->sessionUserId);
    if (!own)
        return QStringLiteral("none");
    return webjson::text(own->value("state")) +
           (webjson::text(own->value("deviceId")) == c.calls->sid ? "@this" : "@elsewhere");
}

bool idle(const CallClient &c) {
    return c.calls->callRecord.isEmpty() && !c.calls->dialPending && !c.calls->mediaActive &&
           !c.calls->callDialog.isVisible();
}

} // namespace

class CallStateTest : public QObject {
    Q_OBJECT
    LocalService svc;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY2(svc.start({"--session", "u1:token-anna", "--session", "u2:token-boris"}),
                 qPrintable(svc.output()));
    }

    void records_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        const QString talking = "ring answer active ", rang = "balloons=1 beeps=1";
        const QString stillRinging = "held=c1/RINGING window=1 ring=1 " + rang;
        const QString inCall = "held=c1/ACTIVE callId=c1 window=1 media=1 sent=accept:c1 " + rang;
        const QString dialling = "pending=1 window=1 sent=invite:u1-u2";
        const QString ringing = "held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2";
        const QString fail = "sent=accept:c1,leave:c1 " + rang + " boxes=1";
        row("incoming while hidden: balloon, window, one beep", "ring", stillRinging);
        row("incoming, window shown: no balloon", "showWindow ring",
            "held=c1/RINGING window=1 ring=1 beeps=1");
        row("same call again: no second beep", "ring ring'", stillRinging);
        row("another call while one is held", "ring ring2 end2", stillRinging);
        row("held call ENDED", "ring end", rang);
        row("answered: next ringing stops beeps", "ring answer ring",
            "held=c1/RINGING callId=c1 window=1 sent=accept:c1 " + rang);
        row("decline", "ring decline", "sent=decline:c1 " + rang);
        row("hang up", talking + "hangUp", "sent=accept:c1,leave:c1 " + rang);
        row("dial, record here", "dial placed", ringing);
        row("dial, answered", "dial placed placedActive",
            "held=c1/ACTIVE callId=c1 window=1 media=1 sent=invite:u1-u2");
        row("dial offline: box only", "offline dial", "boxes=1");
        row("dial while held", "ring dial", stillRinging);
        row("dial while pending", "dial dial", dialling);
        row("hang up dialing, late record left", "dial hangUp placed",
            "abandoned=1 sent=invite:u1-u2,leave,leave:c1");
        row("hang up dialing, other call rings", "dial hangUp ring2",
            "held=c2/RINGING abandoned=1 window=1 ring=1 sent=invite:u1-u2,leave " + rang);
        row("tray end dialing, late record adopted", "dial trayEnd placed",
            "held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2,leave");
        row("survives a lost connection", talking + "dropAndResume active", inCall);
        row("list: empty ends held", "ring list[]", rang);
        row("list: empty keeps pending", "dial list[]", dialling);
        row("list: naming held keeps it", talking + "list[active]", inCall);
        row("list: others end held", "ring list[ring2]", rang);
        row("list: ringing adopted", "list[ring]", stillRinging);
        row("error while dialing", "dial error", "sent=invite:u1-u2 boxes=1");
        row("error (not text) while ringing", "ring error42", rang + " boxes=1");
        row("call arriving in error box", "soon:ring error", stillRinging + " boxes=1");
        row("error in a conversation", talking + "error", inCall + " boxes=1");
        row("voice start fails", "micFails " + talking, fail);
        row("audio back in time", talking + "audioGone wait300 micBack wait600", inCall);
        row("audio away too long", talking + "audioGone untilBox", fail);
        // Every dial has its own wait: an earlier dial's wait must not end a later one.
        row("dial, no record", "dial untilBox", "abandoned=1 sent=invite:u1-u2 boxes=1");
        row("given up, late record left", "dial untilBox placed",
            "abandoned=1 sent=invite:u1-u2,leave:c1 boxes=1");
        row("redial", "dial hangUp wait600 dial wait700",
            "pending=1 window=1 sent=invite:u1-u2,leave,invite:u1-u2");
    }
    void records() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        CallClient client;
        client.offline().calls->dialWaitMs = 1000;
        run(client, script);
        QCOMPARE(summary(client), expected);
    }

    // While a box is open the event loop runs: records of the same call must not try the devices
    // again, and a call that arrived meanwhile is neither left nor torn down when it closes.
    void boxesActOnTheirOwnCall() {
        { // one client at a time: each answers every open box
            CallClient voiceFails;
            voiceFails.offline().audio->failOpen = true;
            dial(voiceFails);
            int opensDuringBox = -1;
            QTimer::singleShot(0, &voiceFails.main, [&] {
                voiceFails.calls->update(placed("ACTIVE"));
                opensDuringBox = voiceFails.audio->opens;
                voiceFails.calls->update(with(placed("ACTIVE"), "state", "ENDED"));
                voiceFails.calls->update(ringingIn("c2"));
            });
            voiceFails.calls->update(placed("ACTIVE"));
            QCOMPARE(opensDuringBox, 1);
            QCOMPARE(voiceFails.boxes,
                     QStringList{"Микрофон|" + desktop::deviceFailureText() + "|warning"});
            QCOMPARE(summary(voiceFails),
                     QStringLiteral("held=c2/RINGING window=1 ring=1 sent=invite:u1-u2 balloons=1 "
                                    "beeps=1 boxes=1"));
        }
        // A hundred errors while a box is open: one box at a time, then only the latest.
        CallClient storm;
        QTimer::singleShot(0, &storm.main, [&] {
            for (int i = 1; i <= 100; ++i)
                storm.calls->callError({{"message", QStringLiteral("Ошибка %1").arg(i)}});
        });
        storm.calls->callError({{"message", "Ошибка 0"}});
        QTRY_COMPARE(storm.boxes,
                     (QStringList{"Звонок|Ошибка 0|information", "Звонок|Ошибка 100|information"}));
    }

    // The end of a call resets media, screen and queues but keeps the user's mute until the next
    // dial; a conversation pings with its id and the time, and its duration ticks.
    void inCall() {
        CallClient client;
        NativeCalls &c = *client.offline().calls;
        QJsonObject active = json(callText("ACTIVE", "u2", "JOINED", "sidA"));
        active["acceptedAt"] =
            QDateTime::currentDateTimeUtc().addMSecs(-62000).toString(Qt::ISODateWithMs);
        run(client, "ring answer");
        c.update(active);
        QVERIFY(waitUntil([&] { return c.callStatusLabel.text().startsWith("Разговор · 01:0"); },
                          3000));
        c.sendPing();
        const QJsonObject ping = client.sentEvents("native_call").last();
        QVERIFY(ping["id"] == "c1" && ping["action"] == "ping" && ping["sentAt"].toInteger() > 0);
        c.screenTimer.start(500);
        c.screenLabel.setPixmap(QPixmap(8, 8));
        c.audioQueues["u2"].enqueue(QByteArray(320, 'a'));
        c.lastAudioSeq["u2"] = 7;
        c.muted = true;
        c.finish();
        QVERIFY(!c.screenTimer.isActive() && c.screenLabel.pixmap().isNull());
        QVERIFY(c.audioQueues.isEmpty() && c.lastAudioSeq.isEmpty());
        QCOMPARE(summary(client), QStringLiteral("sent=accept:c1,ping:c1 balloons=1 beeps=1"));
        QVERIFY(c.muted);
        dial(client);
        QVERIFY(!c.muted);
    }

    // The tray icon shows the main window, and the call window during a call; the menu's open
    // item only the main window; its quit item leaves the call and quits.
    void tray() {
        for (const auto &[withCall, fromMenu] :
             {std::pair{false, false}, std::pair{true, false}, std::pair{true, true}}) {
            CallClient client;
            NativeCalls &c = *client.offline().calls;
            if (withCall) {
                c.update(ringingIn());
                c.callDialog.hide();
            }
            if (fromMenu)
                c.tray.contextMenu()->actions().at(0)->trigger();
            else
                Q_EMIT c.tray.activated(QSystemTrayIcon::Context);
            QVERIFY(client.main.isVisible());
            QCOMPARE(c.callDialog.isVisible(), withCall && !fromMenu);
        }
        CallClient client;
        client.offline().calls->update(ringingIn());
        client.calls->tray.contextMenu()->actions().at(2)->trigger();
        QCOMPARE(client.actions(), QStringList{"leave:c1"});
        QVERIFY(testutil::quitRequested());
    }

    // The own entry and the duration of a record; what the call side does with a record in a
    // situation.
    void recordRules() {
        auto own = [](const QByteArray &members, const QString &user) {
            const auto e = callrecord::ownEntry(json(R"({"members":)" + members + "}"), user);
            return e ? QJsonDocument(*e).toJson(QJsonDocument::Compact) : "none";
        };
        QCOMPARE(own(R"([{"userId":"u1","n":1},{"userId":"u2"},{"userId":"u1","n":2}])", "u1"),
                 R"({"n":2,"userId":"u1"})");
        QCOMPARE(own(R"([{"userId":1},{"userId":["u1"]},{"userId":"U1"}])", "u1"), "none");
        QCOMPARE(own(R"([{"name":"x"},{"userId":""}])", ""), "none");
        const QDateTime now = QDateTime::fromString("2024-05-01T11:15:03.000Z", Qt::ISODateWithMs);
        for (const auto &[at, text] :
             {std::pair{QJsonValue("2024-04-30T11:14:56.001Z"), "1440:06"},
              std::pair{QJsonValue("2024-05-01T12:00:00.000Z"), "00:00"},
              std::pair{QJsonValue("2024-05-01T13:14:00.000+02:00"), "01:03"},
              std::pair{QJsonValue("yesterday"), "00:00"},
              std::pair{QJsonValue(1714557600000.0), "00:00"}})
            QCOMPARE(callrecord::durationText(at, now), QStringLiteral("Разговор · ") + text);
        const QByteArray ringing = callText("RINGING", "u2", "INVITED", ""),
                         talking = callText("ACTIVE", "u1", "JOINED", "sidA");
        // The tag travels with the result so a failure names its row.
        auto d = [](const char *tag, const QByteArray &r, const char *now, const char *out) {
            QCOMPARE(tag + (' ' + decision(json(r), json(now))), tag + (' ' + QString(out)));
        };
        d("not a member", ringing, R"({"user":"u3"})", "Ignore");
        d("nobody signed in", ringing, R"({"user":""})", "Ignore");
        d("own LEFT", callText("ACTIVE", "u2", "LEFT", "sidA"), "{}", "Finish");
        d("own DECLINED", callText("RINGING", "u2", "DECLINED", ""), "{}", "Finish");
        d("case-sensitive", callText("ended", "u2", "left", "sidB"), "{}", "Ignore");
        d("other device", callText("ACTIVE", "u1", "JOINED", "sidB"), "{}", "Ignore");
        d("other device, dialing", callText("RINGING", "u1", "JOINED", "sidB"),
          R"({"pending":true})", "Calling Борис");
        d("taken part here", callText("ACTIVE", "u2", "JOINED", "sidB"),
          R"({"held":"c1","callId":"c1"})", "Talking Анна voice");
        d("media running", talking, R"({"media":true})", "Talking Борис adopt");
        d("its failure shown", talking, R"({"failed":"c1"})", "Talking Борис adopt");
        d("other's failure", talking, R"({"failed":"c2"})", "Talking Борис adopt voice");
        d("own not JOINED", callText("ACTIVE", "u1", "joined", "sidA"), "{}",
          "Talking Борис adopt");
    }

    // Dial, ring, answer; Anna loses her connection mid-call: the voice stops but the call stays;
    // it comes back on its own, says "sync" then "resume", and the voice starts again without
    // anyone answering anew. Then Boris hangs up.
    void dialAnswerDropResumeHangUp() {
        CallClient anna, boris;
        QVERIFY(anna.signIn("u1", "token-anna") && boris.signIn("u2", "token-boris"));
        anna.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Анна и Борис"));
        QVERIFY(waitUntil(
            [&] { return boris.calls->ringTimer.isActive() && !anna.calls->callId.isEmpty(); }));
        QCOMPARE(anna.calls->callRecord["state"].toString() + ' ' + ownEntry(anna),
                 QStringLiteral("RINGING JOINED@this"));
        QCOMPARE(ownEntry(boris), QStringLiteral("INVITED@elsewhere"));
        QCOMPARE(boris.beeps, 1);
        boris.calls->answerButton.click();
        QVERIFY(waitUntil([&] { return boris.calls->mediaActive && anna.calls->mediaActive; }));
        for (const CallClient *side : {&anna, &boris}) {
            QCOMPARE(side->calls->callRecord["state"].toString() + ' ' + ownEntry(*side),
                     QStringLiteral("ACTIVE JOINED@this"));
            QCOMPARE(side->calls->callId, anna.calls->callId);
            QVERIFY(side->audio->open);
        }
        const QString callId = anna.calls->callId, oldSid = anna.calls->sid;
        const int opens = anna.audio->opens;
        anna.sent.clear();
        anna.calls->socket.abort();
        QVERIFY(!anna.calls->connected && !anna.calls->mediaActive);
        QCOMPARE(anna.calls->callId, callId);
        QVERIFY(anna.calls->callDialog.isVisible());
        QVERIFY(
            waitUntil([&] { return anna.calls->mediaActive && ownEntry(anna) == "JOINED@this"; }));
        QVERIFY(anna.calls->sid != oldSid);
        QCOMPARE(anna.actions().mid(0, 2), (QStringList{"sync", "resume:" + callId}));
        QVERIFY(anna.audio->opens > opens && boris.calls->mediaActive);
        boris.calls->hangupButton.click();
        QVERIFY(idle(boris));
        QVERIFY(waitUntil([&] { return idle(anna); }));
        QVERIFY(!anna.audio->open && !boris.audio->open);
    }
};

QTEST_MAIN(CallStateTest)
#include "tst_callstate.moc"
