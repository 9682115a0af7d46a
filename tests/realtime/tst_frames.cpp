#include "realtime/frames.h"
#include "tests/support/testkit.h"

#include <QRandomGenerator>

#include <limits>

using frames::Kind;

namespace {

constexpr qint64 max64 = std::numeric_limits<qint64>::max();
constexpr qint64 min64 = std::numeric_limits<qint64>::min();

} // namespace

class FramesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // "kind|sid|name|payload"
    void classify_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("seen");
        const char *open = "0|||{}", *ignored = "-|||{}";
        row("open", R"(0{"sid":"e1","upgrades":[],"pingInterval":25000,"pingTimeout":20000})",
            open);
        row("open with garbage body", "0}{", open);
        row("ping", "2", "2|||{}");
        for (const char *frame :
             {"2probe", "3", "1", "", "4", " 2", R"(44{"message":"unauthorized"})", R"(431["ok"])",
              R"(451-["x",{"_placeholder":true,"num":0}])", "41/admin,", R"(42["native_call"])",
              "42[]", R"(42{"native_call":{}})", R"(42["native_call",{)",
              R"(421["native_call",{}])", R"(42/admin,["native_call",{}])"})
            row(frame, frame, ignored);
        row("connect reply", R"(40{"sid":"abc","pid":"p1"})", "40|abc||{}");
        row("connect reply without body", "40", "40|||{}");
        row("connect reply, sid not a string", R"(40{"sid":5})", "40|||{}");
        row("connect reply, invalid body", "40{sid:abc", "40|||{}");
        row("connect reply, other namespace", R"(40/admin,{"sid":"x"})", "40|||{}");
        row("namespace disconnect", "41", "41|||{}");
        row("event", R"(42["native_call_error",{"message":"Чат не найден"}])",
            R"(42||native_call_error|{"message":"Чат не найден"})");
        row("extra elements", R"(42["native_call",{"id":"c1"},"offset-7",{"more":1}])",
            R"(42||native_call|{"id":"c1"})");
        row("name in other case", R"(42["Native_Call",{"id":"c1"}])",
            R"(42||Native_Call|{"id":"c1"})");
        row("payload a number", R"(42["native_call",5])", "42||native_call|{}");
        row("payload an array", R"(42["native_call",[{"id":"c1"}]])", "42||native_call|{}");
        row("name not a string", R"(42[7,{"id":"c1"}])", R"(42|||{"id":"c1"})");
    }
    void classify() {
        QFETCH(QString, frame);
        QFETCH(QString, seen);
        const frames::Received in = frames::classify(frame);
        static const QMap<int, QString> kinds{
            {int(Kind::Open), "0"},          {int(Kind::Ping), "2"},
            {int(Kind::ConnectReply), "40"}, {int(Kind::NamespaceDisconnect), "41"},
            {int(Kind::Event), "42"},        {int(Kind::Ignored), "-"}};
        QCOMPARE(QStringList(
                     {kinds.value(int(in.kind)), in.sid, in.name,
                      QString::fromUtf8(QJsonDocument(in.payload).toJson(QJsonDocument::Compact))})
                     .join('|'),
                 seen);
    }

    void livenessFromOpenPacket_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<int>("ms");
        row("server defaults", R"(0{"sid":"x","pingInterval":25000,"pingTimeout":20000})", 45000);
        row("fractions truncate", R"(0{"pingInterval":1000.9,"pingTimeout":500})", 1500);
        row("below the floor", R"(0{"pingInterval":50,"pingTimeout":50})", frames::minLivenessMs);
        row("above the ceiling", R"(0{"pingInterval":1e300,"pingTimeout":1})",
            frames::maxLivenessMs);
        row("negative", R"(0{"pingInterval":-5000,"pingTimeout":100})", frames::defaultLivenessMs);
        row("timeout missing", R"(0{"pingInterval":25000})", frames::defaultLivenessMs);
        row("strings", R"(0{"pingInterval":"25000","pingTimeout":"20000"})",
            frames::defaultLivenessMs);
        row("invalid body", "0{pingInterval:1", frames::defaultLivenessMs);
    }
    void livenessFromOpenPacket() {
        QFETCH(QString, frame);
        QFETCH(int, ms);
        QCOMPARE(frames::livenessMs(frame), ms);
    }

    // now < 0: toInt64(value); otherwise latencyMs(now, value).
    void wireIntegers_data() {
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        row("integer", qint64(-1), QJsonValue(1733500000123.0), qint64(1733500000123));
        row("negative fraction", qint64(-1), QJsonValue(-1.9), qint64(-1));
        row("2^63", qint64(-1), QJsonValue(9223372036854775808.0), max64);
        row("hugely negative", qint64(-1), QJsonValue(-1e300), min64);
        row("string", qint64(-1), QJsonValue(QStringLiteral("12")), qint64(0));
        row("latency, truncated sentAt", qint64(1000), QJsonValue(399.99), qint64(601));
        row("latency, missing sentAt", qint64(1733500000123), QJsonValue(QJsonValue::Undefined),
            qint64(1733500000123));
        row("latency, future sentAt", qint64(1000), QJsonValue(1500), qint64(-500));
        row("latency, absurdly negative sentAt", qint64(1733500000123), QJsonValue(-1e300), max64);
        row("latency, absurdly large sentAt", qint64(1000), QJsonValue(1e300),
            qint64(1000) - max64);
    }
    void wireIntegers() {
        QFETCH(qint64, now);
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);
        QCOMPARE(now < 0 ? frames::toInt64(value) : frames::latencyMs(now, value), expected);
    }

    void builtFrames() {
        QCOMPARE(frames::connectFrame(QStringLiteral("a\"b\\c\nд")),
                 QStringLiteral("40{\"token\":\"a\\\"b\\\\c\\nд\"}"));
        QCOMPARE(frames::pongFrame(), QStringLiteral("3"));
        const QString event =
            frames::eventFrame("native_audio", {{"seq", 123456}, {"sentAt", 1733500000123.0}});
        QCOMPARE(event,
                 QStringLiteral(R"(42["native_audio",{"sentAt":1733500000123,"seq":123456}])"));
        QCOMPARE(int(frames::classify(event).kind), int(Kind::Event));
    }

    // Arbitrary text behind every prefix the codec looks at classifies without harm.
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
