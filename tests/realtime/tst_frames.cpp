#include "realtime/frames.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <limits>

using frames::Kind;

Q_DECLARE_METATYPE(frames::Kind)

namespace {

constexpr qint64 max64 = std::numeric_limits<qint64>::max();
constexpr qint64 min64 = std::numeric_limits<qint64>::min();

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
        auto row = [](const char *tag, const char *frame, Kind kind, const QString &sid = {},
                      const QString &name = {}, const QJsonObject &payload = {}) {
            QTest::newRow(tag) << QString::fromUtf8(frame) << kind << sid << name << payload;
        };
        const QString call = QStringLiteral("native_call");

        row("open", R"(0{"sid":"e1","upgrades":[],"pingInterval":25000,"pingTimeout":20000})",
            Kind::Open);
        row("open with garbage body", "0}{", Kind::Open);
        row("ping", "2", Kind::Ping);
        row("ping probe", "2probe", Kind::Ignored);
        row("server pong", "3", Kind::Ignored);
        row("close", "1", Kind::Ignored);
        row("empty", "", Kind::Ignored);
        row("bare message prefix", "4", Kind::Ignored);
        row("leading space", " 2", Kind::Ignored);
        row("connect reply", R"(40{"sid":"abc","pid":"p1"})", Kind::ConnectReply, "abc");
        row("connect reply without body", "40", Kind::ConnectReply);
        row("connect reply, sid not a string", R"(40{"sid":5})", Kind::ConnectReply);
        row("connect reply, invalid body", "40{sid:abc", Kind::ConnectReply);
        row("connect reply, other namespace", R"(40/admin,{"sid":"x"})", Kind::ConnectReply);
        row("namespace disconnect", "41", Kind::NamespaceDisconnect);
        row("disconnect of another namespace", "41/admin,", Kind::Ignored);
        row("connect error", R"(44{"message":"unauthorized"})", Kind::Ignored);
        row("acknowledgement", R"(431["ok"])", Kind::Ignored);
        row("binary event", R"(451-["x",{"_placeholder":true,"num":0}])", Kind::Ignored);
        row("event", R"(42["native_call_error",{"message":"Чат не найден"}])", Kind::Event, {},
            "native_call_error", object(R"({"message":"Чат не найден"})"));
        row("extra elements", R"(42["native_call",{"id":"c1"},"offset-7",{"more":1}])", Kind::Event,
            {}, call, object(R"({"id":"c1"})"));
        row("name in other case", R"(42["Native_Call",{"id":"c1"}])", Kind::Event, {},
            "Native_Call", object(R"({"id":"c1"})"));
        row("payload a number", R"(42["native_call",5])", Kind::Event, {}, call);
        row("payload an array", R"(42["native_call",[{"id":"c1"}]])", Kind::Event, {}, call);
        row("payload null", R"(42["native_call",null])", Kind::Event, {}, call);
        row("name not a string", R"(42[7,{"id":"c1"}])", Kind::Event, {}, {},
            object(R"({"id":"c1"})"));
        row("one element", R"(42["native_call"])", Kind::Ignored);
        row("empty array", "42[]", Kind::Ignored);
        row("object instead of array", R"(42{"native_call":{}})", Kind::Ignored);
        row("invalid json", R"(42["native_call",{)", Kind::Ignored);
        row("acknowledgement id", R"(421["native_call",{}])", Kind::Ignored);
        row("other namespace", R"(42/admin,["native_call",{}])", Kind::Ignored);
    }

    void classify() {
        QFETCH(QString, frame);
        QFETCH(Kind, kind);
        QFETCH(QString, sid);
        QFETCH(QString, name);
        QFETCH(QJsonObject, payload);
        const frames::Received in = frames::classify(frame);
        QCOMPARE(int(in.kind), int(kind));
        QCOMPARE(in.sid, sid);
        QCOMPARE(in.name, name);
        QCOMPARE(in.payload, payload);
    }

    void livenessFromOpenPacket_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<int>("ms");
        QTest::newRow("server defaults")
            << QStringLiteral(R"(0{"sid":"x","pingInterval":25000,"pingTimeout":20000})") << 45000;
        QTest::newRow("fractions truncate")
            << QStringLiteral(R"(0{"pingInterval":1000.9,"pingTimeout":500})") << 1500;
        QTest::newRow("below the floor")
            << QStringLiteral(R"(0{"pingInterval":50,"pingTimeout":50})") << frames::minLivenessMs;
        QTest::newRow("above the ceiling")
            << QStringLiteral(R"(0{"pingInterval":1e300,"pingTimeout":1})")
            << frames::maxLivenessMs;
        QTest::newRow("negative") << QStringLiteral(R"(0{"pingInterval":-5000,"pingTimeout":100})")
                                  << frames::defaultLivenessMs;
        QTest::newRow("timeout missing")
            << QStringLiteral(R"(0{"pingInterval":25000})") << frames::defaultLivenessMs;
        QTest::newRow("strings") << QStringLiteral(
                                        R"(0{"pingInterval":"25000","pingTimeout":"20000"})")
                                 << frames::defaultLivenessMs;
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
        QTest::newRow("connect, token needing escapes")
            << frames::connectFrame(QStringLiteral("a\"b\\c\nд"))
            << QStringLiteral("40{\"token\":\"a\\\"b\\\\c\\nд\"}");
        QTest::newRow("pong") << frames::pongFrame() << QStringLiteral("3");
        QTest::newRow("numbers stay integers")
            << frames::eventFrame(QStringLiteral("native_audio"),
                                  {{"seq", 123456}, {"sentAt", 1733500000123.0}})
            << QStringLiteral(R"(42["native_audio",{"sentAt":1733500000123,"seq":123456}])");
    }

    void builtFrames() {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
        if (built.startsWith(QLatin1String("42")))
            QCOMPARE(int(frames::classify(built).kind), int(Kind::Event));
    }

    void wireIntegers_data() {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("integer") << QJsonValue(1733500000123.0) << qint64(1733500000123);
        QTest::newRow("negative fraction") << QJsonValue(-1.9) << qint64(-1);
        QTest::newRow("2^63") << QJsonValue(9223372036854775808.0) << max64;
        QTest::newRow("hugely negative") << QJsonValue(-1e300) << min64;
        QTest::newRow("string") << QJsonValue(QStringLiteral("12")) << qint64(0);
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
        QTest::newRow("truncated sentAt") << qint64(1000) << QJsonValue(399.99) << qint64(601);
        QTest::newRow("missing sentAt is the time itself")
            << qint64(1733500000123) << QJsonValue(QJsonValue::Undefined) << qint64(1733500000123);
        QTest::newRow("future sentAt") << qint64(1000) << QJsonValue(1500) << qint64(-500);
        QTest::newRow("absurdly negative sentAt")
            << qint64(1733500000123) << QJsonValue(-1e300) << max64;
        QTest::newRow("absurdly large sentAt")
            << qint64(1000) << QJsonValue(1e300) << qint64(1000) - max64;
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
            for (int c = int(random.bounded(40)); c > 0; --c)
                frame += alphabet.at(int(random.bounded(alphabet.size())));
            if (frames::classify(frame).kind == Kind::Event)
                QVERIFY2(frame.startsWith(QLatin1String("42")), qPrintable(frame));
            (void)frames::livenessMs(frame);
        }
    }
};

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_frames.moc"
