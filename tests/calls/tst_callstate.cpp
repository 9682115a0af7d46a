#include "calls/desktop.h"
#include "tests/calls/callrig.h"

#include <QMenu>
#include <QPixmap>
#include <QTest>

// What happens to one client, step by step. Records stand for the server; the other steps are the
// user's actions and the channel's events.
using Step = std::function<void(CallRig &)>;
using Steps = QList<Step>;
Q_DECLARE_METATYPE(Steps)

namespace {

Step record(const QJsonObject &r) {
    return [r](CallRig &rig) { rig.calls->update(r); };
}
Step list(const QJsonValue &items) {
    return [items](CallRig &rig) { rig.calls->reconcile({{"items", items}}); };
}
Step error(const QJsonValue &message) {
    return [message](CallRig &rig) { rig.calls->callError({{"message", message}}); };
}
Step after(int ms) {
    return [ms](CallRig &) { QTest::qWait(ms); };
}
const Step dial = [](CallRig &rig) { rig.calls->dial("u1-u2", QStringLiteral("Борис Орлов")); };
const Step answer = [](CallRig &rig) { rig.calls->answerButton.click(); };
const Step decline = [](CallRig &rig) { rig.calls->declineButton.click(); };
const Step hangUp = [](CallRig &rig) { rig.calls->hangupButton.click(); };
const Step trayEnd = [](CallRig &rig) {
    rig.calls->tray.contextMenu()->actions().at(1)->trigger();
};
// A hundred errors arrive while the first one's box is open.
const Step errorStorm = [](CallRig &rig) {
    QTimer::singleShot(0, &rig.main, [&rig] {
        for (int i = 1; i <= 100; ++i)
            rig.calls->callError({{"message", QStringLiteral("Ошибка %1").arg(i)}});
    });
};
const Step showWindow = [](CallRig &rig) { rig.calls->callDialog.show(); };
const Step micFails = [](CallRig &rig) { rig.audio->failOpen = true; };
const Step micBack = [](CallRig &rig) { rig.audio->failOpen = false; };
// The audio server goes away mid-call (and stays away until micBack); the wait is cut to 1 s.
const Step audioGone = [](CallRig &rig) {
    rig.calls->voiceLostLimitMs = 1000;
    rig.audio->failOpen = true;
    rig.audio->lost();
};
const Step offline = [](CallRig &rig) { rig.calls->connected = false; };
// Ready again on the same device id, as after "sync" and "resume".
const Step dropAndResume = [](CallRig &rig) {
    rig.calls->onDisconnected();
    rig.calls->reconnectTimer.stop();
    rig.calls->connected = true;
};

QJsonObject with(QJsonObject r, const char *key, const QJsonValue &value) {
    r.insert(QLatin1String(key), value);
    return r;
}

// The record with u1's entry replaced.
QJsonObject ownAs(QJsonObject r, const QJsonValue &state, const QString &device) {
    QJsonArray members = r["members"].toArray();
    for (qsizetype i = 0; i < members.size(); ++i) {
        QJsonObject m = members.at(i).toObject();
        if (m.value(QLatin1String("userId")).toString() == QLatin1String("u1")) {
            m.insert(QLatin1String("state"), state);
            m.insert(QLatin1String("deviceId"), device);
            members.replace(i, m);
        }
    }
    r["members"] = members;
    return r;
}

void run(CallRig &rig, const Steps &steps) {
    for (const Step &step : steps)
        step(rig);
}

const QString idle;

} // namespace

class CallStateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { callrig::quietPlatform(); }

    void records_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("expected");
        const QJsonObject ringing = rec::ringingIn();
        const QJsonObject ringing2 = rec::ringingIn(QStringLiteral("c2"));
        const QJsonObject active = rec::activeHere();
        const Steps talking{record(ringing), answer, record(active)};
        const QString rang = QStringLiteral("balloons=1 beeps=1");
        const QString stillRinging = QStringLiteral("held=c1/RINGING window=1 ring=1 ") + rang;
        const QString inCall =
            QStringLiteral("held=c1/ACTIVE callId=c1 window=1 media=1 sent=accept:c1 ") + rang;
        auto row = [](const char *tag, const Steps &steps, const QString &expected) {
            QTest::newRow(tag) << steps << expected;
        };

        row("incoming while hidden: balloon, window, one beep", {record(ringing)}, stillRinging);
        row("incoming while the window shows: no balloon", {showWindow, record(ringing)},
            "held=c1/RINGING window=1 ring=1 beeps=1");
        QJsonObject third = ringing;
        QJsonArray members = third["members"].toArray();
        members.append(rec::member(QStringLiteral("u3"), QStringLiteral("INVITED")));
        third["members"] = members;
        row("second record of a ringing call does not beep again", {record(ringing), record(third)},
            stillRinging);
        third["members"] = QJsonArray{members.at(0), members.at(2)};
        row("record without the user", {record(third)}, idle);
        row("ENDED listing the user while idle hides the window",
            {showWindow, record(with(ringing, "state", "ENDED"))}, idle);
        row("another call while one is held, even ENDED",
            {record(ringing), record(ringing2), record(with(ringing2, "state", "ENDED"))},
            stillRinging);
        row("held call ENDED", {record(ringing), record(with(ringing, "state", "ENDED"))}, rang);
        row("own entry LEFT", {record(ringing), record(ownAs(ringing, "LEFT", {}))}, rang);
        row("own entry DECLINED", {record(ringing), record(ownAs(ringing, "DECLINED", {}))}, rang);
        row("lower-case left is not LEFT: ignored as another device",
            {record(ringing), record(ownAs(ringing, "left", {}))}, stillRinging);
        row("JOINED on another device while ringing is ignored",
            {record(ringing), record(ownAs(active, "JOINED", "sidB"))}, stillRinging);
        row("another device's conversation while idle is ignored",
            {record(ownAs(active, "JOINED", "sidB"))}, idle);
        row("answer, then ACTIVE here starts the voice", talking, inCall);
        row("answered: the next ringing record stops the beeps",
            {record(ringing), answer, record(ringing)},
            "held=c1/RINGING callId=c1 window=1 sent=accept:c1 " + rang);
        row("decline", {record(ringing), decline}, "sent=decline:c1 " + rang);
        row("hang up a conversation", talking + Steps{hangUp}, "sent=accept:c1,leave:c1 " + rang);

        row("dial", {dial}, "pending=1 window=1 sent=invite:u1-u2");
        row("dial, record on this device", {dial, record(rec::placed())},
            "held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2");
        row("dial, answered by the other side",
            {dial, record(rec::placed()), record(rec::placedActive())},
            "held=c1/ACTIVE callId=c1 window=1 media=1 sent=invite:u1-u2");
        row("dial, record showing another device keeps waiting",
            {dial, record(ownAs(rec::placed(), "JOINED", "sidB"))},
            "held=c1/RINGING pending=1 window=1 sent=invite:u1-u2");
        row("dial while offline: box, nothing sent", {offline, dial}, "boxes=1");
        row("dial while a call is held only shows the window", {record(ringing), dial},
            stillRinging);
        row("dial while an invite is pending sends no second invite", {dial, dial},
            "pending=1 window=1 sent=invite:u1-u2");
        row("hang up while dialing, late record is left", {dial, hangUp, record(rec::placed())},
            "abandoned=1 sent=invite:u1-u2,leave,leave:c1");
        row("hang up while dialing, someone else's call still rings",
            {dial, hangUp, record(ringing2)},
            "held=c2/RINGING abandoned=1 window=1 ring=1 sent=invite:u1-u2,leave " + rang);
        row("end from the tray while dialing, late record is adopted",
            {dial, trayEnd, record(rec::placed())},
            "held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2,leave");
        row("end from the tray with no call", {trayEnd}, "sent=leave");
        row("conversation survives a lost connection and resumes",
            talking + Steps{dropAndResume, record(active)}, inCall);

        row("list: empty tears the held call down", {record(ringing), list(QJsonArray())}, rang);
        row("list: items not an array tears the held call down",
            {record(ringing), list(QStringLiteral("c1"))}, rang);
        row("list: empty keeps a pending invite", {dial, list(QJsonArray())},
            "pending=1 window=1 sent=invite:u1-u2");
        row("list: naming the held call keeps it", talking + Steps{list(QJsonArray{active})},
            inCall);
        row("list: only other calls tears the held call down, adopts none",
            {record(ringing), list(QJsonArray{ringing2})}, rang);
        row("list: a ringing call while idle is adopted and kept", {list(QJsonArray{ringing})},
            stillRinging);
        row("list: garbage items change nothing",
            {list(QJsonArray{1, "c1", QJsonValue(), QJsonArray(), QJsonObject()})}, idle);

        row("error while dialing ends the dial", {dial, error(QStringLiteral("Чат не найден"))},
            "sent=invite:u1-u2 boxes=1");
        row("error with a message that is not text, while ringing, ends the call here",
            {record(ringing), error(42)}, rang + " boxes=1");
        row("error during a conversation keeps it",
            talking + Steps{error(QStringLiteral("Звонок не найден"))}, inCall + " boxes=1");
        row("voice start fails: box, leave, idle", Steps{micFails} + talking,
            "sent=accept:c1,leave:c1 " + rang + " boxes=1");
        row("audio server back within the wait: devices reopened, call goes on",
            talking + Steps{audioGone, after(300), micBack, after(600)}, inCall);
        row("audio server away past the wait: box, leave, idle",
            talking + Steps{audioGone, after(2300)},
            "sent=accept:c1,leave:c1 " + rang + " boxes=1");

        row("bad: members not an array", {record(with(ringing, "members", "u1"))}, idle);
        row("bad: own userId a number",
            {record(with(ringing, "members",
                         QJsonArray{QJsonObject{{"userId", 1}, {"state", "INVITED"}}}))},
            idle);
        row("bad: call state a number is not ENDED",
            {record(ringing), record(with(ringing, "state", 5))},
            "held=c1/ window=1 ring=1 " + rang);
        row("bad: ACTIVE in lower case does not start the voice",
            {record(ringing), answer, record(with(active, "state", "active"))},
            "held=c1/active callId=c1 window=1 sent=accept:c1 " + rang);
    }
    void records() {
        QFETCH(Steps, steps);
        QFETCH(QString, expected);
        CallRig rig;
        run(rig, steps);
        QCOMPARE(rig.summary(), expected);
    }

    // Every dial has its own wait: an earlier dial's wait must not end a later, still pending one.
    void dialWait_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("boxes");
        const QString noAnswer =
            QStringLiteral("Звонок|Сервер не ответил. Повторите звонок.|information");
        QTest::newRow("no record: gives up with a box")
            << Steps{dial, after(1500)} << "abandoned=1 sent=invite:u1-u2 boxes=1"
            << QStringList{noAnswer};
        QTest::newRow("given up, then the late record is left")
            << Steps{dial, after(1500), record(rec::placed())}
            << "abandoned=1 sent=invite:u1-u2,leave:c1 boxes=1" << QStringList{noAnswer};
        QTest::newRow("record in time: the wait does nothing")
            << Steps{dial, record(rec::placed()), after(1500)}
            << "held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2" << QStringList{};
        QTest::newRow("redial: the first dial's wait leaves the second alone")
            << Steps{dial, hangUp, after(600), dial, after(700)}
            << "pending=1 window=1 sent=invite:u1-u2,leave,invite:u1-u2" << QStringList{};
    }
    void dialWait() {
        QFETCH(Steps, steps);
        QFETCH(QString, expected);
        QFETCH(QStringList, boxes);
        CallRig rig;
        rig.calls->dialWaitMs = 1000;
        run(rig, steps);
        QCOMPARE(rig.summary(), expected);
        QCOMPARE(rig.boxes, boxes);
    }

    // The texts of boxes and balloons: "title|text|icon" (and "|ms" for balloons).
    void texts_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("incoming call balloon")
            << Steps{record(rec::ringingIn())}
            << QStringList{"Звонит Борис|Откройте Tovik, чтобы ответить|information|45000"};
        QTest::newRow("dial while offline")
            << Steps{offline, dial}
            << QStringList{"Звонок|Соединяемся с сервером. Повторите через несколько "
                           "секунд.|information"};
        QTest::newRow("server error")
            << Steps{error(QStringLiteral("Вы уже участвуете в звонке"))}
            << QStringList{"Звонок|Вы уже участвуете в звонке|information"};
        QTest::newRow("errors during a box: one at a time, then only the latest")
            << Steps{errorStorm, error(QStringLiteral("Ошибка 0"))}
            << QStringList{"Звонок|Ошибка 0|information", "Звонок|Ошибка 100|information"};
        QTest::newRow("voice start fails")
            << Steps{micFails, dial, record(rec::placedActive())}
            << QStringList{"Микрофон|" + desktop::deviceFailureText() + "|warning"};
    }
    void texts() {
        QFETCH(Steps, steps);
        QFETCH(QStringList, texts);
        CallRig rig;
        run(rig, steps);
        QCOMPARE(rig.balloons + rig.boxes, texts);
    }

    void ringRhythmContinues() {
        CallRig rig;
        run(rig, {record(rec::ringingIn())});
        QCOMPARE(rig.calls->ringTimer.interval(), 2200);
        QVERIFY(rig.calls->ringTimer.isActive());
        QTest::qWait(400);
        run(rig, {record(rec::ringingIn())});
        QVERIFY2(rig.calls->ringTimer.remainingTime() < 2000, "the ring rhythm restarted");
        QCOMPARE(rig.beeps, 1);
    }

    // While the failure box is open the event loop runs: records of the same call must not try
    // the devices again, and a call that arrived meanwhile must not be left when it closes.
    void voiceFailureBoxActsOnItsOwnCall() {
        CallRig rig;
        rig.audio->failOpen = true;
        run(rig, {dial});
        int opensDuringBox = -1;
        QTimer::singleShot(0, &rig.main, [&] {
            // Runs inside the box's event loop.
            rig.calls->update(rec::placedActive());
            opensDuringBox = rig.audio->opens;
            rig.calls->update(with(rec::placedActive(), "state", "ENDED"));
            rig.calls->update(rec::ringingIn(QStringLiteral("c2")));
        });
        rig.calls->update(rec::placedActive());
        QCOMPARE(opensDuringBox, 1);
        QCOMPARE(rig.summary(), QStringLiteral("held=c2/RINGING window=1 ring=1 sent=invite:u1-u2 "
                                               "balloons=1 beeps=1 boxes=1"));
    }

    // A call error's teardown is for the call held when the error came, not one that rang in while
    // its box was open.
    void errorBoxKeepsANewCall() {
        CallRig rig;
        QTimer::singleShot(0, &rig.main, [&] { rig.calls->update(rec::ringingIn()); });
        rig.calls->callError({{"message", "Ошибка"}});
        QCOMPARE(rig.summary(),
                 QStringLiteral("held=c1/RINGING window=1 ring=1 balloons=1 beeps=1 boxes=1"));
    }

    void finishResetsMediaAndScreen() {
        CallRig rig;
        run(rig, {record(rec::ringingIn()), answer, record(rec::activeHere())});
        NativeCalls &c = *rig.calls;
        c.screenTimer.start(500);
        QPixmap image(8, 8);
        image.fill(Qt::red);
        c.screenLabel.setPixmap(image);
        c.screenButton.setText(QStringLiteral("Остановить демонстрацию"));
        c.audioQueues[QStringLiteral("u2")].enqueue(QByteArray(320, 'a'));
        c.lastAudioSeq[QStringLiteral("u2")] = 7;
        c.muted = true;
        const qsizetype sentBefore = rig.frames.size();
        c.finish();
        QVERIFY(!c.screenTimer.isActive());
        QVERIFY(c.screenLabel.pixmap().isNull());
        QCOMPARE(c.screenButton.text(), QStringLiteral("Показать экран"));
        QVERIFY(c.audioQueues.isEmpty());
        QVERIFY(c.lastAudioSeq.isEmpty());
        QCOMPARE(rig.summary(), QStringLiteral("sent=accept:c1 balloons=1 beeps=1"));
        QCOMPARE(rig.frames.size(), sentBefore);
        // The user's own choice stays until the next dial resets it.
        QVERIFY(c.muted);
        c.micButton.setText(QStringLiteral("Микрофон выключен"));
        run(rig, {dial});
        QVERIFY(!c.muted);
        QCOMPARE(c.micButton.text(), QStringLiteral("Микрофон включён"));
        QCOMPARE(rig.lastCall(), (QJsonObject{{"action", "invite"}, {"chatId", "u1-u2"}}));
    }
};

QTEST_MAIN(CallStateTest)
#include "tst_callstate.moc"
