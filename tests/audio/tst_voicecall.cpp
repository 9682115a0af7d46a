#include "calls/audiodevice.h"
#include "calls/nativecalls.h"
#include "calls/ringer.h"
#include "tests/support/localservice.h"
#include "tests/support/pulsetestserver.h"
#include "tests/support/testutil.h"
#include "tests/support/toneanalysis.h"
#include "web/service.h"

#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <cmath>
#include <mutex>

// Voice through a real, private, headless PulseAudio: the back end on its own, then two clients in
// a call through the local service, each hearing the other.
namespace {

// One signed-in client whose microphone and loudspeaker are devices of the private server.
struct Client {
    QWidget window;
    NativeCalls *calls = new NativeCalls(nullptr, &window);

    Client(const QString &user, const QString &token, const QByteArray &mic,
           const QByteArray &speaker) {
        calls->voice.setDevice(createSystemAudioDevice(mic, speaker));
        calls->setCredentials(user, token);
    }
};

struct Heard {
    double inputRms = 0;
    double outputRms = 0;
    double outputHertz = 0;
    int dropouts = 0;
    QString describe() const {
        return QStringLiteral("in %1 rms, out %2 rms at %3 Hz, %4 dropouts")
            .arg(inputRms, 0, 'f', 0)
            .arg(outputRms, 0, 'f', 0)
            .arg(outputHertz, 0, 'f', 1)
            .arg(dropouts);
    }
};

// The steady part of the tone on each channel of one bus recording; a quarter second is left out
// at either end so that onsets, the queue filling up and the tail don't count.
bool measure(const QByteArray &raw, Heard &heard, QString &why) {
    const tone::Stereo bus = tone::split(raw);
    const qsizetype margin = tone::rate / 4;
    const tone::Span in = tone::loudSpan(bus.left, 1000);
    const tone::Span out = tone::loudSpan(bus.right, 1000);
    if (in.isEmpty() || in.end - in.begin < 4 * margin) {
        why = QStringLiteral("the tone did not reach the microphone side of the bus");
        return false;
    }
    if (out.isEmpty() || out.end - out.begin < 4 * margin) {
        why = QStringLiteral("nothing (or too little) came out of the other loudspeaker");
        return false;
    }
    heard.inputRms = tone::rms(bus.left, in.begin + margin, in.end - margin);
    heard.outputRms = tone::rms(bus.right, out.begin + margin, out.end - margin);
    heard.outputHertz = tone::frequency(bus.right, out.begin + margin, out.end - margin);
    heard.dropouts = tone::silentRuns(bus.right, out.begin, out.end, tone::rate / 500, 100);
    return true;
}

} // namespace

class VoiceCallTest : public QObject {
    Q_OBJECT
private:
    PulseTestServer pulse;
    LocalService service;
    QTemporaryDir files;

private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        service::installTrust();
        QVERIFY2(pulse.start(), qPrintable(pulse.errors()));
        QVERIFY(service.start({QStringLiteral("--session"), QStringLiteral("u1:tok1"),
                               QStringLiteral("--session"), QStringLiteral("u2:tok2")}));
        QVERIFY(files.isValid());
    }

    void cleanupTestCase() {
        service.stop();
        pulse.stop();
    }

    void deviceRefusesUnknownDevices_data() {
        QTest::addColumn<QByteArray>("mic");
        QTest::addColumn<QByteArray>("speaker");
        QTest::newRow("no such microphone") << QByteArray("nosuchsource") << QByteArray("spkA");
        QTest::newRow("no such loudspeaker") << QByteArray("micA") << QByteArray("nosuchsink");
        QTest::newRow("a loudspeaker as microphone") << QByteArray("spkA") << QByteArray("spkA");
    }
    void deviceRefusesUnknownDevices() {
        if (pulse.kind() == QStringLiteral("pipewire"))
            QSKIP("pipewire-pulse moves a stream for an unknown device to the default one");
        QFETCH(QByteArray, mic);
        QFETCH(QByteArray, speaker);
        const auto device = createSystemAudioDevice(mic, speaker);
        QVERIFY(!device->open([](const char *, int) {}));
        QVERIFY(!device->isOpen());
        QVERIFY(!device->canWrite());
        device->close();
    }

    void deviceFailsWithoutAServer() {
        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:" + files.filePath(QStringLiteral("nothing-here")).toUtf8());
        WinVoice voice;
        const bool started = voice.start([](QByteArray) {});
        qputenv("PULSE_SERVER", server);
        QVERIFY(!started);
        QVERIFY(!voice.running);
        QVERIFY(!voice.canPlay());
    }

    // A server that takes the connection and then never answers must not hold the GUI thread.
    void deviceGivesUpOnASilentServer() {
        QLocalServer silent;
        QVERIFY(silent.listen(files.filePath(QStringLiteral("silent"))));
        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:" + silent.fullServerName().toUtf8());
        const auto device = createSystemAudioDevice();
        const bool opened = device->open([](const char *, int) {});
        qputenv("PULSE_SERVER", server);
        QVERIFY(!opened);
        QVERIFY(!device->isOpen());
    }

    void deviceDeliversWholeBlocksOnItsOwnThread() {
        std::mutex lock;
        QList<int> sizes;
        bool onGuiThread = false;
        const auto device = createSystemAudioDevice("micA", "spkA");
        QVERIFY(device->open([&](const char *, int size) {
            std::lock_guard<std::mutex> hold(lock);
            sizes << size;
            onGuiThread = onGuiThread || QThread::currentThread() == qApp->thread();
        }));
        QVERIFY(device->isOpen());
        QVERIFY(device->canWrite());
        const char silence[AudioDevice::blockBytes] = {};
        device->write(silence);
        QVERIFY(QTest::qWaitFor(
            [&] {
                std::lock_guard<std::mutex> hold(lock);
                return sizes.size() >= 10;
            },
            5000));
        device->reset();
        device->close();
        QVERIFY(!device->isOpen());
        std::lock_guard<std::mutex> hold(lock);
        QCOMPARE(sizes, QList<int>(sizes.size(), AudioDevice::blockBytes));
        QVERIFY(!onGuiThread);
    }

    // A fills at most the working depth of its loudspeaker, then has to wait for it to play.
    void playbackHoldsOnlyAFewBlocks() {
        const auto device = createSystemAudioDevice("micA", "spkA");
        QVERIFY(device->open([](const char *, int) {}));
        const char silence[AudioDevice::blockBytes] = {};
        int written = 0;
        while (device->canWrite() && written < 100) {
            device->write(silence);
            ++written;
        }
        QVERIFY2(written >= 2 && written <= 8, qPrintable(QString::number(written)));
        QVERIFY(QTest::qWaitFor([&] { return device->canWrite(); }, 2000));
        device->close();
    }

    void deviceOutlivesItsServer() {
        const QByteArray server = qgetenv("PULSE_SERVER");
        const QByteArray config = qgetenv("PULSE_CLIENTCONFIG");
        {
            PulseTestServer own;
            QVERIFY2(own.start(), qPrintable(own.errors()));
            std::atomic<int> blocks{0};
            const auto device = createSystemAudioDevice("micA", "spkA");
            QVERIFY(device->open([&blocks](const char *, int) { ++blocks; }));
            QVERIFY(QTest::qWaitFor([&blocks] { return blocks > 0; }, 5000));
            own.stop();
            QVERIFY(QTest::qWaitFor([&device] { return !device->canWrite(); }, 5000));
            const char silence[AudioDevice::blockBytes] = {};
            device->write(silence);
            device->reset();
            device->close();
            QVERIFY(!device->isOpen());
        }
        qputenv("PULSE_SERVER", server);
        qputenv("PULSE_CLIENTCONFIG", config);
    }

    // The ring is the desktop's own event sound through the sound server, silenced with the
    // ringing; with no server to play it the bell rings instead.
    void ringPlaysTheDesktopSound() {
        auto playing = [this] {
            QProcess pactl;
            pactl.setProcessEnvironment(pulse.environment());
            pactl.start(QStringLiteral("pactl"),
                        {QStringLiteral("list"), QStringLiteral("sink-inputs")});
            return pactl.waitForFinished(5000) &&
                   pactl.readAllStandardOutput().contains("phone-incoming-call");
        };
        Ringer ringer;
        QVERIFY(ringer.ring());
        QTRY_VERIFY_WITH_TIMEOUT(playing(), 5000);
        ringer.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!playing(), 5000);

        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:" + files.filePath(QStringLiteral("nothing-here")).toUtf8());
        Ringer bell;
        const bool played = bell.ring();
        qputenv("PULSE_SERVER", server);
        QVERIFY(!played);
    }

    // The echo contact answers at once and plays back what it hears a second later.
    void echoContactPlaysTheToneBack() {
        QStringList boxes;
        QObject boxWatch;
        testutil::autoCloseModalBoxes(&boxWatch, true, &boxes);
        Client a(QStringLiteral("u1"), QStringLiteral("tok1"), "micA", "spkA");
        QTRY_VERIFY_WITH_TIMEOUT(a.calls->connected, 10000);
        a.calls->dial(QStringLiteral("echo-u1"), QStringLiteral("Эхо-тест"));
        QTRY_VERIFY2_WITH_TIMEOUT(a.calls->mediaActive,
                                  qPrintable(boxes.join(QStringLiteral(" | "))), 10000);
        QCOMPARE(a.calls->titleLabel.text(), QStringLiteral("Эхо-тест"));
        QTRY_VERIFY_WITH_TIMEOUT(!a.calls->lastAudioSeq.isEmpty(), 10000);

        const QString wavPath = files.filePath(QStringLiteral("echo.wav"));
        QFile wav(wavPath);
        QVERIFY(wav.open(QIODevice::WriteOnly));
        wav.write(tone::leftOnlyWav(tone::sine(1000, 8000, tone::rate)));
        wav.close();
        pulsetools::Recorder said, heard;
        QVERIFY(said.start(pulse, QStringLiteral("busAB.monitor")));
        QVERIFY(heard.start(pulse, QStringLiteral("busBA.monitor")));
        QVERIFY(pulsetools::play(pulse, {{QStringLiteral("busAB"), wavPath}}));
        // A second on its way back, with room for a busy machine.
        QTest::qWait(3000);
        const tone::Samples in = tone::split(said.finish()).left;
        const tone::Samples out = tone::split(heard.finish()).right;
        a.calls->hangUp();

        const tone::Span sent = tone::loudSpan(in, 1000);
        const tone::Span back = tone::loudSpan(out, 1000);
        QVERIFY2(!sent.isEmpty(), "the tone did not reach the microphone");
        QVERIFY2(back.end - back.begin > tone::rate / 2, "the tone did not come back");
        const double delay = double(back.begin - sent.begin) / tone::rate;
        const double hertz = tone::frequency(out, back.begin, back.end);
        const QString seen = QStringLiteral("back after %1 s at %2 Hz").arg(delay).arg(hertz);
        QVERIFY2(delay > 0.7 && std::abs(hertz / 1000.0 - 1) <= 0.05, qPrintable(seen));
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(QStringLiteral(" | "))));
    }

    void twoClientsInACallHearEachOther() {
        QStringList boxes;
        QObject boxWatch;
        testutil::autoCloseModalBoxes(&boxWatch, true, &boxes);
        Client a(QStringLiteral("u1"), QStringLiteral("tok1"), "micA", "spkA");
        Client b(QStringLiteral("u2"), QStringLiteral("tok2"), "micB", "spkB");
        QTRY_VERIFY_WITH_TIMEOUT(a.calls->connected && b.calls->connected, 10000);

        a.calls->dial(QStringLiteral("u1-u2"), QStringLiteral("Борис Орлов"));
        QTRY_VERIFY_WITH_TIMEOUT(b.calls->answerButton.isVisible(), 10000);
        b.calls->answer();
        QTRY_VERIFY2_WITH_TIMEOUT(a.calls->mediaActive && b.calls->mediaActive,
                                  qPrintable(boxes.join(QStringLiteral(" | "))), 10000);
        // A null sink that nobody listened to may take a while to deliver its first block.
        QTRY_VERIFY_WITH_TIMEOUT(
            !a.calls->lastAudioSeq.isEmpty() && !b.calls->lastAudioSeq.isEmpty(), 10000);

        // Two seconds of 1 kHz at -12 dBFS into each microphone, at the same time.
        const QString wavPath = files.filePath(QStringLiteral("tone.wav"));
        QFile wav(wavPath);
        QVERIFY(wav.open(QIODevice::WriteOnly));
        wav.write(tone::leftOnlyWav(tone::sine(1000, 8000, 2 * tone::rate)));
        wav.close();
        const auto bothHear = [&](const char *when) {
            pulsetools::Recorder ab, ba;
            QVERIFY(ab.start(pulse, QStringLiteral("busAB.monitor")));
            QVERIFY(ba.start(pulse, QStringLiteral("busBA.monitor")));
            QVERIFY(pulsetools::play(
                pulse, {{QStringLiteral("busAB"), wavPath}, {QStringLiteral("busBA"), wavPath}}));
            // Let the tail travel through both clients before the recordings stop.
            QTest::qWait(600);
            const QByteArray abRaw = ab.finish();
            const QByteArray baRaw = ba.finish();
            struct Direction {
                const char *name;
                const QByteArray &raw;
            };
            for (const Direction &direction :
                 {Direction{"A to B", abRaw}, Direction{"B to A", baRaw}}) {
                Heard heard;
                QString why;
                QVERIFY2(measure(direction.raw, heard, why),
                         qPrintable(QStringLiteral("%1 %2: %3").arg(direction.name, when, why)));
                const double levelDb = 20 * std::log10(heard.outputRms / heard.inputRms);
                const QString seen = QStringLiteral("%1 %2: %3, level %4 dB")
                                         .arg(direction.name, when, heard.describe())
                                         .arg(levelDb, 0, 'f', 2);
                qInfo("%s", qPrintable(seen));
                QVERIFY2(std::abs(heard.outputHertz / 1000.0 - 1) <= 0.05, qPrintable(seen));
                QVERIFY2(std::abs(levelDb) <= 3, qPrintable(seen));
            }
        };
        bothHear("at first");
        if (QTest::currentTestFailed())
            return;

        // The audio server goes away mid-call and comes back: both clients notice, stay in the
        // call and reopen their devices.
        const auto streams = [this] {
            QProcess pactl;
            pactl.setProcessEnvironment(pulse.environment());
            pactl.start(QStringLiteral("pactl"),
                        {QStringLiteral("list"), QStringLiteral("sink-inputs")});
            pactl.waitForFinished(10000);
            return QString::fromUtf8(pactl.readAllStandardOutput());
        };
        const QString listed = streams();
        for (const char *property : {"media.role = \"phone\"", "filter.want = \"echo-cancel\"",
                                     "application.icon_name = \"dev.tovik.Messenger\""})
            QVERIFY2(listed.contains(QLatin1String(property)), property);
        pulse.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!a.calls->voice.running && !b.calls->voice.running, 5000);
        QVERIFY2(pulse.start(), qPrintable(pulse.errors()));
        QTRY_VERIFY_WITH_TIMEOUT(a.calls->voice.running && b.calls->voice.running, 10000);
        QVERIFY(a.calls->mediaActive && b.calls->mediaActive);
        const unsigned long long aHeard = a.calls->lastAudioSeq.value(QStringLiteral("u2"));
        const unsigned long long bHeard = b.calls->lastAudioSeq.value(QStringLiteral("u1"));
        QTRY_VERIFY_WITH_TIMEOUT(a.calls->lastAudioSeq.value(QStringLiteral("u2")) > aHeard + 5 &&
                                     b.calls->lastAudioSeq.value(QStringLiteral("u1")) > bHeard + 5,
                                 10000);
        bothHear("after the audio server came back");

        a.calls->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!b.calls->mediaActive, 10000);
        QVERIFY(!a.calls->mediaActive);
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(QStringLiteral(" | "))));
    }
};

QTEST_MAIN(VoiceCallTest)
#include "tst_voicecall.moc"
