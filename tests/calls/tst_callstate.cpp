#include "tests/calls/callrig.h"

#include <QMenu>
#include <QPixmap>
#include <QTest>

// What happens to one client, step by step. Records stand for the server; the other steps are the
// user's actions and the channel's events.
struct Step {
    enum Kind {
        Record,
        List,
        Error,
        Dial,
        Answer,
        Decline,
        HangUp,
        TrayEnd,
        ShowWindow,
        MicFails,
        Offline,
        Disconnect,
        Sleep,
    };
    Kind kind = Record;
    QJsonObject data;
    int ms = 0;
};
Q_DECLARE_METATYPE(Step)

namespace {

using Steps = QList<Step>;

Step record(const QJsonObject &r) {
    return {Step::Record, r, 0};
}
Step list(const QJsonValue &items) {
    return {Step::List, {{QStringLiteral("items"), items}}, 0};
}
Step listOf(const QList<QJsonObject> &records) {
    QJsonArray items;
    for (const QJsonObject &r : records)
        items.append(r);
    return list(items);
}
Step error(const QJsonValue &message) {
    return {Step::Error, {{QStringLiteral("message"), message}}, 0};
}
Step act(Step::Kind kind) {
    return {kind, {}, 0};
}
Step sleep(int ms) {
    return {Step::Sleep, {}, ms};
}

QJsonObject with(QJsonObject r, const QString &key, const QJsonValue &value) {
    r.insert(key, value);
    return r;
}

// The record with u1's entry replaced.
QJsonObject ownAs(QJsonObject r, const QJsonValue &state, const QString &device) {
    QJsonArray members = r.value(QStringLiteral("members")).toArray();
    for (qsizetype i = 0; i < members.size(); ++i) {
        QJsonObject m = members.at(i).toObject();
        if (m.value(QStringLiteral("userId")) == QJsonValue(QStringLiteral("u1"))) {
            m.insert(QStringLiteral("state"), state);
            m.insert(QStringLiteral("deviceId"), device);
            members.replace(i, m);
        }
    }
    r.insert(QStringLiteral("members"), members);
    return r;
}

void run(CallRig &rig, const Steps &steps) {
    NativeCalls &c = *rig.calls;
    for (const Step &step : steps) {
        switch (step.kind) {
        case Step::Record:
            c.update(step.data);
            break;
        case Step::List:
            c.reconcile(step.data);
            break;
        case Step::Error:
            c.callError(step.data);
            break;
        case Step::Dial:
            c.dial(QStringLiteral("u1-u2"), QStringLiteral("Борис Орлов"));
            break;
        case Step::Answer:
            c.answerButton.click();
            break;
        case Step::Decline:
            c.declineButton.click();
            break;
        case Step::HangUp:
            c.hangupButton.click();
            break;
        case Step::TrayEnd:
            c.tray.contextMenu()->actions().at(1)->trigger();
            break;
        case Step::ShowWindow:
            c.callDialog.show();
            break;
        case Step::MicFails:
            rig.audio->failOpen = true;
            break;
        case Step::Offline:
            c.connected = false;
            break;
        case Step::Disconnect:
            c.onDisconnected();
            c.reconnectTimer.stop();
            // Ready again on the same device id, as after "sync" and "resume".
            c.connected = true;
            break;
        case Step::Sleep:
            QTest::qWait(step.ms);
            break;
        }
    }
}

const QString idle = QStringLiteral(
    "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] balloons=0 beeps=0 "
    "boxes=0");

} // namespace

class CallStateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { callrig::quietPlatform(); }

    void records_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("expected");

        const QJsonObject ringing = rec::ringingIn();
        QTest::newRow("incoming while hidden: balloon, window, one beep")
            << Steps{record(ringing)}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("incoming while the window shows: no balloon")
            << Steps{act(Step::ShowWindow), record(ringing)}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=0 beeps=1 boxes=0";
        QJsonObject third = ringing;
        QJsonArray members = third.value(QStringLiteral("members")).toArray();
        members.append(rec::member(QStringLiteral("u3"), QStringLiteral("INVITED")));
        third.insert(QStringLiteral("members"), members);
        QTest::newRow("second record of a ringing call does not beep again")
            << Steps{record(ringing), record(third)}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("record without the user")
            << Steps{record(
                   rec::call(QStringLiteral("c1"), QStringLiteral("RINGING"), QStringLiteral("u2"),
                             {rec::member(QStringLiteral("u2"), QStringLiteral("JOINED"),
                                          QStringLiteral("sidX")),
                              rec::member(QStringLiteral("u3"), QStringLiteral("INVITED"))}))}
            << idle;
        QTest::newRow("ENDED listing the user while idle hides the window")
            << Steps{act(Step::ShowWindow),
                     record(with(ringing, QStringLiteral("state"), QStringLiteral("ENDED")))}
            << idle;
        QTest::newRow("another call while one is held, even ENDED")
            << Steps{record(ringing), record(rec::ringingIn(QStringLiteral("c2"))),
                     record(with(rec::ringingIn(QStringLiteral("c2")), QStringLiteral("state"),
                                 QStringLiteral("ENDED")))}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("held call ENDED")
            << Steps{record(ringing),
                     record(with(ringing, QStringLiteral("state"), QStringLiteral("ENDED")))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("own entry LEFT")
            << Steps{record(ringing), record(ownAs(ringing, QStringLiteral("LEFT"), {}))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("own entry DECLINED")
            << Steps{record(ringing), record(ownAs(ringing, QStringLiteral("DECLINED"), {}))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("lower-case left is not LEFT: ignored as another device")
            << Steps{record(ringing), record(ownAs(ringing, QStringLiteral("left"), {}))}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("JOINED on another device while ringing is ignored")
            << Steps{record(ringing), record(ownAs(rec::activeHere(), QStringLiteral("JOINED"),
                                                   QStringLiteral("sidB")))}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("another device's conversation while idle is ignored")
            << Steps{record(
                   ownAs(rec::activeHere(), QStringLiteral("JOINED"), QStringLiteral("sidB")))}
            << idle;
        QTest::newRow("answer, then ACTIVE here starts the voice")
            << Steps{record(ringing), act(Step::Answer), record(rec::activeHere())}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=0";
        QTest::newRow("answered: the next ringing record stops the beeps")
            << Steps{record(ringing), act(Step::Answer), record(ringing)}
            << "held=c1/RINGING callId=c1 pending=0 abandoned=0 window=1 ring=0 media=0 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=0";
        QTest::newRow("decline")
            << Steps{record(ringing), act(Step::Decline)}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[decline:c1] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("hang up a conversation")
            << Steps{record(ringing), act(Step::Answer), record(rec::activeHere()),
                     act(Step::HangUp)}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 "
               "sent=[accept:c1,leave:c1] balloons=1 beeps=1 boxes=0";

        QTest::newRow("dial") << Steps{act(Step::Dial)}
                              << "held=- callId=- pending=1 abandoned=0 window=1 ring=0 media=0 "
                                 "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("dial, record on this device")
            << Steps{act(Step::Dial), record(rec::placed())}
            << "held=c1/RINGING callId=c1 pending=0 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("dial, answered by the other side")
            << Steps{act(Step::Dial), record(rec::placed()), record(rec::placedActive())}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("dial, first record already ACTIVE")
            << Steps{act(Step::Dial), record(rec::placedActive())}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("dial, record showing another device keeps waiting")
            << Steps{act(Step::Dial),
                     record(ownAs(rec::placed(), QStringLiteral("JOINED"), QStringLiteral("sidB")))}
            << "held=c1/RINGING callId=- pending=1 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("dial while offline: box, nothing sent")
            << Steps{act(Step::Offline), act(Step::Dial)}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=0 beeps=0 boxes=1";
        QTest::newRow("dial while a call is held only shows the window")
            << Steps{record(ringing), act(Step::Dial)}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("dial while an invite is pending sends no second invite")
            << Steps{act(Step::Dial), act(Step::Dial)}
            << "held=- callId=- pending=1 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("hang up while dialing, late record is left")
            << Steps{act(Step::Dial), act(Step::HangUp), record(rec::placed())}
            << "held=- callId=- pending=0 abandoned=1 window=0 ring=0 media=0 "
               "sent=[invite:u1-u2,leave,leave:c1] balloons=0 beeps=0 boxes=0";
        QTest::newRow("hang up while dialing, late ringing record of own call is left")
            << Steps{act(Step::Dial), act(Step::HangUp),
                     record(with(ringing, QStringLiteral("callerId"), QStringLiteral("u1")))}
            << "held=- callId=- pending=0 abandoned=1 window=0 ring=0 media=0 "
               "sent=[invite:u1-u2,leave,leave:c1] balloons=0 beeps=0 boxes=0";
        QTest::newRow("hang up while dialing, someone else's call still rings")
            << Steps{act(Step::Dial), act(Step::HangUp),
                     record(rec::ringingIn(QStringLiteral("c2")))}
            << "held=c2/RINGING callId=- pending=0 abandoned=1 window=1 ring=1 media=0 "
               "sent=[invite:u1-u2,leave] balloons=1 beeps=1 boxes=0";
        QTest::newRow("end from the tray while dialing, late record is adopted")
            << Steps{act(Step::Dial), act(Step::TrayEnd), record(rec::placed())}
            << "held=c1/RINGING callId=c1 pending=0 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2,leave] balloons=0 beeps=0 boxes=0";
        QTest::newRow("end from the tray with no call")
            << Steps{act(Step::TrayEnd)}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[leave] "
               "balloons=0 beeps=0 boxes=0";
        QTest::newRow("conversation survives a lost connection and resumes")
            << Steps{record(ringing), act(Step::Answer), record(rec::activeHere()),
                     act(Step::Disconnect), record(rec::activeHere())}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=0";

        QTest::newRow("list: empty tears the held call down")
            << Steps{record(ringing), list(QJsonArray())}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("list: items missing counts as empty")
            << Steps{record(ringing), {Step::List, {}, 0}}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("list: empty keeps a pending invite")
            << Steps{act(Step::Dial), list(QJsonArray())}
            << "held=- callId=- pending=1 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0";
        QTest::newRow("list: naming the held call keeps it")
            << Steps{record(ringing), act(Step::Answer), record(rec::activeHere()),
                     listOf({rec::activeHere()})}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=0";
        QTest::newRow("list: only other calls tears the held call down, adopts none")
            << Steps{record(ringing), listOf({rec::ringingIn(QStringLiteral("c2"))})}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("list: a ringing call while idle is adopted and kept")
            << Steps{listOf({rec::ringingIn()})}
            << "held=c1/RINGING callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("list: garbage items change nothing")
            << Steps{list(
                   QJsonArray{1, QStringLiteral("c1"), QJsonValue(), QJsonArray(), QJsonObject()})}
            << idle;
        QTest::newRow("list: items not an array tears the held call down")
            << Steps{record(ringing), list(QStringLiteral("c1"))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";

        QTest::newRow("error while dialing ends the dial")
            << Steps{act(Step::Dial), error(QStringLiteral("Чат не найден"))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=1";
        QTest::newRow("error while ringing ends the call here")
            << Steps{record(ringing), error(QStringLiteral("Звонок не найден"))}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=1";
        QTest::newRow("error during a conversation keeps it")
            << Steps{record(ringing), act(Step::Answer), record(rec::activeHere()),
                     error(QStringLiteral("Звонок не найден"))}
            << "held=c1/ACTIVE callId=c1 pending=0 abandoned=0 window=1 ring=0 media=1 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=1";
        QTest::newRow("error with a message that is not text")
            << Steps{record(ringing), error(42)}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=1";

        QTest::newRow("voice start fails: box, leave, idle")
            << Steps{act(Step::MicFails), record(ringing), act(Step::Answer),
                     record(rec::activeHere())}
            << "held=- callId=- pending=0 abandoned=0 window=0 ring=0 media=0 "
               "sent=[accept:c1,leave:c1] balloons=1 beeps=1 boxes=1";

        QTest::newRow("bad: empty record") << Steps{record(QJsonObject())} << idle;
        QTest::newRow("bad: members not an array")
            << Steps{record(with(ringing, QStringLiteral("members"), QStringLiteral("u1")))}
            << idle;
        QTest::newRow("bad: own userId a number")
            << Steps{record(
                   rec::call(QStringLiteral("c1"), QStringLiteral("RINGING"), QStringLiteral("u2"),
                             {QJsonObject{{QStringLiteral("userId"), 1},
                                          {QStringLiteral("state"), QStringLiteral("INVITED")}}}))}
            << idle;
        QTest::newRow("bad: call state a number is not ENDED")
            << Steps{record(ringing), record(with(ringing, QStringLiteral("state"), 5))}
            << "held=c1/ callId=- pending=0 abandoned=0 window=1 ring=1 media=0 sent=[] "
               "balloons=1 beeps=1 boxes=0";
        QTest::newRow("bad: own state a number on another device is ignored")
            << Steps{record(ownAs(ringing, 1, QStringLiteral("sidB")))} << idle;
        QTest::newRow("bad: ACTIVE in lower case does not start the voice")
            << Steps{record(ringing), act(Step::Answer),
                     record(with(rec::activeHere(), QStringLiteral("state"),
                                 QStringLiteral("active")))}
            << "held=c1/active callId=c1 pending=0 abandoned=0 window=1 ring=0 media=0 "
               "sent=[accept:c1] balloons=1 beeps=1 boxes=0";
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
            << Steps{act(Step::Dial), sleep(1500)}
            << "held=- callId=- pending=0 abandoned=1 window=0 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=1"
            << QStringList{noAnswer};
        QTest::newRow("given up, then the late record is left")
            << Steps{act(Step::Dial), sleep(1500), record(rec::placed())}
            << "held=- callId=- pending=0 abandoned=1 window=0 ring=0 media=0 "
               "sent=[invite:u1-u2,leave:c1] balloons=0 beeps=0 boxes=1"
            << QStringList{noAnswer};
        QTest::newRow("record in time: the wait does nothing")
            << Steps{act(Step::Dial), record(rec::placed()), sleep(1500)}
            << "held=c1/RINGING callId=c1 pending=0 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2] balloons=0 beeps=0 boxes=0"
            << QStringList{};
        QTest::newRow("redial: the first dial's wait leaves the second alone")
            << Steps{act(Step::Dial), act(Step::HangUp), sleep(600), act(Step::Dial), sleep(700)}
            << "held=- callId=- pending=1 abandoned=0 window=1 ring=0 media=0 "
               "sent=[invite:u1-u2,leave,invite:u1-u2] balloons=0 beeps=0 boxes=0"
            << QStringList{};
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

    void boxTexts_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("dial while offline")
            << Steps{act(Step::Offline), act(Step::Dial)}
            << QStringList{"Звонок|Соединяемся с сервером. Повторите через несколько "
                           "секунд.|information"};
        QTest::newRow("server error")
            << Steps{error(QStringLiteral("Вы уже участвуете в звонке"))}
            << QStringList{"Звонок|Вы уже участвуете в звонке|information"};
        QTest::newRow("voice start fails")
            << Steps{act(Step::MicFails), act(Step::Dial), record(rec::placedActive())}
            << QStringList{"Микрофон|Не удалось открыть микрофон или устройство воспроизведения. "
                           "Проверьте разрешения Windows.|warning"};
    }
    void boxTexts() {
        QFETCH(Steps, steps);
        QFETCH(QStringList, boxes);
        CallRig rig;
        run(rig, steps);
        QCOMPARE(rig.boxes, boxes);
    }

    void balloonText() {
        CallRig rig;
        run(rig, {record(rec::ringingIn())});
        QCOMPARE(rig.balloons,
                 QStringList{"Звонит Борис|Откройте Tovik, чтобы ответить|information|45000"});
    }

    void ringRhythmContinues() {
        CallRig rig;
        run(rig, {record(rec::ringingIn())});
        QCOMPARE(rig.calls->ringTimer.interval(), 2200);
        QVERIFY(rig.calls->ringTimer.isActive());
        QTest::qWait(400);
        run(rig, {record(rec::ringingIn())});
        QVERIFY2(
            rig.calls->ringTimer.remainingTime() < 2000,
            qPrintable(
                QStringLiteral("restarted: %1 ms left").arg(rig.calls->ringTimer.remainingTime())));
        QCOMPARE(rig.beeps, 1);
    }

    // While the failure box is open the event loop runs: records of the same call must not try
    // the devices again, and a call that arrived meanwhile must not be left when it closes.
    void voiceFailureBoxActsOnItsOwnCall() {
        CallRig rig;
        rig.audio->failOpen = true;
        run(rig, {act(Step::Dial)});
        int opensDuringBox = -1;
        QTimer::singleShot(0, &rig.main, [&] {
            // Runs inside the box's event loop.
            rig.calls->update(rec::placedActive());
            opensDuringBox = rig.audio->opens;
            rig.calls->update(
                with(rec::placedActive(), QStringLiteral("state"), QStringLiteral("ENDED")));
            rig.calls->update(rec::ringingIn(QStringLiteral("c2")));
        });
        rig.calls->update(rec::placedActive());
        QCOMPARE(opensDuringBox, 1);
        QCOMPARE(rig.sentActions(), QStringList{QStringLiteral("invite:u1-u2")});
        QCOMPARE(rig.calls->callRecord.value(QStringLiteral("id")).toString(),
                 QStringLiteral("c2"));
        QVERIFY(rig.calls->ringTimer.isActive());
    }

    // A call error's teardown is for the call held when the error came, not one that rang in while
    // its box was open.
    void errorBoxKeepsANewCall() {
        CallRig rig;
        QTimer::singleShot(0, &rig.main, [&] { rig.calls->update(rec::ringingIn()); });
        rig.calls->callError({{QStringLiteral("message"), QStringLiteral("Ошибка")}});
        QCOMPARE(rig.boxes.size(), 1);
        QCOMPARE(rig.calls->callRecord.value(QStringLiteral("id")).toString(),
                 QStringLiteral("c1"));
        QVERIFY(rig.calls->callDialog.isVisible());
    }

    void finishResetsMediaAndScreen() {
        CallRig rig;
        run(rig, {record(rec::ringingIn()), act(Step::Answer), record(rec::activeHere())});
        NativeCalls &c = *rig.calls;
        c.screenTimer.start(500);
        QPixmap image(8, 8);
        image.fill(Qt::red);
        c.screenLabel.setPixmap(image);
        c.screenButton.setText(QStringLiteral("Остановить демонстрацию"));
        c.audioQueues[QStringLiteral("u2")].enqueue(QByteArray(320, 'a'));
        c.lastAudioSeq[QStringLiteral("u2")] = 7;
        c.muted = true;
        c.dialAbandoned = true;
        const int sentBefore = rig.frames.size();
        c.finish();
        QVERIFY(!c.screenTimer.isActive());
        QVERIFY(c.screenLabel.pixmap().isNull());
        QCOMPARE(c.screenButton.text(), QStringLiteral("Показать экран"));
        QVERIFY(c.audioQueues.isEmpty());
        QVERIFY(c.lastAudioSeq.isEmpty());
        QVERIFY(!rig.audio->open);
        QVERIFY(!c.callDialog.isVisible());
        QCOMPARE(rig.frames.size(), sentBefore);
        // Left as they were: the flags of the user's own choices and the window's texts.
        QVERIFY(c.muted);
        QVERIFY(c.dialAbandoned);
        // Once answered, the title is the first member who is not the caller: here the user.
        QCOMPARE(c.titleLabel.text(), QStringLiteral("Анна"));
        QVERIFY(!c.hangupButton.isHidden());
    }

    void dialResetsMuteAndButtons() {
        CallRig rig;
        NativeCalls &c = *rig.calls;
        c.muted = true;
        c.micButton.setText(QStringLiteral("Микрофон выключен"));
        run(rig, {act(Step::Dial)});
        QVERIFY(!c.muted);
        QCOMPARE(c.micButton.text(), QStringLiteral("Микрофон включён"));
        QCOMPARE(c.titleLabel.text(), QStringLiteral("Борис Орлов"));
        QCOMPARE(c.callStatusLabel.text(), QStringLiteral("Вызываем…"));
        QVERIFY(c.answerButton.isHidden());
        QVERIFY(c.declineButton.isHidden());
        QVERIFY(c.micButton.isHidden());
        QVERIFY(c.screenButton.isHidden());
        QVERIFY(!c.hangupButton.isHidden());
        QCOMPARE(rig.lastCall(),
                 (QJsonObject{{QStringLiteral("action"), QStringLiteral("invite")},
                              {QStringLiteral("chatId"), QStringLiteral("u1-u2")}}));
    }

    // Actions carry the held record's id exactly as the server wrote it.
    void actionIdsAreCopiedUnchanged() {
        CallRig rig;
        QJsonObject ringing = rec::ringingIn();
        run(rig, {record(ringing), act(Step::Answer)});
        QCOMPARE(rig.lastCall(), (QJsonObject{{QStringLiteral("action"), QStringLiteral("accept")},
                                              {QStringLiteral("id"), QStringLiteral("c1")}}));
        QCOMPARE(rig.calls->callId, QStringLiteral("c1"));
    }
};

QTEST_MAIN(CallStateTest)
#include "tst_callstate.moc"
