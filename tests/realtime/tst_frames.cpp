#include "realtime/frames.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <limits>

using frames::Kind;

Q_DECLARE_METATYPE(frames::Kind)

namespace {

QString kindName(Kind kind) {
    switch (kind) {
    case Kind::Ignored:
        return QStringLiteral("Ignored");
    case Kind::Open:
        return QStringLiteral("Open");
    case Kind::Ping:
        return QStringLiteral("Ping");
    case Kind::ConnectReply:
        return QStringLiteral("ConnectReply");
    case Kind::NamespaceDisconnect:
        return QStringLiteral("NamespaceDisconnect");
    case Kind::Event:
        return QStringLiteral("Event");
    }
    return QStringLiteral("?");
}

QJsonObject object(const char *json) {
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class FramesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void classify_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("sid");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("payload");
        const QJsonObject none;
        auto row = [](const char *tag, const QString &frame, Kind kind, const QString &sid = {},
                      const QString &name = {}, const QJsonObject &payload = {}) {
            QTest::newRow(tag) << frame << kind << sid << name << payload;
        };

        // Engine.IO
        row("open packet",
            QStringLiteral(R"(0{"sid":"e1","upgrades":[],"pingInterval":25000,"pingTimeout":20000,)"
                           R"("maxPayload":1000000})"),
            Kind::Open);
        row("open without body", QStringLiteral("0"), Kind::Open);
        row("open with garbage body", QStringLiteral("0}{"), Kind::Open);
        row("ping", QStringLiteral("2"), Kind::Ping);
        row("ping probe", QStringLiteral("2probe"), Kind::Ignored);
        row("ping with trailing text", QStringLiteral("20"), Kind::Ignored);
        row("pong from server", QStringLiteral("3"), Kind::Ignored);
        row("close", QStringLiteral("1"), Kind::Ignored);
        row("upgrade", QStringLiteral("5"), Kind::Ignored);
        row("noop", QStringLiteral("6"), Kind::Ignored);
        row("empty", QString(), Kind::Ignored);
        row("bare message prefix", QStringLiteral("4"), Kind::Ignored);
        row("leading space", QStringLiteral(" 2"), Kind::Ignored);

        // socket.io connect reply
        row("connect reply", QStringLiteral(R"(40{"sid":"abc"})"), Kind::ConnectReply,
            QStringLiteral("abc"));
        row("connect reply with pid", QStringLiteral(R"(40{"sid":"abc","pid":"p1"})"),
            Kind::ConnectReply, QStringLiteral("abc"));
        row("connect reply without body", QStringLiteral("40"), Kind::ConnectReply);
        row("connect reply, sid not a string", QStringLiteral(R"(40{"sid":5})"),
            Kind::ConnectReply);
        row("connect reply, body an array", QStringLiteral(R"(40["sid"])"), Kind::ConnectReply);
        row("connect reply, invalid body", QStringLiteral("40{sid:abc"), Kind::ConnectReply);
        row("connect reply, other namespace", QStringLiteral(R"(40/admin,{"sid":"x"})"),
            Kind::ConnectReply);

        // socket.io, other packet types
        row("namespace disconnect", QStringLiteral("41"), Kind::NamespaceDisconnect);
        row("disconnect of another namespace", QStringLiteral("41/admin,"), Kind::Ignored);
        row("connect error", QStringLiteral(R"(44{"message":"unauthorized"})"), Kind::Ignored);
        row("acknowledgement", QStringLiteral(R"(431["ok"])"), Kind::Ignored);
        row("binary event", QStringLiteral(R"(451-["x",{"_placeholder":true,"num":0}])"),
            Kind::Ignored);

        // socket.io events
        row("event", QStringLiteral(R"(42["native_call",{"id":"c1","state":"ACTIVE"}])"),
            Kind::Event, {}, QStringLiteral("native_call"),
            object(R"({"id":"c1","state":"ACTIVE"})"));
        row("event with recovery offset",
            QStringLiteral(R"(42["native_call",{"id":"c1"},"offset-7",{"more":1}])"), Kind::Event,
            {}, QStringLiteral("native_call"), object(R"({"id":"c1"})"));
        row("event with unicode",
            QStringLiteral(R"(42["native_call_error",{"message":"Чат не найден"}])"), Kind::Event,
            {}, QStringLiteral("native_call_error"), object(R"({"message":"Чат не найден"})"));
        row("event name in other case", QStringLiteral(R"(42["Native_Call",{"id":"c1"}])"),
            Kind::Event, {}, QStringLiteral("Native_Call"), object(R"({"id":"c1"})"));
        row("payload a number", QStringLiteral(R"(42["native_call",5])"), Kind::Event, {},
            QStringLiteral("native_call"), none);
        row("payload a string", QStringLiteral(R"(42["native_call","x"])"), Kind::Event, {},
            QStringLiteral("native_call"), none);
        row("payload an array", QStringLiteral(R"(42["native_call",[{"id":"c1"}]])"), Kind::Event,
            {}, QStringLiteral("native_call"), none);
        row("payload null", QStringLiteral(R"(42["native_call",null])"), Kind::Event, {},
            QStringLiteral("native_call"), none);
        row("name not a string", QStringLiteral(R"(42[7,{"id":"c1"}])"), Kind::Event, {}, {},
            object(R"({"id":"c1"})"));
        row("one element", QStringLiteral(R"(42["native_call"])"), Kind::Ignored);
        row("empty array", QStringLiteral("42[]"), Kind::Ignored);
        row("object instead of array", QStringLiteral(R"(42{"native_call":{}})"), Kind::Ignored);
        row("invalid json", QStringLiteral(R"(42["native_call",{)"), Kind::Ignored);
        row("no body", QStringLiteral("42"), Kind::Ignored);
        row("acknowledgement id", QStringLiteral(R"(421["native_call",{}])"), Kind::Ignored);
        row("other namespace", QStringLiteral(R"(42/admin,["native_call",{}])"), Kind::Ignored);
    }

    void classify() {
        QFETCH(QString, frame);
        QFETCH(Kind, kind);
        QFETCH(QString, sid);
        QFETCH(QString, name);
        QFETCH(QJsonObject, payload);
        const frames::Received in = frames::classify(frame);
        QVERIFY2(in.kind == kind, qPrintable(QStringLiteral("classified as %1, expected %2")
                                                 .arg(kindName(in.kind), kindName(kind))));
        QCOMPARE(in.sid, sid);
        QCOMPARE(in.name, name);
        QCOMPARE(in.payload, payload);
    }

    void livenessFromOpenPacket_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<int>("ms");
        QTest::newRow("server defaults")
            << QStringLiteral(R"(0{"sid":"x","pingInterval":25000,"pingTimeout":20000})") << 45000;
        QTest::newRow("short test settings")
            << QStringLiteral(R"(0{"pingInterval":300,"pingTimeout":900})") << 1200;
        QTest::newRow("below the floor")
            << QStringLiteral(R"(0{"pingInterval":50,"pingTimeout":50})") << frames::minLivenessMs;
        QTest::newRow("fractions truncate")
            << QStringLiteral(R"(0{"pingInterval":1000.9,"pingTimeout":500})") << 1500;
        QTest::newRow("above the ceiling")
            << QStringLiteral(R"(0{"pingInterval":1e300,"pingTimeout":1})")
            << frames::maxLivenessMs;
        QTest::newRow("zero") << QStringLiteral(R"(0{"pingInterval":0,"pingTimeout":0})")
                              << frames::defaultLivenessMs;
        QTest::newRow("negative") << QStringLiteral(R"(0{"pingInterval":-5000,"pingTimeout":100})")
                                  << frames::defaultLivenessMs;
        QTest::newRow("timeout missing")
            << QStringLiteral(R"(0{"pingInterval":25000})") << frames::defaultLivenessMs;
        QTest::newRow("strings") << QStringLiteral(
                                        R"(0{"pingInterval":"25000","pingTimeout":"20000"})")
                                 << frames::defaultLivenessMs;
        QTest::newRow("no body") << QStringLiteral("0") << frames::defaultLivenessMs;
        QTest::newRow("invalid body")
            << QStringLiteral("0{pingInterval:1") << frames::defaultLivenessMs;
    }

    void livenessFromOpenPacket() {
        QFETCH(QString, frame);
        QFETCH(int, ms);
        QCOMPARE(frames::livenessMs(frame), ms);
    }

    void builtFrames_data() {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");
        QTest::newRow("connect") << frames::connectFrame(QStringLiteral("tok-1"))
                                 << QStringLiteral(R"(40{"token":"tok-1"})");
        QTest::newRow("connect, token needing escapes")
            << frames::connectFrame(QStringLiteral("a\"b\\c\nд"))
            << QStringLiteral("40{\"token\":\"a\\\"b\\\\c\\nд\"}");
        QTest::newRow("connect, empty token")
            << frames::connectFrame(QString()) << QStringLiteral(R"(40{"token":""})");
        QTest::newRow("pong") << frames::pongFrame() << QStringLiteral("3");
        QTest::newRow("sync") << frames::eventFrame(QStringLiteral("native_call"),
                                                    object(R"({"action":"sync"})"))
                              << QStringLiteral(R"(42["native_call",{"action":"sync"}])");
        QTest::newRow("numbers stay integers")
            << frames::eventFrame(QStringLiteral("native_audio"),
                                  QJsonObject{{QStringLiteral("seq"), 123456},
                                              {QStringLiteral("sentAt"), 1733500000123.0}})
            << QStringLiteral(R"(42["native_audio",{"sentAt":1733500000123,"seq":123456}])");
        QTest::newRow("empty payload")
            << frames::eventFrame(QStringLiteral("x"), {}) << QStringLiteral(R"(42["x",{}])");
    }

    void builtFrames() {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
    }

    void eventRoundTrip() {
        const QJsonObject payload{{QStringLiteral("id"), QStringLiteral("c1")},
                                  {QStringLiteral("pcm"), QString(428, QLatin1Char('A'))},
                                  {QStringLiteral("seq"), 7}};
        const frames::Received in =
            frames::classify(frames::eventFrame(QStringLiteral("native_audio"), payload));
        QVERIFY(in.kind == Kind::Event);
        QCOMPARE(in.name, QStringLiteral("native_audio"));
        QCOMPARE(in.payload, payload);
    }

    void wireIntegers_data() {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        constexpr qint64 max = std::numeric_limits<qint64>::max();
        constexpr qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("integer") << QJsonValue(1733500000123.0) << qint64(1733500000123);
        QTest::newRow("positive fraction") << QJsonValue(1.9) << qint64(1);
        QTest::newRow("negative fraction") << QJsonValue(-1.9) << qint64(-1);
        QTest::newRow("2^63") << QJsonValue(9223372036854775808.0) << max;
        QTest::newRow("huge") << QJsonValue(1e300) << max;
        QTest::newRow("hugely negative") << QJsonValue(-1e300) << min;
        QTest::newRow("-2^63") << QJsonValue(-9223372036854775808.0) << min;
        QTest::newRow("string") << QJsonValue(QStringLiteral("12")) << qint64(0);
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << qint64(0);
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << qint64(0);
    }

    void wireIntegers() {
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);
        QCOMPARE(frames::toInt64(value), expected);
    }

    void latency_data() {
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QJsonValue>("sentAt");
        QTest::addColumn<qint64>("expected");
        constexpr qint64 max = std::numeric_limits<qint64>::max();
        QTest::newRow("ordinary") << qint64(1000) << QJsonValue(400) << qint64(600);
        QTest::newRow("truncated sentAt") << qint64(1000) << QJsonValue(399.99) << qint64(601);
        QTest::newRow("missing sentAt is the time itself")
            << qint64(1733500000123) << QJsonValue(QJsonValue::Undefined) << qint64(1733500000123);
        QTest::newRow("future sentAt") << qint64(1000) << QJsonValue(1500) << qint64(-500);
        QTest::newRow("absurdly negative sentAt")
            << qint64(1733500000123) << QJsonValue(-1e300) << max;
        QTest::newRow("absurdly large sentAt")
            << qint64(1000) << QJsonValue(1e300) << qint64(1000) - max;
    }

    void latency() {
        QFETCH(qint64, now);
        QFETCH(QJsonValue, sentAt);
        QFETCH(qint64, expected);
        QCOMPARE(frames::latencyMs(now, sentAt), expected);
    }

    // Arbitrary text behind every prefix the codec looks at must classify without harm.
    void arbitraryText() {
        QRandomGenerator random(4242);
        const QStringList prefixes{{}, "0", "2", "40", "41", "42", "42[", "42[\"a\","};
        const QString alphabet = QStringLiteral("[]{}\",:0123456789.-eE\\u nulltrefalsдж\x01");
        for (int i = 0; i < 20000; ++i) {
            QString frame = prefixes.at(i % prefixes.size());
            const int length = int(random.bounded(40));
            for (int c = 0; c < length; ++c)
                frame += alphabet.at(int(random.bounded(alphabet.size())));
            const frames::Received in = frames::classify(frame);
            if (in.kind == Kind::Event)
                QVERIFY2(frame.startsWith(QLatin1String("42")), qPrintable(frame));
            (void)frames::livenessMs(frame);
        }
    }
};

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_frames.moc"
