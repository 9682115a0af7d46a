#include "realtime/frames.h"
#include "tests/support/testkit.h"

#include <limits>
#include <tuple>

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
        row("connect reply, other namespace", R"(40/admin,{"sid":"x"})", "40|||{}");
        row("namespace disconnect", "41", "41|||{}");
        row("event", R"(42["native_call_error",{"message":"Чат не найден"}])",
            R"(42||native_call_error|{"message":"Чат не найден"})");
        row("extra elements", R"(42["native_call",{"id":"c1"},"offset-7",{"more":1}])",
            R"(42||native_call|{"id":"c1"})");
        row("name in other case", R"(42["Native_Call",{"id":"c1"}])",
            R"(42||Native_Call|{"id":"c1"})");
        row("payload a number", R"(42["native_call",5])", "42||native_call|{}");
        row("name not a string", R"(42[7,{"id":"c1"}])", R"(42|||{"id":"c1"})");
    }
    void classify() {
        QFETCH(QString, frame);
        QFETCH(QString, seen);
        const frames::Received in = frames::classify(frame);
        const char *kinds[] = {"-", "0", "2", "40", "41", "42"}; // in the order of Kind
        QCOMPARE(QStringList({kinds[int(in.kind)], in.sid, in.name,
                              QJsonDocument(in.payload).toJson(QJsonDocument::Compact)})
                     .join('|'),
                 seen);
    }

    // Liveness from the open packet; wire integers (toInt64, or latencyMs when `now` is given);
    // built frames.
    void numbersAndBuiltFrames() {
        for (const auto &[frame, ms] :
             {std::pair{R"(0{"sid":"x","pingInterval":25000,"pingTimeout":20000})", 45000},
              std::pair{R"(0{"pingInterval":50,"pingTimeout":50})", frames::minLivenessMs},
              std::pair{R"(0{"pingInterval":1e300,"pingTimeout":1})", frames::maxLivenessMs},
              std::pair{R"(0{"pingInterval":-5000,"pingTimeout":100})", frames::defaultLivenessMs},
              std::pair{R"(0{"pingInterval":25000})", frames::defaultLivenessMs},
              std::pair{"0{pingInterval:1", frames::defaultLivenessMs}})
            QCOMPARE(frames::livenessMs(QString(frame)), ms);
        const qint64 now = 1733500000123;
        for (const auto &[at, value, expected] :
             {std::tuple{qint64(-1), QJsonValue(-1.9), qint64(-1)},
              std::tuple{qint64(-1), QJsonValue(9223372036854775808.0), max64},
              std::tuple{qint64(-1), QJsonValue(-1e300), min64},
              std::tuple{qint64(-1), QJsonValue(QStringLiteral("12")), qint64(0)},
              std::tuple{qint64(1000), QJsonValue(399.99), qint64(601)},
              std::tuple{now, QJsonValue(QJsonValue::Undefined), now},
              std::tuple{qint64(1000), QJsonValue(1500), qint64(-500)},
              std::tuple{now, QJsonValue(-1e300), max64}})
            QCOMPARE(at < 0 ? frames::toInt64(value) : frames::latencyMs(at, value), expected);
        QCOMPARE(frames::connectFrame(QStringLiteral("a\"b\\c\nд")),
                 QStringLiteral("40{\"token\":\"a\\\"b\\\\c\\nд\"}"));
        QCOMPARE(frames::eventFrame("native_audio", {{"seq", 123456}, {"sentAt", 1733500000123.0}}),
                 QStringLiteral(R"(42["native_audio",{"sentAt":1733500000123,"seq":123456}])"));
    }
};

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_frames.moc"
