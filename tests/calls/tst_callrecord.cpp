#include "calls/callrecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

QJsonObject parse(const char *json) {
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QString ownSummary(const QJsonObject &record, const QString &userId) {
    const auto own = callrecord::ownEntry(record, userId);
    if (!own)
        return QStringLiteral("none");
    return QString::fromUtf8(QJsonDocument(*own).toJson(QJsonDocument::Compact));
}

// Call c1 between u2 ("Борис") and the user u1 ("Анна"), whose own entry is given.
QJsonObject call(const char *state, const char *callerId, const char *own, const char *device) {
    const QJsonObject other{{"userId", "u2"}, {"name", "Борис"}, {"state", "JOINED"}};
    const QJsonObject self{
        {"userId", "u1"}, {"name", "Анна"}, {"state", own}, {"deviceId", device}};
    return {{"id", "c1"},
            {"state", state},
            {"callerId", callerId},
            {"members", QJsonArray{other, self}}};
}

// This device is "sidA" and the user "u1" unless "user" says otherwise; the rest comes from JSON.
callrecord::Situation situation(const QByteArray &json) {
    const QJsonObject o = parse(json.constData());
    callrecord::Situation now;
    now.heldId = o["held"].toString();
    now.userId = o["user"].toString(QStringLiteral("u1"));
    now.deviceId = QStringLiteral("sidA");
    now.callId = o["callId"].toString();
    now.dialPending = o["pending"].toBool();
    now.dialAbandoned = o["abandoned"].toBool();
    now.mediaActive = o["media"].toBool();
    if (o.contains("failed"))
        now.voiceFailedCall = o["failed"].toString();
    return now;
}

QString summary(const callrecord::Decision &d) {
    const char *names[] = {"Ignore", "Finish", "Leave", "Ring", "Answering", "Calling", "Talking"};
    QString s = QString::fromLatin1(names[int(d.action)]);
    if (!d.title.isEmpty())
        s += ' ' + d.title;
    return s + (d.adopt ? " adopt" : "") + (d.startVoice ? " voice" : "");
}

} // namespace

class CallRecordTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void memberLines_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("every state") << QByteArray(R"({"members":[
            {"name":"Анна","state":"JOINED"},{"name":"Борис","state":"INVITED"},
            {"name":"Вера","state":"LEFT"},{"name":"Глеб","state":"DECLINED"}]})")
                                     << QStringList{"Анна · в разговоре", "Борис · приглашён",
                                                    "Вера · вышел", "Глеб · вышел"};
        QTest::newRow("unknown and odd states read as left")
            << QByteArray(R"({"members":[{"name":"a","state":"joined"},{"name":"b","state":7},
                {"name":"c"},{"name":"d","state":"RINGING"},{"name":"e","state":"JOINED "},
                {"name":"f","state":["JOINED"]}]})")
            << QStringList{"a · вышел", "b · вышел", "c · вышел",
                           "d · вышел", "e · вышел", "f · вышел"};
        QTest::newRow("name missing or not text, entries not objects skipped")
            << QByteArray(R"({"members":[{"state":"JOINED"},1,null,{"name":5,"state":"INVITED"}]})")
            << QStringList{" · в разговоре", " · приглашён"};
        QTest::newRow("members not an array")
            << QByteArray(R"({"members":{"name":"a","state":"JOINED"}})") << QStringList{};
    }
    void memberLines() {
        QFETCH(QByteArray, record);
        QFETCH(QStringList, lines);
        QCOMPARE(callrecord::memberLines(parse(record.constData())), lines);
    }

    void ownEntry_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("own");
        QTest::newRow("last of several wins")
            << QByteArray(
                   R"({"members":[{"userId":"u1","n":1},{"userId":"u2"},{"userId":"u1","n":2}]})")
            << "u1"
            << R"({"n":2,"userId":"u1"})";
        QTest::newRow("id of another type or case")
            << QByteArray(R"({"members":[{"userId":1},{"userId":["u1"]},{"userId":"U1"}]})") << "u1"
            << "none";
        QTest::newRow("nobody signed in never matches a member without id")
            << QByteArray(R"({"members":[{"name":"x"},{"userId":""}]})") << ""
            << "none";
    }
    void ownEntry() {
        QFETCH(QByteArray, record);
        QFETCH(QString, userId);
        QFETCH(QString, own);
        QCOMPARE(ownSummary(parse(record.constData()), userId), own);
    }

    void title_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<QString>("title");
        const QByteArray three = R"({"members":[{"userId":"u1","name":"Анна"},
            {"userId":"u2","name":"Борис"},{"userId":"u3","name":"Вера"}]})";
        QTest::newRow("reference in the middle") << three << "u2"
                                                 << "Анна";
        QTest::newRow("everyone is the reference")
            << QByteArray(R"({"members":[{"userId":"u1","name":"Анна"},{"userId":"u1"}]})") << "u1"
            << "Звонок Tovik";
        QTest::newRow("member without id counts as someone else")
            << QByteArray(R"({"members":[{"name":"Некто"},{"userId":"u2","name":"Борис"}]})")
            << "u2"
            << "Некто";
    }
    void title() {
        QFETCH(QByteArray, record);
        QFETCH(QString, reference);
        QFETCH(QString, title);
        QCOMPARE(callrecord::title(parse(record.constData()), reference), title);
    }

    void duration_data() {
        QTest::addColumn<QJsonValue>("acceptedAt");
        QTest::addColumn<QString>("text");
        QTest::newRow("75 min 3 s")
            << QJsonValue(QStringLiteral("2024-05-01T10:00:00.000Z")) << "Разговор · 75:03";
        QTest::newRow("fractions of a second round down")
            << QJsonValue(QStringLiteral("2024-05-01T11:14:56.001Z")) << "Разговор · 00:06";
        QTest::newRow("future") << QJsonValue(QStringLiteral("2024-05-01T12:00:00.000Z"))
                                << "Разговор · 00:00";
        QTest::newRow("offset form")
            << QJsonValue(QStringLiteral("2024-05-01T13:14:00.000+02:00")) << "Разговор · 01:03";
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << "Разговор · 00:00";
        QTest::newRow("garbage") << QJsonValue(QStringLiteral("yesterday")) << "Разговор · 00:00";
        QTest::newRow("number") << QJsonValue(1714557600000.0) << "Разговор · 00:00";
        QTest::newRow("hundreds of minutes")
            << QJsonValue(QStringLiteral("2024-04-30T11:15:03.000Z")) << "Разговор · 1440:00";
    }
    void duration() {
        QFETCH(QJsonValue, acceptedAt);
        QFETCH(QString, text);
        const QDateTime now =
            QDateTime::fromString(QStringLiteral("2024-05-01T11:15:03.000Z"), Qt::ISODateWithMs);
        QVERIFY(now.isValid());
        QCOMPARE(callrecord::durationText(acceptedAt, now), text);
    }

    // Records in, decisions out: what the call side does with each record.
    void decide_data() {
        QTest::addColumn<QJsonObject>("record");
        QTest::addColumn<QByteArray>("now");
        QTest::addColumn<QString>("decision");
        const QJsonObject ringing = call("RINGING", "u2", "INVITED", "");
        const QJsonObject placed = call("RINGING", "u1", "JOINED", "sidA");
        const QJsonObject talking = call("ACTIVE", "u1", "JOINED", "sidA");
        auto row = [](const char *tag, const QJsonObject &r, const char *now, const char *out) {
            QTest::newRow(tag) << r << QByteArray(now) << QString::fromUtf8(out);
        };
        row("incoming rings", ringing, "{}", "Ring Борис");
        row("incoming answered here", ringing, R"({"held":"c1","callId":"c1"})", "Answering Борис");
        row("another call held", ringing, R"({"held":"c2"})", "Ignore");
        row("not a member", ringing, R"({"user":"u3"})", "Ignore");
        row("nobody signed in", call("RINGING", "u2", "INVITED", ""), R"({"user":""})", "Ignore");
        row("ENDED", call("ENDED", "u2", "JOINED", "sidA"), R"({"held":"c1"})", "Finish");
        row("own LEFT", call("ACTIVE", "u2", "LEFT", "sidA"), "{}", "Finish");
        row("own DECLINED", call("RINGING", "u2", "DECLINED", ""), "{}", "Finish");
        row("states are case-sensitive", call("ended", "u2", "left", "sidB"), "{}", "Ignore");
        row("joined on another device", call("ACTIVE", "u1", "JOINED", "sidB"), "{}", "Ignore");
        row("another device while dialing waits", call("RINGING", "u1", "JOINED", "sidB"),
            R"({"pending":true})", "Calling Борис");
        row("own dial on this device", placed, R"({"pending":true})", "Calling Борис adopt");
        row("taken part in here, record names another device",
            call("ACTIVE", "u2", "JOINED", "sidB"), R"({"held":"c1","callId":"c1"})",
            "Talking Анна voice");
        row("active here", talking, "{}", "Talking Борис adopt voice");
        row("active, media running", talking, R"({"media":true})", "Talking Борис adopt");
        row("active, its failure being reported", talking, R"({"failed":"c1"})",
            "Talking Борис adopt");
        row("active, another call's failure", talking, R"({"failed":"c2"})",
            "Talking Борис adopt voice");
        row("active but own entry not JOINED", call("ACTIVE", "u1", "joined", "sidA"), "{}",
            "Talking Борис adopt");
        row("abandoned own dial", placed, R"({"abandoned":true})", "Leave");
        row("abandoned dial, someone else's call", ringing, R"({"abandoned":true})", "Ring Борис");
    }
    void decide() {
        QFETCH(QJsonObject, record);
        QFETCH(QByteArray, now);
        QFETCH(QString, decision);
        QCOMPARE(summary(callrecord::decide(record, situation(now))), decision);
    }
};

QTEST_APPLESS_MAIN(CallRecordTest)
#include "tst_callrecord.moc"
