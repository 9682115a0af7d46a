// The call logic of one client, step by step (records stand for the server; the other steps are
// the user's actions and the channel's events), the call record rules, and the call window.
#include "calls/callrecord.h"
#include "tests/support/testkit.h"

#include <QMenu>
#include <QRegularExpression>

using Step = std::function<void(CallClient &)>;
using Steps = QList<Step>;
Q_DECLARE_METATYPE(Steps)

namespace {

// The signed-in user is u1 on device "sidA"; "sidB" is another of u1's devices, "sidX" the other
// side's.
QJsonObject member(const QString &user, const QString &state, const QString &device = {}) {
    static const QHash<QString, QString> names{{"u1", "Анна"}, {"u2", "Борис"}, {"u3", "Вера"}};
    return {{"userId", user},
            {"name", names.value(user, user)},
            {"state", state},
            {"deviceId", device}};
}
QJsonObject call(const QString &id, const QString &state, const QString &caller,
                 const QJsonObject &first, const QJsonObject &second) {
    return {{"id", id},
            {"chatId", "u1-u2"},
            {"state", state},
            {"callerId", caller},
            {"members", QJsonArray{first, second}},
            {"acceptedAt", state == "ACTIVE" ? "2024-05-01T10:00:00.000Z" : ""}};
}
QJsonObject ringingIn(const QString &id = "c1") {
    return call(id, "RINGING", "u2", member("u2", "JOINED", "sidX"), member("u1", "INVITED"));
}
QJsonObject activeHere(const QString &id = "c1") {
    return call(id, "ACTIVE", "u2", member("u2", "JOINED", "sidX"), member("u1", "JOINED", "sidA"));
}
QJsonObject placed(const QString &state = "RINGING") {
    return call(
        "c1", state, "u1", member("u1", "JOINED", "sidA"),
        member("u2", state == "ACTIVE" ? "JOINED" : "INVITED", state == "ACTIVE" ? "sidX" : ""));
}
QJsonObject with(QJsonObject r, const char *key, const QJsonValue &value) {
    r.insert(QLatin1String(key), value);
    return r;
}
// The record with u1's entry replaced.
QJsonObject ownAs(QJsonObject r, const QJsonValue &state, const QString &device) {
    QJsonArray members = r["members"].toArray();
    for (qsizetype i = 0; i < members.size(); ++i) {
        QJsonObject m = members.at(i).toObject();
        if (m["userId"] == "u1")
            members.replace(i, with(with(m, "state", state), "deviceId", device));
    }
    return with(r, "members", members);
}

Step record(const QJsonObject &r) {
    return [r](CallClient &c) { c.calls->update(r); };
}
Step list(const QJsonValue &items) {
    return [items](CallClient &c) { c.calls->reconcile({{"items", items}}); };
}
Step error(const QJsonValue &message) {
    return [message](CallClient &c) { c.calls->callError({{"message", message}}); };
}
Step after(int ms) {
    return [ms](CallClient &) { QTest::qWait(ms); };
}
const Step dial = [](CallClient &c) { c.calls->dial("u1-u2", QStringLiteral("Борис Орлов")); };
const Step answer = [](CallClient &c) { c.calls->answerButton.click(); };
const Step decline = [](CallClient &c) { c.calls->declineButton.click(); };
const Step hangUp = [](CallClient &c) { c.calls->hangupButton.click(); };
const Step trayEnd = [](CallClient &c) { c.calls->tray.contextMenu()->actions().at(1)->trigger(); };
const Step showWindow = [](CallClient &c) { c.calls->callDialog.show(); };
const Step micFails = [](CallClient &c) { c.audio->failOpen = true; };
const Step offline = [](CallClient &c) { c.calls->connected = false; };
const Step dropAndResume = [](CallClient &c) { // ready again on the same device id
    c.calls->onDisconnected();
    c.calls->reconnectTimer.stop();
    c.calls->connected = true;
};

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

// Runs the application's own loop, as the program does, until it is asked to quit; false if
// nobody asks in time. (Its exec() also clears the quit flag that would end every later loop.)
bool quitRequested() {
    QTimer limit;
    QObject::connect(&limit, &QTimer::timeout, &limit, [] { QCoreApplication::exit(1); });
    limit.start(5000);
    return QCoreApplication::exec() == 0;
}

} // namespace

class CallStateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    void records_data() {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("expected");
        const QJsonObject ringing = ringingIn(), ringing2 = ringingIn("c2"), active = activeHere();
        const Steps talking{record(ringing), answer, record(active)};
        const QString rang = "balloons=1 beeps=1";
        const QString stillRinging = "held=c1/RINGING window=1 ring=1 " + rang;
        const QString inCall = "held=c1/ACTIVE callId=c1 window=1 media=1 sent=accept:c1 " + rang;
        const QString idle;
        QJsonObject third = ringing;
        QJsonArray members = third["members"].toArray();
        members.append(member("u3", "INVITED"));
        third["members"] = members;
        row("incoming while hidden: balloon, window, one beep", Steps{record(ringing)},
            stillRinging);
        row("incoming while the window shows: no balloon", Steps{showWindow, record(ringing)},
            QStringLiteral("held=c1/RINGING window=1 ring=1 beeps=1"));
        row("second record of a ringing call does not beep again",
            Steps{record(ringing), record(third)}, stillRinging);
        row("record without the user",
            Steps{record(with(third, "members", QJsonArray{members[0], members[2]}))}, idle);
        row("ENDED listing the user while idle hides the window",
            Steps{showWindow, record(with(ringing, "state", "ENDED"))}, idle);
        row("another call while one is held, even ENDED",
            Steps{record(ringing), record(ringing2), record(with(ringing2, "state", "ENDED"))},
            stillRinging);
        row("held call ENDED", Steps{record(ringing), record(with(ringing, "state", "ENDED"))},
            rang);
        row("own entry LEFT", Steps{record(ringing), record(ownAs(ringing, "LEFT", {}))}, rang);
        row("own entry DECLINED", Steps{record(ringing), record(ownAs(ringing, "DECLINED", {}))},
            rang);
        row("lower-case left is another device's",
            Steps{record(ringing), record(ownAs(ringing, "left", {}))}, stillRinging);
        row("JOINED on another device while ringing",
            Steps{record(ringing), record(ownAs(active, "JOINED", "sidB"))}, stillRinging);
        row("another device's conversation while idle",
            Steps{record(ownAs(active, "JOINED", "sidB"))}, idle);
        row("answer, then ACTIVE here starts the voice", talking, inCall);
        row("answered: the next ringing record stops the beeps",
            Steps{record(ringing), answer, record(ringing)},
            "held=c1/RINGING callId=c1 window=1 sent=accept:c1 " + rang);
        row("decline", Steps{record(ringing), decline}, "sent=decline:c1 " + rang);
        row("hang up a conversation", talking + Steps{hangUp}, "sent=accept:c1,leave:c1 " + rang);
        row("dial", Steps{dial}, QStringLiteral("pending=1 window=1 sent=invite:u1-u2"));
        row("dial, record on this device", Steps{dial, record(placed())},
            QStringLiteral("held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2"));
        row("dial, answered by the other side",
            Steps{dial, record(placed()), record(placed("ACTIVE"))},
            QStringLiteral("held=c1/ACTIVE callId=c1 window=1 media=1 sent=invite:u1-u2"));
        row("dial, record showing another device keeps waiting",
            Steps{dial, record(ownAs(placed(), "JOINED", "sidB"))},
            QStringLiteral("held=c1/RINGING pending=1 window=1 sent=invite:u1-u2"));
        row("dial while offline: box, nothing sent", Steps{offline, dial},
            QStringLiteral("boxes=1"));
        row("dial while a call is held only shows the window", Steps{record(ringing), dial},
            stillRinging);
        row("dial while an invite is pending sends no second", Steps{dial, dial},
            QStringLiteral("pending=1 window=1 sent=invite:u1-u2"));
        row("hang up while dialing, late record is left", Steps{dial, hangUp, record(placed())},
            QStringLiteral("abandoned=1 sent=invite:u1-u2,leave,leave:c1"));
        row("hang up while dialing, someone else's call still rings",
            Steps{dial, hangUp, record(ringing2)},
            "held=c2/RINGING abandoned=1 window=1 ring=1 sent=invite:u1-u2,leave " + rang);
        row("end from the tray while dialing, late record is adopted",
            Steps{dial, trayEnd, record(placed())},
            QStringLiteral("held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2,leave"));
        row("conversation survives a lost connection and resumes",
            talking + Steps{dropAndResume, record(active)}, inCall);
        row("list: empty tears the held call down", Steps{record(ringing), list(QJsonArray())},
            rang);
        row("list: items not an array tears it down", Steps{record(ringing), list("c1")}, rang);
        row("list: empty keeps a pending invite", Steps{dial, list(QJsonArray())},
            QStringLiteral("pending=1 window=1 sent=invite:u1-u2"));
        row("list: naming the held call keeps it", talking + Steps{list(QJsonArray{active})},
            inCall);
        row("list: only other calls tears down, adopts none",
            Steps{record(ringing), list(QJsonArray{ringing2})}, rang);
        row("list: a ringing call while idle is adopted", Steps{list(QJsonArray{ringing})},
            stillRinging);
        row("list: garbage items change nothing",
            Steps{list(QJsonArray{1, "c1", QJsonValue(), QJsonArray(), QJsonObject()})}, idle);
        row("error while dialing ends the dial", Steps{dial, error("Чат не найден")},
            QStringLiteral("sent=invite:u1-u2 boxes=1"));
        row("error with a non-text message while ringing ends the call",
            Steps{record(ringing), error(42)}, rang + " boxes=1");
        row("error during a conversation keeps it", talking + Steps{error("Звонок не найден")},
            inCall + " boxes=1");
        row("voice start fails: box, leave, idle", Steps{micFails} + talking,
            "sent=accept:c1,leave:c1 " + rang + " boxes=1");
        row("bad: members not an array", Steps{record(with(ringing, "members", "u1"))}, idle);
        row("bad: own userId a number",
            Steps{record(with(ringing, "members",
                              QJsonArray{QJsonObject{{"userId", 1}, {"state", "INVITED"}}}))},
            idle);
        row("bad: call state a number is not ENDED",
            Steps{record(ringing), record(with(ringing, "state", 5))},
            "held=c1/ window=1 ring=1 " + rang);
        row("bad: lower-case active starts no voice",
            Steps{record(ringing), answer, record(with(active, "state", "active"))},
            "held=c1/active callId=c1 window=1 sent=accept:c1 " + rang);
        // Every dial has its own wait: an earlier dial's wait must not end a later one.
        row("dial, no record: gives up with a box", Steps{dial, after(1500)},
            QStringLiteral("abandoned=1 sent=invite:u1-u2 boxes=1"));
        row("given up, then the late record is left", Steps{dial, after(1500), record(placed())},
            QStringLiteral("abandoned=1 sent=invite:u1-u2,leave:c1 boxes=1"));
        row("record in time: the wait does nothing", Steps{dial, record(placed()), after(1500)},
            QStringLiteral("held=c1/RINGING callId=c1 window=1 sent=invite:u1-u2"));
        row("redial: the first wait leaves the second alone",
            Steps{dial, hangUp, after(600), dial, after(700)},
            QStringLiteral("pending=1 window=1 sent=invite:u1-u2,leave,invite:u1-u2"));
    }
    void records() {
        QFETCH(Steps, steps);
        QFETCH(QString, expected);
        CallClient client;
        client.offline();
        client.calls->dialWaitMs = 1000;
        for (const Step &step : steps)
            step(client);
        QCOMPARE(summary(client), expected);
    }

    // While a box is open the event loop runs: records of the same call must not try the devices
    // again, and a call that arrived meanwhile is neither left nor torn down when it closes.
    void boxesActOnTheirOwnCall() {
        {
            CallClient voiceFails;
            voiceFails.offline();
            voiceFails.audio->failOpen = true;
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
            QCOMPARE(summary(voiceFails),
                     QStringLiteral("held=c2/RINGING window=1 ring=1 sent=invite:u1-u2 balloons=1 "
                                    "beeps=1 boxes=1"));
        }
        CallClient errorBox;
        errorBox.offline();
        QTimer::singleShot(0, &errorBox.main, [&] { errorBox.calls->update(ringingIn()); });
        errorBox.calls->callError({{"message", "Ошибка"}});
        QCOMPARE(summary(errorBox),
                 QStringLiteral("held=c1/RINGING window=1 ring=1 balloons=1 beeps=1 boxes=1"));
    }

    // The end of a call resets media, screen and queues but keeps the user's mute until the next
    // dial; a conversation pings with its id and the time, and its duration ticks.
    void inCall() {
        CallClient client;
        client.offline();
        NativeCalls &c = *client.calls;
        QJsonObject active = activeHere();
        active["acceptedAt"] =
            QDateTime::currentDateTimeUtc().addMSecs(-62000).toString(Qt::ISODateWithMs);
        for (const Step &step : {record(ringingIn()), answer, record(active)})
            step(client);
        QCOMPARE(c.callStatusLabel.text(), QStringLiteral("Разговор"));
        QVERIFY(waitUntil([&] { return c.callStatusLabel.text().startsWith("Разговор · 01:0"); },
                          3000));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        c.sendPing();
        QJsonObject ping = client.sentEvents("native_call").last();
        const QJsonValue sentAt = ping.take("sentAt");
        QCOMPARE(ping, (QJsonObject{{"action", "ping"}, {"id", "c1"}}));
        QVERIFY(sentAt.isDouble() && sentAt.toInteger() >= before &&
                sentAt.toInteger() <= QDateTime::currentMSecsSinceEpoch());
        c.pong({{"sentAt", QDateTime::currentMSecsSinceEpoch() - 250}});
        const QRegularExpression latency("^Задержка: (\\d+) мс$");
        const qint64 ms = latency.match(c.callStatusLabel.toolTip()).captured(1).toLongLong();
        QVERIFY2(ms >= 250 && ms < 60000, qPrintable(c.callStatusLabel.toolTip()));

        c.screenTimer.start(500);
        QPixmap image(8, 8);
        image.fill(Qt::red);
        c.screenLabel.setPixmap(image);
        c.audioQueues["u2"].enqueue(QByteArray(320, 'a'));
        c.lastAudioSeq["u2"] = 7;
        c.muted = true;
        const qsizetype sentBefore = client.sent.size();
        c.finish();
        QVERIFY(!c.screenTimer.isActive() && c.screenLabel.pixmap().isNull());
        QVERIFY(c.audioQueues.isEmpty() && c.lastAudioSeq.isEmpty());
        QCOMPARE(summary(client), QStringLiteral("sent=accept:c1,ping:c1 balloons=1 beeps=1"));
        QCOMPARE(client.sent.size(), sentBefore);
        QVERIFY(latency.match(c.callStatusLabel.toolTip()).hasMatch());
        QVERIFY(c.muted);
        dial(client);
        QVERIFY(!c.muted);
        QCOMPARE(client.sentEvents("native_call").last(),
                 (QJsonObject{{"action", "invite"}, {"chatId", "u1-u2"}}));
    }

    // Title / status / member lines / buttons shown, as the records arrive.
    void window_data() {
        QTest::addColumn<QJsonObject>("record");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QString>("expected");
        const QString inCall = QStringLiteral("Микрофон включён,Показать экран,Завершить");
        row("incoming: first member who is not the user", ringingIn(), false,
            QStringLiteral("Борис / Входящий звонок / Борис · в разговоре, Анна · приглашён / "
                           "Ответить,Отклонить"));
        row("own call ringing: first member who is not the caller", placed(), false,
            "Борис / Вызываем… / Анна · в разговоре, Борис · приглашён / " + inCall);
        row("own call active", placed("ACTIVE"), false,
            "Борис / Разговор / Анна · в разговоре, Борис · в разговоре / " + inCall);
        row("someone else's call joined here: the user's own name", activeHere(), true,
            "Анна / Разговор / Борис · в разговоре, Анна · в разговоре / " + inCall);
    }
    void window() {
        QFETCH(QJsonObject, record);
        QFETCH(bool, answered);
        QFETCH(QString, expected);
        CallClient client;
        NativeCalls &c = *client.offline(answered ? record["id"].toString() : QString()).calls;
        c.update(record);
        QStringList shown;
        for (const QPushButton *b :
             {&c.answerButton, &c.declineButton, &c.micButton, &c.screenButton, &c.hangupButton})
            if (!b->isHidden())
                shown << b->text();
        QCOMPARE(QStringList({c.titleLabel.text(), c.callStatusLabel.text(),
                              c.membersLabel.text().replace('\n', ", "), shown.join(',')})
                     .join(" / "),
                 expected);
        QVERIFY(c.callDialog.isVisible());
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
        QVERIFY(quitRequested());
    }

    // "function|record|user|expected", expected lines joined by ", ".
    void recordRules_data() {
        QTest::addColumn<QString>("function");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("expected");
        row("lines: every state", "lines",
            QByteArray(
                R"({"members":[{"name":"А","state":"JOINED"},{"name":"Б","state":"INVITED"},{"name":"В","state":"LEFT"},{"name":"Г","state":"DECLINED"}]})"),
            "", "А · в разговоре, Б · приглашён, В · вышел, Г · вышел");
        row("lines: odd states read as left", "lines",
            QByteArray(
                R"({"members":[{"name":"a","state":"joined"},{"name":"b","state":7},{"name":"c"},{"name":"e","state":"JOINED "},{"name":"f","state":["JOINED"]}]})"),
            "", "a · вышел, b · вышел, c · вышел, e · вышел, f · вышел");
        row("lines: odd names and entries", "lines",
            QByteArray(R"({"members":[{"state":"JOINED"},1,null,{"name":5,"state":"INVITED"}]})"),
            "", " · в разговоре,  · приглашён");
        row("lines: members not an array", "lines",
            QByteArray(R"({"members":{"name":"a","state":"JOINED"}})"), "", "");
        row("own: last of several wins", "own",
            QByteArray(
                R"({"members":[{"userId":"u1","n":1},{"userId":"u2"},{"userId":"u1","n":2}]})"),
            "u1", R"({"n":2,"userId":"u1"})");
        row("own: id of another type or case", "own",
            QByteArray(R"({"members":[{"userId":1},{"userId":["u1"]},{"userId":"U1"}]})"), "u1",
            "none");
        row("own: nobody signed in", "own",
            QByteArray(R"({"members":[{"name":"x"},{"userId":""}]})"), "", "none");
        const QByteArray three =
            R"({"members":[{"userId":"u1","name":"Анна"},{"userId":"u2","name":"Борис"},{"userId":"u3","name":"Вера"}]})";
        row("title: reference in the middle", "title", three, "u2", "Анна");
        row("title: everyone is the reference", "title",
            QByteArray(R"({"members":[{"userId":"u1","name":"Анна"},{"userId":"u1"}]})"), "u1",
            "Звонок Tovik");
        row("title: member without id counts as someone else", "title",
            QByteArray(R"({"members":[{"name":"Некто"},{"userId":"u2"}]})"), "u2", "Некто");
        for (const auto &[at, text] :
             {std::pair{"2024-05-01T10:00:00.000Z", "75:03"},
              std::pair{"2024-05-01T11:14:56.001Z", "00:06"},
              std::pair{"2024-05-01T12:00:00.000Z", "00:00"},
              std::pair{"2024-05-01T13:14:00.000+02:00", "01:03"}, std::pair{"yesterday", "00:00"},
              std::pair{"2024-04-30T11:15:03.000Z", "1440:00"}})
            row(at, "duration", "{\"acceptedAt\":\"" + QByteArray(at) + "\"}", "",
                QStringLiteral("Разговор · ") + text);
        row("duration: number", "duration", QByteArray(R"({"acceptedAt":1714557600000})"), "",
            "Разговор · 00:00");
    }
    void recordRules() {
        QFETCH(QString, function);
        QFETCH(QByteArray, record);
        QFETCH(QString, user);
        QFETCH(QString, expected);
        const QJsonObject r = json(record);
        QString seen;
        if (function == "lines") {
            seen = callrecord::memberLines(r).join(", ");
        } else if (function == "own") {
            const auto own = callrecord::ownEntry(r, user);
            seen = own ? QString::fromUtf8(QJsonDocument(*own).toJson(QJsonDocument::Compact))
                       : "none";
        } else if (function == "title") {
            seen = callrecord::title(r, user);
        } else {
            seen = callrecord::durationText(
                r["acceptedAt"],
                QDateTime::fromString("2024-05-01T11:15:03.000Z", Qt::ISODateWithMs));
        }
        QCOMPARE(seen, expected);
    }
};

QTEST_MAIN(CallStateTest)
#include "tst_callstate.moc"
